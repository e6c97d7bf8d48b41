#include "platform/network/MessageBody.h"

#include <brotli/decode.h>
#include <strings.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>

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

std::unique_ptr<ContentDecoder> ContentDecoder::forContentEncoding(std::string_view value,
                                                                   bool* unsupported) {
  *unsupported = false;
  std::string_view coding;
  while (!value.empty()) {
    const size_t comma = value.find(',');
    std::string_view member = trimmed(value.substr(0, comma));
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    if (member.empty() || equalsIgnoringCase(member, "identity")) continue;
    if (!coding.empty()) {
      *unsupported = true;  // codings applied one over another
      return nullptr;
    }
    coding = member;
  }
  if (coding.empty()) return nullptr;
  if (equalsIgnoringCase(coding, "gzip") || equalsIgnoringCase(coding, "x-gzip")) {
    return std::make_unique<ZlibDecoder>(true);
  }
  if (equalsIgnoringCase(coding, "deflate")) return std::make_unique<ZlibDecoder>(false);
  if (equalsIgnoringCase(coding, "br")) return std::make_unique<BrotliDecoder>();
  if (equalsIgnoringCase(coding, "zstd")) return std::make_unique<ZstdDecoder>();
  *unsupported = true;
  return nullptr;
}

ContentDecoder::Result ContentDecoder::write(const char* input, size_t length, size_t* taken,
                                             const Sink& sink) {
  *taken = 0;
  if (!kept_.empty()) {
    if (!sink(kept_.data(), kept_.size())) return Result::kStopped;
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
    if (produced == kPieceBytes) continue;  // more output may wait in the decoder
    if (pos == length) break;
    if (used == 0 && produced == 0) return Result::kFailed;  // input it cannot take
  }
  *taken = length;
  return Result::kTaken;
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

}  // namespace plat::detail
