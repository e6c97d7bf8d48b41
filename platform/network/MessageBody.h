#pragma once
// Internal to plat_network: when a response body is whole.
//
// ContentDecoder undoes a response's Content-Encoding (gzip, deflate, br, zstd) as the body
// arrives and says, at its end, whether the coded stream ended: a stream cut short is no
// complete body, however cleanly the connection ended. Concatenated gzip members (RFC 1952)
// decode as one body; bytes after the last member or frame that start no new one are an
// error. Output goes out in pieces of at most kPieceBytes, and a piece the sink does not take
// is kept and offered first on the next call, so the caller can stop reading at any piece.
// Codings applied one over another ("gzip, br") are undone last first by a chain of decoders,
// each holding at most one piece between it and the next; at most kMaxCodings are undone.
// One decoder per response; not thread-safe.
//
// continuesPartialFile says whether a 206 answer to "Range: bytes=<length>-" carries the rest
// of a file of which `length` bytes are already held (RFC 9110 14.4, 15.3.7).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace plat::detail {

class ContentDecoder {
 public:
  static constexpr size_t kPieceBytes = 64 * 1024;
  static constexpr size_t kMaxCodings = 5;

  enum class Result {
    kTaken,    // every input byte was taken (decoded output all went to the sink)
    kStopped,  // the sink refused a piece: `*taken` input bytes were used, the piece is kept
    kFailed,   // the input is not the coding it claims to be (or follows its end)
  };
  // Takes a decoded piece; false leaves it with the decoder.
  using Sink = std::function<bool(const char* bytes, size_t length)>;

  // The decoder of a Content-Encoding value: null for none or "identity"; `*unsupported` is
  // set for a coding it cannot undo (or more than kMaxCodings of them) and null returned.
  static std::unique_ptr<ContentDecoder> forContentEncoding(std::string_view value,
                                                            bool* unsupported);
  virtual ~ContentDecoder() = default;

  // Offers the kept piece, then decodes `input`. `*taken` is how many input bytes were used.
  Result write(const char* input, size_t length, size_t* taken, const Sink& sink);
  // Whether everything written decoded to the end of a whole stream (or nothing came at all:
  // an empty body is no cut one). Call after the last write.
  bool endedWhole() const { return kept_.empty() && (consumed_ == 0 || atEnd_); }

 protected:
  ContentDecoder();
  // One decoding step over `in`: advances `*used` over the input it consumes and sets
  // `*produced` to the bytes written to `out` (at most `room`); sets atEnd_ when a stream ends
  // (and clears it when a new member begins). False on a coding error.
  virtual bool step(const uint8_t* in, size_t length, size_t* used, uint8_t* out, size_t room,
                    size_t* produced) = 0;
  bool atEnd_ = false;

 private:
  friend class ChainedDecoder;
  std::string kept_;  // a piece the sink refused
  std::unique_ptr<uint8_t[]> out_;
  uint64_t consumed_ = 0;
};

// Whether a 206 with this Content-Range (absent: nullopt) continues a file of `length` bytes
// to the end of the representation: "bytes <length>-<last>/<total>" with last + 1 == total,
// or "bytes <length>-<last>/*".
bool continuesPartialFile(const std::optional<std::string>& contentRange, int64_t length);

// The part a 206 that continues a partial file appends to it: whole only when exactly the bytes
// its Content-Range names came, however the body was framed (RFC 9110 14.4, 15.3.7.1).
class AppendedRange {
 public:
  // The part of a 206 with this Content-Range, when it continues a file of `length` bytes
  // (continuesPartialFile); nullopt otherwise.
  static std::optional<AppendedRange> continuing(const std::optional<std::string>& contentRange,
                                                 int64_t length);
  // Counts `n` more body bytes; false when they go past the range (none of them belong).
  bool take(size_t n);
  bool whole() const { return taken_ == length_; }

 private:
  int64_t length_ = 0;
  int64_t taken_ = 0;
};

// A partial download resumes under one validator, sent as If-Range: a strong ETag, or else an
// HTTP-date (Last-Modified). A weak ETag is never one (RFC 9110 13.1.5): parts combine only
// under a strong validator (15.3.7.3).
//
// The validator of an answer with these fields; empty when it has none.
std::string resumeValidatorOf(const std::optional<std::string>& etag,
                              const std::optional<std::string>& lastModified);
// Whether `validator` is one a download may resume under.
bool isResumeValidator(std::string_view validator);
// Whether a 206 with these fields is of the version `validator` names: the same strong ETag,
// or, for a date, no Last-Modified other than that instant.
bool isSameVersion(std::string_view validator, const std::optional<std::string>& etag,
                   const std::optional<std::string>& lastModified);

}  // namespace plat::detail
