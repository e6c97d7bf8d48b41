#include "platform/network/MessageBody.h"

#include <brotli/decode.h>
#include <dlfcn.h>
#include <nghttp2/nghttp2.h>
#include <strings.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/network/HTTPDate.h"
#include "platform/network/NSURLError.h"

namespace plat::detail {

namespace {

// gzip (members one after another), zlib-wrapped deflate, or raw deflate as some servers send
// for "deflate" (told apart by the first byte: a zlib header names method 8 and a window of
// at most 32 KiB).
class ZlibDecoder : public ContentDecoder {
 public:
  explicit ZlibDecoder(bool gzip) : gzip_(gzip) {}
  ~ZlibDecoder() override {
    if (started_) inflateEnd(&z_);
  }

 protected:
  bool step(const uint8_t* in, size_t length, size_t* used, uint8_t* out, size_t room,
            size_t* produced) override {
    *used = 0;
    *produced = 0;
    if (!started_) {
      if (length == 0) return true;
      const int bits = gzip_                                        ? 16 + MAX_WBITS
                       : ((in[0] & 0x0f) == 8 && (in[0] >> 4) <= 7) ? MAX_WBITS
                                                                    : -MAX_WBITS;
      std::memset(&z_, 0, sizeof z_);
      if (inflateInit2(&z_, bits) != Z_OK) return false;
      started_ = true;
    }
    if (atEnd_) {
      if (length == 0) return true;
      if (!gzip_) return false;  // bytes after the stream
      inflateReset(&z_);         // the next gzip member, if its header is one
      atEnd_ = false;
    }
    z_.next_in = const_cast<Bytef*>(in);
    z_.avail_in = static_cast<uInt>(length);
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(room);
    const int r = inflate(&z_, Z_NO_FLUSH);
    *used = length - z_.avail_in;
    *produced = room - z_.avail_out;
    if (r == Z_STREAM_END) {
      atEnd_ = true;
      return true;
    }
    return r == Z_OK || r == Z_BUF_ERROR;
  }

 private:
  bool gzip_;
  bool started_ = false;
  z_stream z_{};
};

class ZstdDecoder : public ContentDecoder {
 public:
  ZstdDecoder() : d_(ZSTD_createDStream()) {
    // A frame declares its window; what is kept for it stays within the 8 MiB that HTTP
    // senders are held to (RFC 8878 3).
    if (d_) ZSTD_DCtx_setParameter(d_, ZSTD_d_windowLogMax, 23);
  }
  ~ZstdDecoder() override { ZSTD_freeDStream(d_); }

 protected:
  bool step(const uint8_t* in, size_t length, size_t* used, uint8_t* out, size_t room,
            size_t* produced) override {
    *used = 0;
    *produced = 0;
    if (!d_) return false;
    ZSTD_inBuffer input{in, length, 0};
    ZSTD_outBuffer output{out, room, 0};
    const size_t r = ZSTD_decompressStream(d_, &output, &input);
    if (ZSTD_isError(r)) return false;
    *used = input.pos;
    *produced = output.pos;
    if (*used > 0 || *produced > 0) atEnd_ = r == 0;  // a frame decoded and flushed whole
    return true;
  }

 private:
  ZSTD_DStream* d_;
};

class BrotliDecoder : public ContentDecoder {
 public:
  BrotliDecoder() : b_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
  ~BrotliDecoder() override { BrotliDecoderDestroyInstance(b_); }

 protected:
  bool step(const uint8_t* in, size_t length, size_t* used, uint8_t* out, size_t room,
            size_t* produced) override {
    *used = 0;
    *produced = 0;
    if (!b_) return false;
    if (atEnd_) return length == 0;  // bytes after the stream
    size_t availIn = length, availOut = room;
    const uint8_t* nextIn = in;
    uint8_t* nextOut = out;
    const auto r =
        BrotliDecoderDecompressStream(b_, &availIn, &nextIn, &availOut, &nextOut, nullptr);
    *used = length - availIn;
    *produced = room - availOut;
    if (r == BROTLI_DECODER_RESULT_ERROR) return false;
    if (r == BROTLI_DECODER_RESULT_SUCCESS) atEnd_ = true;
    return true;
  }

