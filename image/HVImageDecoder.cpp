#include "image/HVImageDecoder.h"

#include "image/HVBitmapCopy.h"
#include "image/HVImageCoder.h"
#include "platform/uikit/UIScreen.h"

using namespace plat;

class HVImageDecoder::Frame : public HVImageFrame {
 public:
  Frame() = default;
  std::shared_ptr<HVImageFrame> copy() const override {
    return std::shared_ptr<HVImageFrame>(new Frame(*this));
  }
  bool hasAlpha = false;
  bool isFullSize = false;
  // Earliest frame from which the canvas must be rebuilt to show this one.
  uint64_t blendFromIndex = 0;

 private:
  Frame(const Frame&) = default;
};

namespace {

UIImageOrientation orientationFromEXIF(int64_t value) {
  switch (value) {
    case 2:
      return UIImageOrientationUpMirrored;
    case 3:
      return UIImageOrientationDown;
    case 4:
      return UIImageOrientationDownMirrored;
    case 5:
      return UIImageOrientationLeftMirrored;
    case 6:
      return UIImageOrientationRight;
    case 7:
      return UIImageOrientationRightMirrored;
    case 8:
      return UIImageOrientationLeft;
    default:
      return UIImageOrientationUp;
  }
}

CGRect frameRect(const HVImageFrame& f) {
  return CGRectMake(double(f.offsetX()), double(f.offsetY()), double(f.width()),
                    double(f.height()));
}

}  // namespace

HVImageDecoder::HVImageDecoder() : HVImageDecoder(UIScreen::mainScreen().scale()) {}
HVImageDecoder::HVImageDecoder(double scale) : scale_(scale > 0 ? scale : 1) {}
HVImageDecoder::~HVImageDecoder() = default;

std::shared_ptr<HVImageDecoder> HVImageDecoder::decoderWithDataScale(const Data& data,
                                                                     double scale) {
  if (data.empty()) return nullptr;
  return decoderWithDataScale(std::make_shared<const Data>(data), scale);
}

std::shared_ptr<HVImageDecoder> HVImageDecoder::decoderWithDataScale(
    std::shared_ptr<const Data> data, double scale) {
  if (!data || data->empty()) return nullptr;
  auto decoder = std::make_shared<HVImageDecoder>(scale);
  decoder->updateDataFinal(std::move(data), true);
  return decoder->frameCount() > 0 ? decoder : nullptr;
}

Data HVImageDecoder::data() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return *data_;
}

std::shared_ptr<const Data> HVImageDecoder::dataBuffer() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return data_;
}

bool HVImageDecoder::updateDataFinal(const Data& data, bool final) {
  {
    // A refused update copies nothing.
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (finalized_ || data.length() < data_->length()) return false;
  }
  return updateDataFinal(std::make_shared<const Data>(data), final);
}

bool HVImageDecoder::updateDataFinal(std::shared_ptr<const Data> shared, bool final) {
  if (!shared) shared = std::make_shared<const Data>();
  const Data& data = *shared;
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (finalized_) return false;
  if (data.length() < data_->length()) return false;
  HVImageKind type = HVSniffImageType(data);
  // A refused update keeps the data and final flag held before it.
  if (sourceTypeDetected_ && type != type_) return false;
  finalized_ = final;
  data_ = std::move(shared);
  if (!sourceTypeDetected_) {
    if (data.length() > 16) {
      type_ = type;
      sourceTypeDetected_ = true;
      updateSource();
    }
    return true;
  }
  updateSource();
  return true;
}

void HVImageDecoder::updateSource() {
  switch (type_) {
    case HVImageKindWebP:
      HVLogWebPUnavailableOnce("-[HVImageDecoder updateSource]", __LINE__);
      break;
    case HVImageKindPNG:
      updateSourceAPNG();
      break;
    default:
      updateSourceImageIO();
      break;
  }
}

std::vector<std::shared_ptr<HVImageDecoder::Frame>> HVImageDecoder::framesSnapshot() const {
  std::lock_guard<std::mutex> lock(framesLock_);
  return frames_;
}

void HVImageDecoder::setFrames(std::vector<std::shared_ptr<Frame>> frames) {
  std::lock_guard<std::mutex> lock(framesLock_);
  frames_.swap(frames);
}

