// JPEG 2000 through OpenJPEG: JP2 files and raw codestreams are read once the data is whole;
// JP2 files are written reversibly (lossless) at quality 1, irreversibly below.

#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {

constexpr uint8_t kJP2Signature[12] = {0, 0, 0, 0x0c, 'j', 'P', ' ', ' ', 0x0d, 0x0a, 0x87, 0x0a};
constexpr uint8_t kJ2KSignature[4] = {0xff, 0x4f, 0xff, 0x51};

void silent(const char*, void*) {}

struct MemoryReader {
  const uint8_t* bytes;
  size_t length;
  size_t pos = 0;
};

OPJ_SIZE_T memRead(void* buffer, OPJ_SIZE_T n, void* user) {
  auto* m = static_cast<MemoryReader*>(user);
  if (m->pos >= m->length) return OPJ_SIZE_T(-1);
  n = std::min<OPJ_SIZE_T>(n, m->length - m->pos);
  std::memcpy(buffer, m->bytes + m->pos, n);
  m->pos += n;
  return n;
}
OPJ_OFF_T memSkip(OPJ_OFF_T n, void* user) {
  auto* m = static_cast<MemoryReader*>(user);
  if (n < 0) {
    if (OPJ_SIZE_T(-n) > m->pos) return -1;
    m->pos -= size_t(-n);
    return n;
  }
  size_t step = std::min<size_t>(size_t(n), m->length - std::min(m->pos, m->length));
  m->pos += step;
  return OPJ_OFF_T(step);
}
OPJ_BOOL memSeek(OPJ_OFF_T n, void* user) {
  auto* m = static_cast<MemoryReader*>(user);
  if (n < 0 || size_t(n) > m->length) return OPJ_FALSE;
  m->pos = size_t(n);
  return OPJ_TRUE;
}

// The JP2 writer seeks back to fill in box lengths, so output is a buffer with a position.
struct MemoryWriter {
  std::vector<uint8_t> bytes;
  size_t pos = 0;
};
OPJ_SIZE_T memWrite(void* buffer, OPJ_SIZE_T n, void* user) {
  auto* m = static_cast<MemoryWriter*>(user);
  if (m->pos + n > m->bytes.size()) m->bytes.resize(m->pos + n);
  std::memcpy(m->bytes.data() + m->pos, buffer, n);
  m->pos += n;
  return n;
}
OPJ_OFF_T memWriteSkip(OPJ_OFF_T n, void* user) {
  auto* m = static_cast<MemoryWriter*>(user);
  if (n < 0 && OPJ_SIZE_T(-n) > m->pos) return -1;
  m->pos = size_t(OPJ_OFF_T(m->pos) + n);
  if (m->pos > m->bytes.size()) m->bytes.resize(m->pos);
  return n;
}
OPJ_BOOL memWriteSeek(OPJ_OFF_T n, void* user) {
  auto* m = static_cast<MemoryWriter*>(user);
  if (n < 0) return OPJ_FALSE;
  m->pos = size_t(n);
  if (m->pos > m->bytes.size()) m->bytes.resize(m->pos);
  return OPJ_TRUE;
}

OPJ_CODEC_FORMAT codecOf(const uint8_t* p, size_t n) {
  if (n >= 12 && std::memcmp(p, kJP2Signature, 12) == 0) return OPJ_CODEC_JP2;
  if (n >= 4 && std::memcmp(p, kJ2KSignature, 4) == 0) return OPJ_CODEC_J2K;
  return OPJ_CODEC_UNKNOWN;
}

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// Limits checked from the codestream's SIZ segment before OpenJPEG reads the header: it
// allocates a record per tile and a 32-bit sample buffer per component, beside our bitmap.
constexpr uint64_t kMaxTiles = 4096;
constexpr uint32_t kMaxComponents = 16;
// Samples of every component and pixels of the bitmap together (both four bytes each); also
// bounds the time (OpenJPEG decodes a few times slower than the other readers).
constexpr uint64_t kMaxSamplesAndPixels = kCGImageSourceMaxPixels / 2;