 private:
  BrotliDecoderState* b_;
};

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A decimal of at most 18 digits (no sign, no overflow).
std::optional<int64_t> parseCount(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

ContentDecoder::ContentDecoder() : out_(new uint8_t[kPieceBytes]) {}

// Codings undone one after another: stage 0 reads the body, each later stage reads what the
// one before it wrote into its own out_ buffer (bytes [begin, end) not yet taken), and the last
// stage writes the chain's output. A stage is asked for more only when the next has taken all
// it holds, so no more than one piece waits between two stages.
class ChainedDecoder : public ContentDecoder {
 public:
  explicit ChainedDecoder(std::vector<std::unique_ptr<ContentDecoder>> stages)
      : stages_(std::move(stages)), held_(stages_.size()) {}

 protected:
  bool step(const uint8_t* in, size_t length, size_t* used, uint8_t* out, size_t room,
            size_t* produced) override {
    *used = 0;
    *produced = 0;
    if (!pull(stages_.size() - 1, in, length, used, out, room, produced)) return false;
    atEnd_ = true;
    for (size_t k = 0; k < stages_.size(); ++k) {
      if (!stages_[k]->atEnd_ || held_[k].begin != held_[k].end) atEnd_ = false;
    }
    return true;
  }

 private:
  struct Held {
    size_t begin = 0, end = 0;
  };

  // Runs stage k until `out` is full or nothing more comes: then everything it and the stages
  // before it could decode from the input so far is out. Stage 0 takes from `in` past `*used`.
  // False on a coding error.
  bool pull(size_t k, const uint8_t* in, size_t length, size_t* used, uint8_t* out, size_t room,
            size_t* produced) {
    ContentDecoder& stage = *stages_[k];
    while (*produced < room) {
      const uint8_t* src = in + *used;
      size_t avail = length - *used;
      if (k > 0) {
        src = stages_[k - 1]->out_.get() + held_[k - 1].begin;
        avail = held_[k - 1].end - held_[k - 1].begin;
      }
      size_t u = 0, p = 0;
      if (!stage.step(src, avail, &u, out + *produced, room - *produced, &p)) return false;
      *produced += p;
      if (k == 0) {
        *used += u;
      } else {
        held_[k - 1].begin += u;
      }
      if (u > 0 || p > 0) continue;
      if (k == 0) return true;  // the body so far is used up (or stage 0 cannot take it)
      // Stage k needs more than the stage before it holds for it.
      Held& h = held_[k - 1];
      uint8_t* buffer = stages_[k - 1]->out_.get();
      std::memmove(buffer, buffer + h.begin, h.end - h.begin);
      h.end -= h.begin;
      h.begin = 0;
      if (h.end == kPieceBytes) return false;  // a full piece it cannot take
      size_t got = 0;
      if (!pull(k - 1, in, length, used, buffer + h.end, kPieceBytes - h.end, &got)) {
        return false;
      }
      if (got == 0) return true;
      h.end += got;
    }
    return true;
  }

  std::vector<std::unique_ptr<ContentDecoder>> stages_;  // the last coding listed first
  std::vector<Held> held_;  // per stage: its output the next stage has not taken
};

std::unique_ptr<ContentDecoder> ContentDecoder::forContentEncoding(std::string_view value,
                                                                   bool* unsupported) {
  *unsupported = false;
  std::vector<std::unique_ptr<ContentDecoder>> stages;
  while (!value.empty()) {
    const size_t comma = value.find(',');
    std::string_view member = trimmed(value.substr(0, comma));
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    if (member.empty() || equalsIgnoringCase(member, "identity")) continue;
    std::unique_ptr<ContentDecoder> stage;
    if (equalsIgnoringCase(member, "gzip") || equalsIgnoringCase(member, "x-gzip")) {
      stage = std::make_unique<ZlibDecoder>(true);
    } else if (equalsIgnoringCase(member, "deflate")) {
      stage = std::make_unique<ZlibDecoder>(false);
    } else if (equalsIgnoringCase(member, "br")) {
      stage = std::make_unique<BrotliDecoder>();
    } else if (equalsIgnoringCase(member, "zstd")) {
      stage = std::make_unique<ZstdDecoder>();
    }
    if (!stage || stages.size() == kMaxCodings) {
      *unsupported = true;
      return nullptr;
    }
    stages.push_back(std::move(stage));
  }
  if (stages.size() <= 1) return stages.empty() ? nullptr : std::move(stages.front());
  std::reverse(stages.begin(), stages.end());  // the coding applied last is undone first
  return std::make_unique<ChainedDecoder>(std::move(stages));
}

ContentDecoder::Result ContentDecoder::write(const char* input, size_t length, size_t* taken,
                                             const Sink& sink, size_t budget) {
  *taken = 0;
  size_t delivered = 0;
  if (!kept_.empty()) {
    if (!sink(kept_.data(), kept_.size())) return Result::kStopped;
    delivered = kept_.size();
    kept_.clear();
  }
  const auto* in = reinterpret_cast<const uint8_t*>(input);
  size_t pos = 0;
  for (;;) {
    size_t used = 0, produced = 0;
    const bool ok = step(in + pos, length - pos, &used, out_.get(), kPieceBytes, &produced);
    pos += used;
    consumed_ += used;
    if (!ok) return Result::kFailed;
    if (produced > 0 && !sink(reinterpret_cast<const char*>(out_.get()), produced)) {
      kept_.assign(reinterpret_cast<const char*>(out_.get()), produced);
      *taken = pos;
      return Result::kStopped;
    }
    delivered += produced;
    if (delivered >= budget && (produced == kPieceBytes || pos < length)) {
      *taken = pos;
      return Result::kSpent;
    }
    if (produced == kPieceBytes) continue;  // more output may wait in the decoder
    if (pos == length) break;
    if (used == 0 && produced == 0) return Result::kFailed;  // input it cannot take
  }
  *taken = length;
  return Result::kTaken;
}

void HeldBody::append(const char* bytes, size_t length) {
  if (tooLong_) return;
  if (coded_.length() + length > kMaxBytes) {
    tooLong_ = true;
    coded_ = Data();
    return;
  }
  coded_.append(bytes, length);
}

HeldBody::Decoded HeldBody::take(ContentDecoder* decoder, bool undecodable) {
  Decoded r;
  Data coded = std::move(coded_);
  coded_ = Data();
  if (tooLong_) {
    r.error = NSURLErrorDataLengthExceedsMaximum;
  } else if (undecodable && !coded.empty()) {
    r.error = NSURLErrorCannotDecodeRawData;
  } else if (!decoder) {
    r.body = std::move(coded);
  } else {
    size_t taken = 0;
    const auto result = decoder->write(reinterpret_cast<const char*>(coded.bytes()), coded.length(),
                                       &taken, [&r](const char* bytes, size_t length) {
                                         if (r.body.length() + length > kMaxBytes) return false;
                                         r.body.append(bytes, length);
                                         return true;
                                       });
    if (result == ContentDecoder::Result::kStopped) {
      r.error = NSURLErrorDataLengthExceedsMaximum;
    } else if (result == ContentDecoder::Result::kFailed) {
      r.error = NSURLErrorCannotDecodeRawData;
    } else if (!decoder->endedWhole()) {
      r.error = NSURLErrorCannotDecodeContentData;
    }
    if (r.error) r.body = Data();
  }
  return r;
}

int64_t judgeBodyEnd(const BodyEnd& end) {
  if (end.http2 ? !end.streamEnded : end.closeOverTLS && !end.closureAlert) {
    return NSURLErrorNetworkConnectionLost;
  }
  if (end.decoder && !end.decoder->endedWhole()) return NSURLErrorCannotDecodeContentData;
  // The part ended short of the range it names: the file is not whole.
  if (end.appended && !end.appended->whole()) return NSURLErrorNetworkConnectionLost;
  return 0;
}

// ---- HTTP/2 stream ends ----
//
// libcurl installs its frame callback with nghttp2_session_callbacks_set_on_frame_recv_callback,
// defined below in front of the HTTP/2 library's own: the callback given is wrapped in one
// that first notes a HEADERS or DATA frame with END_STREAM on a watched stream (libcurl's
// stream user data is the transfer's easy handle), then calls it. Each distinct callback gets
// a wrapper of its own (any user of the library in the process passes through here).

namespace {

using FrameCallback = int (*)(nghttp2_session*, const nghttp2_frame*, void*);

struct StreamEnds {
  std::mutex mu;
  std::unordered_map<const void*, bool> ended;  // watched handles: whether END_STREAM came
};

StreamEnds& streamEnds() {
  // Never destroyed: transfer threads may still receive frames while the process exits.
  static auto* ends = new StreamEnds;
  return *ends;
}

std::atomic<size_t> gWatched{0};

void noteFrame(nghttp2_session* session, const nghttp2_frame* frame) {
  if ((frame->hd.type != NGHTTP2_DATA && frame->hd.type != NGHTTP2_HEADERS) ||
      !(frame->hd.flags & NGHTTP2_FLAG_END_STREAM) || frame->hd.stream_id == 0 ||
      gWatched.load(std::memory_order_acquire) == 0) {
    return;
  }
  const void* handle = nghttp2_session_get_stream_user_data(session, frame->hd.stream_id);
  StreamEnds& ends = streamEnds();
  std::lock_guard<std::mutex> lock(ends.mu);
  auto it = ends.ended.find(handle);
  if (it != ends.ended.end()) it->second = true;
}

constexpr size_t kWrappers = 8;
std::atomic<FrameCallback> gWrapped[kWrappers];

template <size_t I>
int wrappedFrameCallback(nghttp2_session* session, const nghttp2_frame* frame, void* user) {
  noteFrame(session, frame);
  return gWrapped[I].load(std::memory_order_acquire)(session, frame, user);
}

template <size_t... I>
constexpr std::array<FrameCallback, sizeof...(I)> wrappers(std::index_sequence<I...>) {
  return {wrappedFrameCallback<I>...};
}
constexpr auto kWrapperFunctions = wrappers(std::make_index_sequence<kWrappers>());

// The wrapper of `callback` (the callback itself when all wrappers are taken).
FrameCallback wrapperOf(FrameCallback callback) {
  for (size_t i = 0; i < kWrappers; ++i) {
    FrameCallback expected = nullptr;
    if (gWrapped[i].compare_exchange_strong(expected, callback, std::memory_order_acq_rel) ||
        expected == callback) {
      return kWrapperFunctions[i];
    }
  }
  return callback;
}

}  // namespace

bool watchesHTTP2StreamEnds() {
  static const bool watches =
      dlsym(RTLD_DEFAULT, "nghttp2_session_callbacks_set_on_frame_recv_callback") ==
      reinterpret_cast<void*>(&nghttp2_session_callbacks_set_on_frame_recv_callback);
  return watches;
}

void watchStreamEnd(const void* handle) {
  StreamEnds& ends = streamEnds();
  std::lock_guard<std::mutex> lock(ends.mu);
  if (ends.ended.insert_or_assign(handle, false).second) gWatched.fetch_add(1);
}

bool streamEnded(const void* handle) {
  StreamEnds& ends = streamEnds();
  std::lock_guard<std::mutex> lock(ends.mu);
  auto it = ends.ended.find(handle);
  return it != ends.ended.end() && it->second;
}

void forgetStreamEnd(const void* handle) {
  if (gWatched.load(std::memory_order_acquire) == 0) return;
  StreamEnds& ends = streamEnds();
  std::lock_guard<std::mutex> lock(ends.mu);
  if (ends.ended.erase(handle)) gWatched.fetch_sub(1);
}

bool continuesPartialFile(const std::optional<std::string>& contentRange, int64_t length) {
  if (!contentRange) return false;
  std::string_view v = trimmed(*contentRange);
  const size_t sp = v.find(' ');
  if (sp == std::string_view::npos || !equalsIgnoringCase(v.substr(0, sp), "bytes")) return false;
  v = trimmed(v.substr(sp + 1));
  const size_t dash = v.find('-'), slash = v.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return false;
  }
  const auto first = parseCount(v.substr(0, dash));
  const auto last = parseCount(v.substr(dash + 1, slash - dash - 1));
  if (!first || !last || *first != length || *last < *first) return false;
  const std::string_view total = v.substr(slash + 1);
  if (total == "*") return true;
  const auto complete = parseCount(total);
  return complete && *complete == *last + 1;
}

std::optional<AppendedRange> AppendedRange::continuing(
    const std::optional<std::string>& contentRange, int64_t length) {
  if (!continuesPartialFile(contentRange, length)) return std::nullopt;
  // "bytes <length>-<last>/<total>", checked above.
  const std::string_view v = trimmed(*contentRange);
  const size_t dash = v.find('-'), slash = v.find('/');
  AppendedRange range;
  range.length_ = *parseCount(v.substr(dash + 1, slash - dash - 1)) + 1 - length;
  return range;
}

bool AppendedRange::take(size_t n) {
  if (n > static_cast<uint64_t>(length_ - taken_)) return false;
  taken_ += static_cast<int64_t>(n);
  return true;
}

namespace {

bool isStrongETag(std::string_view v) {
  return v.size() >= 2 && v.front() == '"' && v.back() == '"';
}

std::optional<int64_t> dateOf(std::string_view v) {
  return HTTPDate::parse(v, static_cast<double>(std::time(nullptr)));
}

}  // namespace

std::string resumeValidatorOf(const std::optional<std::string>& etag,
                              const std::optional<std::string>& lastModified) {
  if (etag && isStrongETag(trimmed(*etag))) return std::string(trimmed(*etag));
  if (lastModified && dateOf(*lastModified)) return std::string(trimmed(*lastModified));
  return {};
}

bool isResumeValidator(std::string_view validator) {
  return isStrongETag(validator) || dateOf(validator).has_value();
}

bool isSameVersion(std::string_view validator, const std::optional<std::string>& etag,
                   const std::optional<std::string>& lastModified) {
  if (isStrongETag(validator)) return etag && trimmed(*etag) == validator;
  const auto date = dateOf(validator);
  return date && (!lastModified || dateOf(*lastModified) == date);
}

}  // namespace plat::detail

extern "C" void nghttp2_session_callbacks_set_on_frame_recv_callback(
    nghttp2_session_callbacks* callbacks, nghttp2_on_frame_recv_callback callback) {
  using Setter = void (*)(nghttp2_session_callbacks*, nghttp2_on_frame_recv_callback);
  static const auto library = reinterpret_cast<Setter>(
      dlsym(RTLD_NEXT, "nghttp2_session_callbacks_set_on_frame_recv_callback"));
  if (library) library(callbacks, callback ? plat::detail::wrapperOf(callback) : nullptr);
}