void HVImageDecoder::updateSourceImageIO() {
  width_ = 0;
  height_ = 0;
  loopCount_ = 0;
  orientation_ = UIImageOrientationUp;
  setFrames({});
  frameCount_ = 0;

  if (!source_) source_ = CGImageSource::createIncremental();
  // The source shares the decoder's buffer: the bytes are held once.
  source_->updateData(data_, finalized_);
  uint64_t count = source_->count();
  if (count == 0) return;
  if (!finalized_) {
    count = 1;
  } else if (type_ == HVImageKindGIF) {
    Dictionary props = source_->properties();
    const Value& gif = props[kCGImagePropertyGIFDictionary];
    if (gif.isDictionary())
      loopCount_ = uint64_t(std::max<int64_t>(0, gif[kCGImagePropertyGIFLoopCount].integerValue()));
  } else if (type_ == HVImageKindPNG) {
    count = 1;
  }

  std::vector<std::shared_ptr<Frame>> frames;
  for (uint64_t i = 0; i < count; ++i) {
    auto f = std::make_shared<Frame>();
    f->setIndex(i);
    f->blendFromIndex = i;
    f->hasAlpha = true;
    f->isFullSize = true;
    Dictionary props = source_->propertiesAtIndex(i);
    uint64_t w = uint64_t(std::max<int64_t>(0, props[kCGImagePropertyPixelWidth].integerValue()));
    uint64_t h = uint64_t(std::max<int64_t>(0, props[kCGImagePropertyPixelHeight].integerValue()));
    f->setWidth(w);
    f->setHeight(h);
    double duration = 0;
    if (type_ == HVImageKindGIF) {
      const Value& gif = props[kCGImagePropertyGIFDictionary];
      const Value& unclamped = gif[kCGImagePropertyGIFUnclampedDelayTime];
      duration = unclamped.isNumber() ? unclamped.doubleValue()
                                      : gif[kCGImagePropertyGIFDelayTime].doubleValue();
    }
    f->setDuration(duration);
    if (i == 0 && width_ == 0 && height_ == 0) {
      width_ = w;
      height_ = h;
      orientation_ = orientationFromEXIF(props[kCGImagePropertyOrientation].integerValue());
    }
    frames.push_back(std::move(f));
  }
  frameCount_ = count;
  setFrames(std::move(frames));
}

void HVImageDecoder::updateSourceAPNG() {
  apngSource_.reset();
  updateSourceImageIO();
  if (frameCount_ == 0 || !finalized_) return;

  auto info = HVParseAPNGChunks(data_->bytes(), data_->length());
  if (!info) return;
  if (info->frames.empty() || (info->frames.size() == 1 && info->firstFrameIsDefaultImage)) return;

  source_.reset();
  uint64_t canvasW = info->width, canvasH = info->height;
  std::vector<std::shared_ptr<Frame>> frames;
  uint64_t lastClean = 0;
  bool needBlend = false;
  for (uint64_t i = 0; i < info->frames.size(); ++i) {
    const HVAPNGFrameInfo& fi = info->frames[i];
    auto f = std::make_shared<Frame>();
    f->setIndex(i);
    f->setDuration(double(fi.delayNum) / (fi.delayDen == 0 ? 100.0 : double(fi.delayDen)));
    f->hasAlpha = true;
    f->setWidth(fi.width);
    f->setHeight(fi.height);
    f->setOffsetX(fi.offsetX);
    // Rectangles are checked against the canvas by the chunk reader, so this cannot wrap.
    f->setOffsetY(canvasH - fi.offsetY - fi.height);
    f->isFullSize =
        fi.width == canvasW && fi.height == canvasH && fi.offsetX == 0 && fi.offsetY == 0;
    // The canvas before the first frame is empty, so restoring it means clearing (the format
    // says to read a first frame's "previous" as "background").
    f->setDispose(fi.disposeOp == 1 || (fi.disposeOp == 2 && i == 0) ? HVFrameDisposeBackground
                  : fi.disposeOp == 2                                ? HVFrameDisposePrevious
                                                                     : HVFrameDisposeNone);
    f->setBlend(fi.blendOp == 1 ? HVFrameBlendOver : HVFrameBlendNone);

    if (f->blend() == HVFrameBlendNone && f->isFullSize) {
      f->blendFromIndex = i;
      if (f->dispose() != HVFrameDisposePrevious) lastClean = i;
    } else if (f->dispose() == HVFrameDisposeBackground && f->isFullSize) {
      f->blendFromIndex = lastClean;
      lastClean = i + 1;
    } else {
      f->blendFromIndex = lastClean;
    }
    if (f->blendFromIndex != i) needBlend = true;
    frames.push_back(std::move(f));
  }
  width_ = canvasW;
  height_ = canvasH;
  frameCount_ = frames.size();
  loopCount_ = info->loopCount;
  needBlend_ = needBlend;
  blendFrameIndex_.reset();
  apngSource_ = std::move(info);
  setFrames(std::move(frames));
}

