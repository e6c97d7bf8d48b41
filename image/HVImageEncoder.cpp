#include "image/HVImageEncoder.h"

#include <cmath>

#include "image/HVAPNGChunks.h"
#include "image/HVBitmapCopy.h"
#include "platform/foundation/NSException.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLog.h"
#include "platform/graphics/CGContext.h"
#include "platform/graphics/CGImageDestination.h"
#include "platform/graphics/CGImageSource.h"

using namespace plat;

namespace {

double clampDuration(double d) { return std::isnan(d) ? 0 : std::max(0.0, d); }

// Refuses non-regular files (a named pipe would block) and paths holding a NUL byte.
Data readFile(const std::string& path) { return dataWithContentsOfFile(path).value_or(Data()); }

// The upright bitmap of encoded data (EXIF orientation applied).
CGImageRef bitmapOfData(const Data& data) {
  auto decoder = HVImageDecoder::decoderWithDataScale(data, 1);
  if (!decoder) return nullptr;
  auto frame = decoder->frameAtIndexDecodeForDisplay(0, true);
  if (!frame || !frame->image()) return nullptr;
  CGImageRef cg = frame->image()->CGImage();
  UIImageOrientation o = frame->image()->imageOrientation();
  if (o == UIImageOrientationUp) return cg;
  CGImageRef upright = HVOrientedCGImageCopy(cg, o, cg->bitmapInfo());
  return upright ? upright : cg;
}

void appendFCTL(Data& out, uint32_t sequence, uint32_t width, uint32_t height, double duration) {
  uint16_t num = 0, den = 0;
  HVFrameDelayFraction(duration, &num, &den);
  Data d;
  HVAppendU32BE(d, sequence);
  HVAppendU32BE(d, width);
  HVAppendU32BE(d, height);
  HVAppendU32BE(d, 0);
  HVAppendU32BE(d, 0);
  HVAppendU16BE(d, num);
  HVAppendU16BE(d, den);
  const uint8_t ops[2] = {1, 0};  // dispose background, blend source
  d.append(ops, 2);
  HVAppendPNGChunk(out, "fcTL", d.bytes(), d.length());
}

}  // namespace

void HVFrameDelayFraction(double d, uint16_t* numerator, uint16_t* denominator) {
  uint16_t num = 1, den = 100;
  if (std::isnan(d)) d = 0;
  if (d >= 255) {
    num = 255, den = 1;
  } else if (d <= 1.0 / 255) {
    num = 1, den = 255;
  } else {
    double x = d, a = std::floor(x);
    long hPrev2 = 1, kPrev2 = 0;  // h(-1), k(-1)
    long h = long(a), k = 1;      // h0, k0
    for (int convergents = 1; std::fabs(x - a) >= 1.0 / 510 && convergents < 8; ++convergents) {
      x = 1 / (x - a);
      a = std::floor(x);
      if (!std::isfinite(a) || a > 255) break;
      long hn = long(a) * h + hPrev2, kn = long(a) * k + kPrev2;
      if (hn > 255 || kn > 255) break;
      hPrev2 = h, kPrev2 = k;
      h = hn, k = kn;
    }
    if (h == 0 || k == 0) {
      num = 1, den = 100;
    } else {
      num = uint16_t(h), den = uint16_t(k);
    }
  }
  if (numerator) *numerator = num;
  if (denominator) *denominator = den;
}

Data HVEncodeCGImage(const CGImageRef& image, uint64_t type, double quality) {
  if (!image || type == HVImageKindWebP) return Data();
  std::string uti = HVUTTypeForImageKind(type);
  if (uti.empty()) return Data();
  auto dest = CGImageDestination::createWithData(uti, 1);
  if (!dest) return Data();
  if (std::isnan(quality)) quality = 0;
  quality = std::clamp(quality, 0.0, 1.0);
  dest->addImage(image, Dictionary{{kCGImageDestinationLossyCompressionQuality, Value(quality)}});
  if (!dest->finalize() || dest->data().empty()) return Data();
  return dest->data();
}

HVImageEncoder::HVImageEncoder(HVImageKind type) : type_(type) {
  switch (type) {
    case HVImageKindJPEG:
    case HVImageKindJPEG2000:
      quality_ = 0.9;
      lossless_ = false;
      break;
    default:
      quality_ = 1.0;
      lossless_ = true;
      break;
  }
}

std::shared_ptr<HVImageEncoder> HVImageEncoder::init() {
  throw NSException("HVImageEncoder init error",
                    "HVImageEncoder must be initialized with a type. Use 'initWithType:' instead.");
}