// Where the codestream starts: at once for a raw one, in the "jp2c" box of a JP2 file.
bool codestreamStart(const uint8_t* p, size_t n, size_t* start) {
  if (n >= 4 && std::memcmp(p, kJ2KSignature, 4) == 0) {
    *start = 0;
    return true;
  }
  size_t at = 0;
  while (n - at >= 8) {
    uint64_t length = be32(p + at);
    size_t header = 8;
    if (length == 1) {
      if (n - at < 16) return false;
      length = uint64_t(be32(p + at + 8)) << 32 | be32(p + at + 12);
      header = 16;
    } else if (length == 0) {
      length = n - at;
    }
    if (std::memcmp(p + at + 4, "jp2c", 4) == 0) {
      *start = at + header;
      return *start <= n;
    }
    if (length < header || length > n - at) return false;
    at += size_t(length);
  }
  return false;
}

// Reads the SIZ segment and checks it against the limits above.
bool checkedSize(const uint8_t* p, size_t n, int64_t* width, int64_t* height) {
  size_t at = 0;
  if (!codestreamStart(p, n, &at) || n - at < 4 + 38) return false;
  const uint8_t* siz = p + at;
  if (std::memcmp(siz, kJ2KSignature, 4) != 0) return false;
  uint16_t length = be16(siz + 4);
  uint32_t comps = be16(siz + 40);
  if (comps == 0 || comps > kMaxComponents || length < 38 + 3 * comps ||
      n - at < 4 + size_t(length))
    return false;
  uint64_t x1 = be32(siz + 8), y1 = be32(siz + 12), x0 = be32(siz + 16), y0 = be32(siz + 20);
  uint64_t tw = be32(siz + 24), th = be32(siz + 28), tx0 = be32(siz + 32), ty0 = be32(siz + 36);
  if (x1 <= x0 || y1 <= y0 || tw == 0 || th == 0 || tx0 > x0 || ty0 > y0) return false;
  uint64_t w = x1 - x0, h = y1 - y0;
  if (!withinPixelCap(w, h)) return false;
  uint64_t tiles = ((x1 - tx0 + tw - 1) / tw) * ((y1 - ty0 + th - 1) / th);
  if (tiles > kMaxTiles) return false;
  uint64_t total = w * h;
  for (uint32_t c = 0; c < comps; ++c) {
    uint64_t dx = siz[42 + 3 * c + 1], dy = siz[42 + 3 * c + 2];
    if (dx == 0 || dy == 0) return false;
    total += ((x1 + dx - 1) / dx - (x0 + dx - 1) / dx) * ((y1 + dy - 1) / dy - (y0 + dy - 1) / dy);
  }
  if (total > kMaxSamplesAndPixels) return false;
  *width = int64_t(w);
  *height = int64_t(h);
  return true;
}

// Owns a codec, a stream and an image for one read.
struct Decoding {
  opj_codec_t* codec = nullptr;
  opj_stream_t* stream = nullptr;
  opj_image_t* image = nullptr;
  MemoryReader reader;
  ~Decoding() {
    if (image) opj_image_destroy(image);
    if (stream) opj_stream_destroy(stream);
    if (codec) opj_destroy_codec(codec);
  }
  // Reads the header; false when the data is no image of a size we accept.
  bool open(const uint8_t* p, size_t n) {
    OPJ_CODEC_FORMAT format = codecOf(p, n);
    int64_t w = 0, h = 0;
    if (format == OPJ_CODEC_UNKNOWN || !checkedSize(p, n, &w, &h)) return false;
    reader = {p, n, 0};
    codec = opj_create_decompress(format);
    if (!codec) return false;
    opj_set_error_handler(codec, silent, nullptr);
    opj_set_warning_handler(codec, silent, nullptr);
    opj_set_info_handler(codec, silent, nullptr);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(codec, &params)) return false;
    stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE);
    if (!stream) return false;
    opj_stream_set_user_data(stream, &reader, nullptr);
    opj_stream_set_user_data_length(stream, n);
    opj_stream_set_read_function(stream, memRead);
    opj_stream_set_skip_function(stream, memSkip);
    opj_stream_set_seek_function(stream, memSeek);
    if (!opj_read_header(stream, codec, &image) || !image) return false;
    return width() > 0 && height() > 0 && image->numcomps > 0 &&
           withinPixelCap(uint64_t(width()), uint64_t(height()));
  }
  int64_t width() const { return int64_t(image->x1) - int64_t(image->x0); }
  int64_t height() const { return int64_t(image->y1) - int64_t(image->y0); }
};