CGImageRef HVImageDecoder::newUnblendedImage(uint64_t index, bool extendToCanvas, bool* decoded) {
  if (decoded) *decoded = false;
  auto frames = framesSnapshot();
  if ((index > 0 && !finalized_) || index >= frames.size()) return nullptr;
  int canvasW = int(width_), canvasH = int(height_);

  if (source_) {
    CGImageRef image = source_->createImageAtIndex(index, true);
    if (!image) return nullptr;
    if (extendToCanvas) {
      CGImageRef extended;
      if (int(image->width()) == canvasW && int(image->height()) == canvasH) {
        // The source's bitmaps are already in the standard layout: nothing to redraw.
        extended = image;
      } else if (auto ctx = CGBitmapContextCreate(canvasW, canvasH)) {
        CGContextDrawImage(ctx.get(),
                           CGRectMake(0, canvasH - double(image->height()), double(image->width()),
                                      double(image->height())),
                           image);
        extended = CGBitmapContextCreateImage(ctx.get());
      }
      if (extended) {
        image = extended;
        if (decoded) *decoded = true;
      }
    }
    return image;
  }

  if (apngSource_) {
    if (index >= apngSource_->frames.size()) return nullptr;
    Data png = HVAPNGCopyFrameData(data_->bytes(), data_->length(), *apngSource_, uint32_t(index));
    auto src = CGImageSource::createWithData(png);
    CGImageRef image = src ? src->createImageAtIndex(0, true) : nullptr;
    if (!image) return nullptr;
    if (extendToCanvas) {
      auto ctx = CGBitmapContextCreate(canvasW, canvasH);
      if (!ctx) return nullptr;
      CGContextDrawImage(ctx.get(), frameRect(*frames[index]), image);
      image = CGBitmapContextCreateImage(ctx.get());
      if (image && decoded) *decoded = true;
    }
    return image;
  }
  return nullptr;
}

void HVImageDecoder::drawFrame(const Frame& frame, bool source) {
  CGRect rect = frameRect(frame);
  if (source) CGContextClearRect(blendCanvas_.get(), rect);
  if (CGImageRef image = newUnblendedImage(frame.index(), false, nullptr))
    CGContextDrawImage(blendCanvas_.get(), rect, image);
}

void HVImageDecoder::blendImageWithFrame(const Frame& frame) {
  if (frame.dispose() == HVFrameDisposePrevious) return;
  if (frame.dispose() == HVFrameDisposeBackground) {
    CGContextClearRect(blendCanvas_.get(), frameRect(frame));
    return;
  }
  drawFrame(frame, frame.blend() != HVFrameBlendOver);
}

CGImageRef HVImageDecoder::newBlendedImageWithFrame(const Frame& frame) {
  CGContextRef ctx = blendCanvas_.get();
  CGRect rect = frameRect(frame);
  bool over = frame.blend() == HVFrameBlendOver;
  // A frame that fails to decode draws and clears nothing here.
  CGImageRef unblended = newUnblendedImage(frame.index(), false, nullptr);
  auto draw = [&] {
    if (!unblended) return;
    if (!over) CGContextClearRect(ctx, rect);
    CGContextDrawImage(ctx, rect, unblended);
  };
  CGImageRef result;
  if (frame.dispose() == HVFrameDisposePrevious) {
    CGImageRef previous = CGBitmapContextCreateImage(ctx);
    draw();
    result = CGBitmapContextCreateImage(ctx);
    CGRect whole = CGRectMake(0, 0, double(width_), double(height_));
    CGContextClearRect(ctx, whole);
    if (previous) CGContextDrawImage(ctx, whole, previous);
  } else if (frame.dispose() == HVFrameDisposeBackground) {
    draw();
    result = CGBitmapContextCreateImage(ctx);
    if (unblended) CGContextClearRect(ctx, rect);
  } else {
    draw();
    result = CGBitmapContextCreateImage(ctx);
  }
  return result;
}