std::shared_ptr<HVImageEncoder> HVImageEncoder::initWithType(uint64_t type) {
  if (type == HVImageKindWebP) {
    NSLog(kHVWebPUnavailableFormat, "-[HVImageEncoder initWithType:]", __LINE__);
    return nullptr;
  }
  if (type < HVImageKindJPEG || type > HVImageKindPNG) {
    NSLog("[%s: %d] Unsupported image type:%d", "-[HVImageEncoder initWithType:]", __LINE__,
          int(type));
    return nullptr;
  }
  return std::shared_ptr<HVImageEncoder>(new HVImageEncoder(HVImageKind(type)));
}

void HVImageEncoder::setQuality(double v) {
  quality_ = std::isnan(v) ? 0 : std::clamp(v, 0.0, 1.0);
}

void HVImageEncoder::addImageDuration(const UIImageRef& image, double duration) {
  if (!image || !image->CGImage()) return;
  images_.push_back(image);
  durations_.push_back(clampDuration(duration));
}

void HVImageEncoder::addImageWithDataDuration(const Data& data, double duration) {
  if (data.empty()) return;
  images_.push_back(data);
  durations_.push_back(clampDuration(duration));
}

void HVImageEncoder::addImageWithFileDuration(const std::string& path, double duration) {
  if (path.empty() || !isValidFilePath(path)) return;
  images_.push_back(FileItem{path});
  durations_.push_back(clampDuration(duration));
}

Data HVImageEncoder::encode() {
  if (images_.empty()) return Data();
  if (type_ == HVImageKindPNG && images_.size() > 1) return encodeAPNG();
  if (type_ >= HVImageKindJPEG && type_ <= HVImageKindPNG) {
    Data out;
    return encodeWithImageIO(&out, "") ? out : Data();
  }
  return Data();
}

bool HVImageEncoder::encodeToFile(const std::string& path) {
  if (images_.empty() || path.empty() || !isValidFilePath(path)) return false;
  bool imageIO = type_ >= HVImageKindJPEG && type_ <= HVImageKindGIF;
  imageIO = imageIO || (type_ == HVImageKindPNG && images_.size() == 1);
  if (imageIO) return encodeWithImageIO(nullptr, path);
  Data data = encode();
  return !data.empty() && writeDataToFile(data, path, NSDataWritingAtomic);
}

bool HVImageEncoder::encodeWithImageIO(Data* data, const std::string& path) {
  size_t count = type_ == HVImageKindGIF ? images_.size() : 1;
  std::string uti = HVUTTypeForImageKind(type_);
  auto dest = path.empty() ? CGImageDestination::createWithData(uti, count)
                           : CGImageDestination::createWithURL(path, uti, count);
  if (!dest) return false;
  if (type_ == HVImageKindGIF)
    dest->setProperties(
        Dictionary{{kCGImagePropertyGIFDictionary,
                    // The GIF field is 16 bits: larger counts play the most it can say.
                    Value(Dictionary{{kCGImagePropertyGIFLoopCount,
                                      Value(std::min<uint64_t>(loopCount_, 65535))}})}});
  for (size_t i = 0; i < count; ++i) {
    Dictionary props;
    if (count == 1 || type_ != HVImageKindGIF) {
      props.set(kCGImageDestinationLossyCompressionQuality, Value(quality_));
    } else {
      props.set(kCGImagePropertyGIFDictionary,
                Value(Dictionary{{kCGImagePropertyGIFDelayTime, Value(durations_[i])}}));
    }
    const Item& item = images_[i];
    if (auto* image = std::get_if<UIImageRef>(&item)) {
      CGImageRef cg = (*image)->CGImage();
      if ((*image)->imageOrientation() != UIImageOrientationUp) {
        if (CGImageRef upright =
                HVOrientedCGImageCopy(cg, (*image)->imageOrientation(), cg->bitmapInfo()))
          cg = upright;
      }
      dest->addImage(cg, props);
    } else {
      Data bytes = std::holds_alternative<Data>(item) ? std::get<Data>(item)
                                                      : readFile(std::get<FileItem>(item).path);
      auto source = CGImageSource::createWithData(bytes);
      if (!source) continue;
      // The writers carry no orientation tag: a turned source is drawn upright, so that every
      // reader shows the output as it showed the input.
      int64_t orientation =
          source->propertiesAtIndex(0)[kCGImagePropertyOrientation].integerValue();
      CGImageRef upright = orientation > 1 && orientation <= 8 ? bitmapOfData(bytes) : nullptr;
      if (upright)
        dest->addImage(upright, props);
      else
        dest->addImageFromSource(source, 0, props);
    }
  }
  if (!dest->finalize()) return false;
  if (data) *data = dest->data();
  return data ? !data->empty() : true;
}

