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
// HeldBody keeps the body of a response the engine holds back while it decides what the
// response leads to (a redirect to follow, a challenge to answer): as it came, coded, and
// bounded. It is decoded only if it is delivered after all, and then only as far as it may
// grow: a body nobody reads costs no decoding, and a small coded body that would decode to
// far more than is kept stops there.
//
// judgeBodyEnd is the one decision of whether a body that ended without a transfer error is
// whole, for every protocol: an HTTP/2 stream must have ended with END_STREAM (RFC 9113 8.1),
// an HTTP/1 body read to the close over TLS must end with the closure alert (RFC 9112 9.8),
// a coded body's stream must have ended, and a part appended to a partial file must be the
// whole range its Content-Range names.
//
// libcurl takes an HTTP/2 stream reset with NO_ERROR as its end, and does not say which it
// was: the frames its HTTP/2 library receives are looked at on their way to libcurl, for the
// transfers registered with watchStreamEnd (keyed by their easy handle).
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

#include "platform/foundation/Data.h"

namespace plat::detail {

class ContentDecoder {
 public:
  static constexpr size_t kPieceBytes = 64 * 1024;
  static constexpr size_t kMaxCodings = 5;

  enum class Result {
    kTaken,    // every input byte was taken (decoded output all went to the sink)
    kStopped,  // the sink refused a piece: `*taken` input bytes were used, the piece is kept
    kFailed,   // the input is not the coding it claims to be (or follows its end)
    kSpent,    // `budget` decoded bytes went to the sink: `*taken` input bytes were used
  };
  // Takes a decoded piece; false leaves it with the decoder.
  using Sink = std::function<bool(const char* bytes, size_t length)>;

  // The decoder of a Content-Encoding value: null for none or "identity"; `*unsupported` is
  // set for a coding it cannot undo (or more than kMaxCodings of them) and null returned.
  static std::unique_ptr<ContentDecoder> forContentEncoding(std::string_view value,
                                                            bool* unsupported);
  virtual ~ContentDecoder() = default;

  // Offers the kept piece, then decodes `input`, stopping once `budget` decoded bytes went to
  // the sink (a few coded bytes may stand for far more). `*taken` is how many input bytes
  // were used; what is left of them decodes on a later call.
  Result write(const char* input, size_t length, size_t* taken, const Sink& sink,
               size_t budget = SIZE_MAX);
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

class HeldBody {
 public:
  static constexpr size_t kMaxBytes = 4 * 1024 * 1024;

  // Keeps `length` more bytes; past kMaxBytes nothing more is kept and the body is too long.
  void append(const char* bytes, size_t length);
  struct Decoded {
    Data body;
    int64_t error = 0;  // an NSURLError code; 0: `body` is the whole body
  };
  // Takes the body, undoing `decoder`'s coding (none when null; `undecodable`: a coding that
  // cannot be undone): decoded to at most kMaxBytes, or an error.
  Decoded take(ContentDecoder* decoder, bool undecodable);

 private:
  Data coded_;
  bool tooLong_ = false;
};

// How a body that ended without a transfer error came to its end.
class AppendedRange;
struct BodyEnd {
  bool http2 = false;                       // it came on an HTTP/2 stream
  bool streamEnded = false;                 // HTTP/2: a frame with END_STREAM ended the stream
  bool closeOverTLS = false;                // HTTP/1: over TLS, read to the connection's close
  bool closureAlert = false;                // the TLS closure alert came
  const ContentDecoder* decoder = nullptr;  // what decoded the body as it came, if anything
  const AppendedRange* appended = nullptr;  // the part a resumed download appends, if any
};
// 0 when the body is whole; else the NSURLError code of the failure.
int64_t judgeBodyEnd(const BodyEnd& end);

// Whether the HTTP/2 frames libcurl receives can be looked at in this process; when they
// cannot, no stream's end is known and HTTP/2 is not to be offered.
bool watchesHTTP2StreamEnds();
// Starts watching the stream of the transfer of easy handle `handle`, forgetting what was
// seen for an earlier one at the same address.
void watchStreamEnd(const void* handle);
// Whether a frame with END_STREAM ended the watched transfer's stream.
bool streamEnded(const void* handle);
// Stops watching (when the handle is cleaned up).
void forgetStreamEnd(const void* handle);

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