// A component's sample at image pixel (x, y) scaled to 8 bits.
uint8_t sample(const opj_image_comp_t& c, const opj_image_t& img, int64_t x, int64_t y) {
  if (!c.data || c.dx == 0 || c.dy == 0 || c.w == 0 || c.h == 0) return 0;
  int64_t cx = std::min<int64_t>((x + img.x0) / c.dx - c.x0, c.w - 1);
  int64_t cy = std::min<int64_t>((y + img.y0) / c.dy - c.y0, c.h - 1);
  int64_t v = c.data[std::max<int64_t>(cy, 0) * c.w + std::max<int64_t>(cx, 0)];
  uint32_t prec = std::clamp<uint32_t>(c.prec, 1, 31);
  if (c.sgnd) v += int64_t(1) << (prec - 1);
  v = std::clamp<int64_t>(v, 0, (int64_t(1) << prec) - 1);
  if (prec > 8) return uint8_t(v >> (prec - 8));
  return uint8_t(prec == 8 ? v : v * 255 / ((1 << prec) - 1));
}

CGImageRef decodeJP2(const Data& data) {
  Decoding d;
  if (!d.open(data.bytes(), data.length())) return nullptr;
  if (!opj_decode(d.codec, d.stream, d.image) || !opj_end_decompress(d.codec, d.stream))
    return nullptr;
  const opj_image_t& img = *d.image;
  // Colour components first; an alpha component where the file marks one (else the second of
  // two or the fourth of four).
  int alphaIndex = -1;
  for (uint32_t i = 0; i < img.numcomps; ++i)
    if (img.comps[i].alpha) alphaIndex = int(i);
  if (alphaIndex < 0 && (img.numcomps == 2 || img.numcomps >= 4))
    alphaIndex = img.numcomps == 2 ? 1 : 3;
  int colours = img.numcomps >= 3 ? 3 : 1;
  int w = int(d.width()), h = int(d.height());
  bool opaque = alphaIndex < 0;
  auto* out = static_cast<uint8_t*>(std::malloc(size_t(w) * size_t(h) * 4));
  if (!out) return nullptr;
  uint8_t* o = out;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x, o += 4) {
      uint8_t r = sample(img.comps[0], img, x, y);
      uint8_t g = colours == 3 ? sample(img.comps[1], img, x, y) : r;
      uint8_t b = colours == 3 ? sample(img.comps[2], img, x, y) : r;
      uint32_t a = opaque ? 255 : sample(img.comps[alphaIndex], img, x, y);
      o[0] = uint8_t((b * a + 127) / 255);
      o[1] = uint8_t((g * a + 127) / 255);
      o[2] = uint8_t((r * a + 127) / 255);
      o[3] = uint8_t(a);
    }
  }
  return CGImage::createOwningBuffer(out, w, h, opaque);
}

class JP2Reader : public CGImageSource::Reader {
 public:
  void scan(const Data& data, bool final) override {
    final_ = final;
    valid_ = false;
    if (!final) return;  // read once the data is whole
    Decoding d;
    if (!d.open(data.bytes(), data.length())) return;
    valid_ = true;
    width_ = d.width();
    height_ = d.height();
    alpha_ = d.image->numcomps == 2 || d.image->numcomps >= 4;
  }
  size_t count() const override { return valid_ ? 1 : 0; }
  Dictionary propertiesAtIndex(size_t) const override {
    return Dictionary{{kCGImagePropertyPixelWidth, Value(width_)},
                      {kCGImagePropertyPixelHeight, Value(height_)},
                      {kCGImagePropertyHasAlpha, Value(alpha_)}};
  }
  CGImageRef image(const Data& data, bool, size_t) override {
    if (!valid_) return nullptr;
    if (!cached_) cached_ = decodeJP2(data);
    return cached_;
  }
  CGImageSourceStatus status() const override {
    if (valid_) return kCGImageStatusComplete;
    return final_ ? kCGImageStatusInvalidData : kCGImageStatusIncomplete;
  }
  void purge() override { cached_ = nullptr; }