CGImageRef HVImageEncoder::newCGImageFromIndex(size_t index) {
  const Item& item = images_[index];
  if (auto* image = std::get_if<UIImageRef>(&item)) {
    CGImageRef cg = (*image)->CGImage();
    if (!cg) return nullptr;
    if ((*image)->imageOrientation() == UIImageOrientationUp) return HVDecodedCGImageCopy(cg, true);
    return HVOrientedCGImageCopy(cg, (*image)->imageOrientation(),
                                 kCGBitmapByteOrder32Little | kCGImageAlphaPremultipliedFirst);
  }
  if (auto* file = std::get_if<FileItem>(&item)) return bitmapOfData(readFile(file->path));
  return bitmapOfData(std::get<Data>(item));
}

Data HVImageEncoder::encodeAPNG() {
  // Every frame is written as 8-bit RGBA, non-interlaced, so the fdAT data of later frames
  // decodes with frame 0's header.
  std::vector<Data> pngs;
  uint32_t canvasW = 0, canvasH = 0;
  CGImageRef first;
  for (size_t i = 0; i < images_.size(); ++i) {
    CGImageRef cg = newCGImageFromIndex(i);
    if (!cg || cg->width() == 0 || cg->height() == 0) return Data();
    Data png = CGImageEncodePNG(cg, true);
    if (png.empty()) return Data();
    canvasW = std::max(canvasW, uint32_t(cg->width()));
    canvasH = std::max(canvasH, uint32_t(cg->height()));
    if (i == 0) first = cg;
    pngs.push_back(std::move(png));
  }
  if (first->width() < canvasW || first->height() < canvasH) {
    auto ctx = CGBitmapContextCreate(int(canvasW), int(canvasH));
    if (!ctx) return Data();
    CGContextDrawImage(ctx.get(),
                       CGRectMake(0, double(canvasH) - double(first->height()),
                                  double(first->width()), double(first->height())),
                       first);
    pngs[0] = CGImageEncodePNG(CGBitmapContextCreateImage(ctx.get()), true);
    if (pngs[0].empty()) return Data();
  }

  const Data& png0 = pngs[0];
  auto info = HVParseAPNGChunks(png0.bytes(), png0.length());
  if (!info) return Data();
  Data out;
  out.append(png0.bytes(), 8);
  uint32_t sequence = 0;
  bool inIDAT = false, idatDone = false;
  for (const auto& chunk : info->chunks) {
    bool isIDAT = chunk.fourcc == HVFourCC("IDAT");
    if (isIDAT && !inIDAT && !idatDone) {
      Data actl;
      HVAppendU32BE(actl, uint32_t(pngs.size()));
      HVAppendU32BE(actl, uint32_t(std::min<uint64_t>(loopCount_, 0xffffffffu)));
      HVAppendPNGChunk(out, "acTL", actl.bytes(), actl.length());
      appendFCTL(out, sequence++, info->width, info->height, durations_[0]);
      inIDAT = true;
    }
    if (!isIDAT && inIDAT) {
      inIDAT = false;
      idatDone = true;
      for (size_t i = 1; i < pngs.size(); ++i) {
        auto fi = HVParseAPNGChunks(pngs[i].bytes(), pngs[i].length());
        if (!fi) return Data();
        appendFCTL(out, sequence++, fi->width, fi->height, durations_[i]);
        for (const auto& c : fi->chunks) {
          if (c.fourcc != HVFourCC("IDAT")) continue;
          Data fd;
          HVAppendU32BE(fd, sequence++);
          fd.append(pngs[i].bytes() + c.offset + 8, c.length);
          HVAppendPNGChunk(out, "fdAT", fd.bytes(), fd.length());
        }
      }
    }
    out.append(png0.bytes() + chunk.offset, size_t(chunk.length) + 12);
  }
  return out;
}

Data HVImageEncoder::encodeImageTypeQuality(const UIImageRef& image, uint64_t type,
                                            double quality) {
  auto encoder = initWithType(type);
  if (!encoder) return Data();
  encoder->setQuality(quality);
  encoder->addImageDuration(image, 0);
  return encoder->encode();
}

Data HVImageEncoder::encodeImageWithDecoderTypeQuality(
    const std::shared_ptr<HVImageDecoder>& decoder, uint64_t type, double quality) {
  if (!decoder || decoder->frameCount() == 0) return Data();
  auto encoder = initWithType(type);
  if (!encoder) return Data();
  encoder->setQuality(quality);
  for (uint64_t i = 0; i < decoder->frameCount(); ++i) {
    auto frame = decoder->frameAtIndexDecodeForDisplay(i, true);
    if (!frame || !frame->image()) continue;
    encoder->addImageWithDataDuration(UIImagePNGRepresentation(frame->image()),
                                      decoder->frameDurationAtIndex(i));
  }
  return encoder->encode();
}