std::shared_ptr<HVImageFrame> HVImageDecoder::frameAtIndexDecodeForDisplay(uint64_t index,
                                                                           bool decodeForDisplay) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  auto frames = framesSnapshot();
  if (index >= frames.size()) return nullptr;
  auto stored = frames[index];
  auto result = std::static_pointer_cast<HVImageFrame>(stored->copy());
  // Icons and TIFF pages are separate pictures, each of its own size: only the frames of an
  // animation share a canvas.
  bool extendToCanvas = decodeForDisplay && type_ != HVImageKindICO && type_ != HVImageKindTIFF;

  if (!needBlend_) {
    bool decoded = false;
    CGImageRef image = newUnblendedImage(index, extendToCanvas, &decoded);
    if (!image) return nullptr;
    if (!decoded && decodeForDisplay) {
      if (CGImageRef copy = HVDecodedCGImageCopy(image, true)) {
        image = copy;
        decoded = true;
      }
    }
    auto uiImage = UIImage::imageWithCGImage(image, scale_, orientation_);
    setHV_isDecodedForDisplay(uiImage, decoded);
    result->setImage(std::move(uiImage));
    return result;
  }

  if (!blendCanvas_) {
    blendCanvas_ = CGBitmapContextCreate(int(width_), int(height_));
    blendFrameIndex_.reset();
    if (!blendCanvas_) return nullptr;
  }
  CGImageRef image;
  // Whether the canvas now holds what the frame after this one is drawn over.
  bool canvasReady = true;
  if (blendFrameIndex_ && *blendFrameIndex_ + 1 == index) {
    image = newBlendedImageWithFrame(*stored);
  } else {
    blendFrameIndex_.reset();
    CGContextClearRect(blendCanvas_.get(), CGRectMake(0, 0, double(width_), double(height_)));
    if (stored->blendFromIndex == index) {
      if (CGImageRef unblended = newUnblendedImage(index, false, nullptr))
        CGContextDrawImage(blendCanvas_.get(), frameRect(*stored), unblended);
      image = CGBitmapContextCreateImage(blendCanvas_.get());
      if (stored->dispose() == HVFrameDisposeBackground)
        CGContextClearRect(blendCanvas_.get(), frameRect(*stored));
      // A dispose-previous frame drawn alone leaves the canvas of the frames before it, which
      // was never drawn here: the next frame must be built from its own start.
      canvasReady = stored->dispose() != HVFrameDisposePrevious;
    } else {
      for (uint64_t i = stored->blendFromIndex; i <= index; ++i) {
        if (i == index)
          image = newBlendedImageWithFrame(*frames[i]);
        else
          blendImageWithFrame(*frames[i]);
      }
    }
  }
  if (canvasReady)
    blendFrameIndex_ = index;
  else
    blendFrameIndex_.reset();
  if (!image) return nullptr;
  auto uiImage = UIImage::imageWithCGImage(image, scale_, orientation_);
  setHV_isDecodedForDisplay(uiImage, true);
  result->setImage(std::move(uiImage));
  if (extendToCanvas) {
    result->setWidth(width_);
    result->setHeight(height_);
    result->setOffsetX(0);
    result->setOffsetY(0);
    result->setDispose(HVFrameDisposeNone);
    result->setBlend(HVFrameBlendNone);
  }
  return result;
}

double HVImageDecoder::frameDurationAtIndex(uint64_t index) const {
  std::lock_guard<std::mutex> lock(framesLock_);
  if (index >= frames_.size()) return 0;
  return frames_[index]->duration();
}

Value HVImageDecoder::framePropertiesAtIndex(uint64_t index) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (!source_ || index >= source_->count()) return Value();
  return Value(source_->propertiesAtIndex(index));
}

Value HVImageDecoder::imageProperties() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (!source_) return Value();
  return Value(source_->properties());
}