 private:
  bool final_ = false, valid_ = false, alpha_ = false;
  int64_t width_ = 0, height_ = 0;
  CGImageRef cached_;
};

}  // namespace

bool isJPEG2000(const uint8_t* p, size_t n) { return codecOf(p, n) != OPJ_CODEC_UNKNOWN; }

bool jpeg2000Size(const uint8_t* p, size_t n, int64_t* width, int64_t* height) {
  return codecOf(p, n) != OPJ_CODEC_UNKNOWN && checkedSize(p, n, width, height);
}

CGImageRef decodeJPEG2000(const Data& data) { return decodeJP2(data); }

std::unique_ptr<CGImageSource::Reader> makeJP2Reader() { return std::make_unique<JP2Reader>(); }

Data encodeJPEG2000(const CGImageRef& image, double quality) {
  if (!image) return Data();
  const int w = int(image->width()), h = int(image->height());
  const bool opaque = image->isOpaque();
  const uint32_t comps = opaque ? 3 : 4;
  opj_image_cmptparm_t parms[4];
  std::memset(parms, 0, sizeof parms);
  for (uint32_t i = 0; i < comps; ++i) {
    parms[i].dx = parms[i].dy = 1;
    parms[i].w = OPJ_UINT32(w);
    parms[i].h = OPJ_UINT32(h);
    parms[i].prec = 8;
    parms[i].sgnd = 0;
  }
  opj_image_t* img = opj_image_create(comps, parms, OPJ_CLRSPC_SRGB);
  if (!img) return Data();
  img->x1 = OPJ_UINT32(w);
  img->y1 = OPJ_UINT32(h);
  if (!opaque) img->comps[3].alpha = 1;
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = image->bytes() + size_t(y) * image->bytesPerRow();
    for (int x = 0; x < w; ++x, s += 4) {
      uint32_t a = opaque ? 255 : s[3];
      auto un = [a](uint32_t c) {
        return a == 0 ? 0 : int(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
      };
      size_t i = size_t(y) * size_t(w) + size_t(x);
      img->comps[0].data[i] = un(s[2]);
      img->comps[1].data[i] = un(s[1]);
      img->comps[2].data[i] = un(s[0]);
      if (!opaque) img->comps[3].data[i] = int(a);
    }
  }
  opj_cparameters_t params;
  opj_set_default_encoder_parameters(&params);
  params.tcp_numlayers = 1;
  params.cp_disto_alloc = 1;
  if (std::isnan(quality) || quality >= 1) {
    params.irreversible = 0;
    params.tcp_rates[0] = 0;  // lossless
  } else {
    // Quality 0..1 maps to compression ratios 200:1 .. 2:1.
    params.irreversible = 1;
    double q = std::clamp(quality, 0.0, 1.0);
    params.tcp_rates[0] = float(std::pow(100.0, 1 - q) * 2);
  }
  params.tcp_mct = 1;
  // Each resolution halves the image; at least one pixel must remain.
  int smallest = std::min(w, h), levels = 1;
  while (levels < 6 && (smallest >> levels) > 0) ++levels;
  params.numresolution = levels;
  MemoryWriter out;
  opj_codec_t* codec = opj_create_compress(OPJ_CODEC_JP2);
  opj_stream_t* stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE);
  bool ok = codec && stream;
  if (ok) {
    opj_set_error_handler(codec, silent, nullptr);
    opj_set_warning_handler(codec, silent, nullptr);
    opj_set_info_handler(codec, silent, nullptr);
    opj_stream_set_user_data(stream, &out, nullptr);
    opj_stream_set_write_function(stream, memWrite);
    opj_stream_set_skip_function(stream, memWriteSkip);
    opj_stream_set_seek_function(stream, memWriteSeek);
    ok = opj_setup_encoder(codec, &params, img) && opj_start_compress(codec, img, stream) &&
         opj_encode(codec, stream) && opj_end_compress(codec, stream);
  }
  if (stream) opj_stream_destroy(stream);
  if (codec) opj_destroy_codec(codec);
  opj_image_destroy(img);
  return ok ? Data(std::move(out.bytes)) : Data();
}

}  // namespace plat
