#include "image/HVImage.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <regex>

#include "image/HVImageCoder.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/uikit/UIScreen.h"

using namespace plat;

namespace {

// Refuses non-regular files (a named pipe would block) and paths holding a NUL byte.
Data readFile(const std::string& path) { return dataWithContentsOfFile(path).value_or(Data()); }

constexpr const char* kScaleKey = "HVImageScale";
constexpr const char* kDataKey = "HVImageData";

const bool kRegistered = [] {
  NSCodingClasses::registerClass(
      "HVImage", [] { return std::make_shared<HVImage>(nullptr, 1, UIImageOrientationUp); },
      {"UIImage"});
  return true;
}();

uint64_t bytesOf(const CGImageRef& image) {
  return image ? uint64_t(image->bytesPerRow()) * image->height() : 0;
}

}  // namespace

// ---- HVImage ----

HVImage::HVImage(CGImageRef image, double scale, UIImageOrientation orientation)
    : UIImage(std::move(image), scale, orientation) {}

double HVImage::scaleFromPath(const std::string& path) {
  if (path.empty() || path.back() == '/') return 1;
  std::filesystem::path p(path);
  std::string stem = (p.parent_path() / p.stem()).string();
  static const std::regex scaleSuffix("@[0-9]+\\.?[0-9]*x$", std::regex::multiline);
  double scale = 1;
  for (auto it = std::sregex_iterator(stem.begin(), stem.end(), scaleSuffix);
       it != std::sregex_iterator(); ++it) {
    if (it->position() < 3) continue;
    std::string text = it->str();
    scale = std::strtod(text.substr(1, text.size() - 2).c_str(), nullptr);
  }
  return scale;
}

std::shared_ptr<HVImage> HVImage::imageNamed(const std::string& name) {
  if (name.empty() || name.back() == '/') return nullptr;
  std::string base = name, ext;
  size_t slash = name.rfind('/'), dot = name.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash) && dot > 0 &&
      dot != slash + 1) {
    base = name.substr(0, dot);
    ext = name.substr(dot + 1);
  }
  std::vector<std::string> exts;
  if (!ext.empty())
    exts = {ext};
  else
    exts = {"", "png", "jpeg", "jpg", "gif", "webp", "apng"};
  double screen = UIScreen::mainScreen().scale();
  std::vector<double> scales = screen <= 1   ? std::vector<double>{1, 2, 3}
                               : screen <= 2 ? std::vector<double>{2, 3, 1}
                                             : std::vector<double>{3, 2, 1};
  auto bundle = NSBundle::mainBundle();
  for (double scale : scales) {
    std::string resource = base;
    if (std::fabs(scale - 1) > std::numeric_limits<float>::epsilon() && !base.empty() &&
        base.back() != '/')
      resource += "@" + Value(scale).description() + "x";
    for (const auto& e : exts) {
      std::string path = bundle ? bundle->pathForResourceOfType(resource, e) : "";
      if (path.empty()) continue;
      Data data = readFile(path);
      return data.empty() ? nullptr : initWithDataScale(data, scale);
    }
  }
  return nullptr;
}

std::shared_ptr<HVImage> HVImage::initWithContentsOfFile(const std::string& path) {
  return initWithDataScale(readFile(path), scaleFromPath(path));
}

std::shared_ptr<HVImage> HVImage::initWithDataScale(const Data& data, double scale) {
  if (data.empty()) return nullptr;
  return initWithDataScale(std::make_shared<const Data>(data), scale);
}

std::shared_ptr<HVImage> HVImage::initWithDataScale(std::shared_ptr<const Data> data,
                                                    double scale) {
  auto image = std::make_shared<HVImage>(nullptr, 1, UIImageOrientationUp);
  if (!image->loadData(std::move(data), scale)) return nullptr;
  setHV_isDecodedForDisplay(image, true);
  return image;
}

bool HVImage::loadData(std::shared_ptr<const Data> data, double scale) {
  if (!data || data->empty()) return false;
  if (!(scale > 0)) scale = UIScreen::mainScreen().scale();
  auto decoder = HVImageDecoder::decoderWithDataScale(std::move(data), scale);
  if (!decoder) return false;
  auto frame = decoder->frameAtIndexDecodeForDisplay(0, true);
  if (!frame || !frame->image() || !frame->image()->CGImage()) return false;
  CGImageRef cg = frame->image()->CGImage();
  setBitmap(cg, decoder->scale(), frame->image()->imageOrientation());
  type_ = decoder->type();
  if (decoder->frameCount() > 1) {
    decoder_ = decoder;
    bytesPerFrame_ = bytesOf(cg);
    memorySize_ = bytesPerFrame_ * decoder->frameCount();
  }
  return true;
}

void HVImage::encodeWithCoder(NSKeyedArchiver& coder) const {
  Data data = animatedImageData();
  if (data.empty()) {
    UIImage::encodeWithCoder(coder);
    return;
  }
  coder.encodeObjectForKey(Value(scale()), kScaleKey);
  coder.encodeObjectForKey(Value(data), kDataKey);
}

bool HVImage::initWithCoder(NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  Value data = coder.decodeObjectForKey(kDataKey);
  if (!data.data() || data.data()->empty()) return UIImage::initWithCoder(coder);
  if (!loadData(std::make_shared<const Data>(*data.data()),
                coder.decodeObjectForKey(kScaleKey).doubleValue())) {
    return false;
  }
  // The mark lives beside the image object, which the unarchiver hands out.
  auto self = std::dynamic_pointer_cast<UIImage>(shared_from_this());
  if (self) setHV_isDecodedForDisplay(self, true);
  return true;
}

Data HVImage::animatedImageData() const { return decoder_ ? decoder_->data() : Data(); }

void HVImage::setPreloadAllAnimatedImageFrames(bool preload) {
  if (preload == preload_) return;
  preload_ = preload;
  if (preload && decoder_ && decoder_->frameCount() > 0) {
    std::vector<UIImageRef> frames;
    for (uint64_t i = 0; i < decoder_->frameCount(); ++i) {
      auto f = decoder_->frameAtIndexDecodeForDisplay(i, true);
      frames.push_back(f ? f->image() : nullptr);
    }
    std::lock_guard<std::mutex> lock(preloadedLock_);
    preloadedFrames_.swap(frames);
  } else {
    std::vector<UIImageRef> old;
    std::lock_guard<std::mutex> lock(preloadedLock_);
    preloadedFrames_.swap(old);
  }
}

uint64_t HVImage::animatedImageFrameCount() const { return decoder_ ? decoder_->frameCount() : 0; }
uint64_t HVImage::animatedImageLoopCount() const { return decoder_ ? decoder_->loopCount() : 0; }

UIImageRef HVImage::animatedImageFrameAtIndex(uint64_t index) {
  if (index >= animatedImageFrameCount()) return nullptr;
  {
    std::lock_guard<std::mutex> lock(preloadedLock_);
    if (index < preloadedFrames_.size()) return preloadedFrames_[index];
  }
  auto f = decoder_->frameAtIndexDecodeForDisplay(index, true);
  return f ? f->image() : nullptr;
}

double HVImage::animatedImageDurationAtIndex(uint64_t index) const {
  double d = decoder_ ? decoder_->frameDurationAtIndex(index) : 0;
  // Browsers play frames shorter than 11 ms at 100 ms; so do we.
  return d < 0.011 ? 0.1 : d;
}

// ---- HVFrameImage ----

HVFrameImage::HVFrameImage(CGImageRef image, double scale) : UIImage(std::move(image), scale) {}

std::shared_ptr<HVFrameImage> HVFrameImage::initWithImagePathsFrameDurationsLoopCount(
    const std::vector<std::string>& paths, const std::vector<double>& durations,
    uint64_t loopCount) {
  if (paths.empty() || paths.size() != durations.size()) return nullptr;
  double scale = HVImage::scaleFromPath(paths[0]);
  auto first = HV_imageByDecoded(UIImage::imageWithData(readFile(paths[0]), scale));
  if (!first || !first->CGImage()) return nullptr;
  auto image = std::make_shared<HVFrameImage>(first->CGImage(), scale);
  image->oneFrameBytes_ = bytesOf(first->CGImage());
  image->imagePaths_ = paths;
  image->frameDurations_ = durations;
  image->loopCount_ = loopCount;
  return image;
}

std::shared_ptr<HVFrameImage> HVFrameImage::initWithImagePathsOneFrameDurationLoopCount(
    const std::vector<std::string>& paths, double duration, uint64_t loopCount) {
  return initWithImagePathsFrameDurationsLoopCount(
      paths, std::vector<double>(paths.size(), duration), loopCount);
}

std::shared_ptr<HVFrameImage> HVFrameImage::initWithImageDataArrayFrameDurationsLoopCount(
    const std::vector<Data>& datas, const std::vector<double>& durations, uint64_t loopCount) {
  if (datas.empty() || datas.size() != durations.size()) return nullptr;
  double scale = UIScreen::mainScreen().scale();
  auto first = HV_imageByDecoded(UIImage::imageWithData(datas[0], scale));
  if (!first || !first->CGImage()) return nullptr;
  auto image = std::make_shared<HVFrameImage>(first->CGImage(), scale);
  image->oneFrameBytes_ = bytesOf(first->CGImage());
  image->imageDatas_ = datas;
  image->frameDurations_ = durations;
  image->loopCount_ = loopCount;
  return image;
}

std::shared_ptr<HVFrameImage> HVFrameImage::initWithImageDataArrayOneFrameDurationLoopCount(
    const std::vector<Data>& datas, double duration, uint64_t loopCount) {
  return initWithImageDataArrayFrameDurationsLoopCount(
      datas, std::vector<double>(datas.size(), duration), loopCount);
}

uint64_t HVFrameImage::animatedImageFrameCount() const {
  if (!imagePaths_.empty()) return imagePaths_.size();
  if (!imageDatas_.empty()) return imageDatas_.size();
  return 1;
}

UIImageRef HVFrameImage::animatedImageFrameAtIndex(uint64_t index) {
  if (!imagePaths_.empty()) {
    if (index >= imagePaths_.size()) return nullptr;
    const std::string& path = imagePaths_[index];
    return HV_imageByDecoded(UIImage::imageWithData(readFile(path), HVImage::scaleFromPath(path)));
  }
  if (!imageDatas_.empty()) {
    if (index >= imageDatas_.size()) return nullptr;
    return HV_imageByDecoded(
        UIImage::imageWithData(imageDatas_[index], UIScreen::mainScreen().scale()));
  }
  return index == 0 ? std::static_pointer_cast<UIImage>(shared_from_this()) : nullptr;
}

double HVFrameImage::animatedImageDurationAtIndex(uint64_t index) const {
  return index < frameDurations_.size() ? frameDurations_[index] : 0;
}

// ---- HVSpriteSheetImage ----

HVSpriteSheetImage::HVSpriteSheetImage(CGImageRef image, double scale,
                                       UIImageOrientation orientation)
    : UIImage(std::move(image), scale, orientation) {}

std::shared_ptr<HVSpriteSheetImage>
HVSpriteSheetImage::initWithSpriteSheetImageContentRectsFrameDurationsLoopCount(
    const UIImageRef& sheet, const std::vector<CGRect>& contentRects,
    const std::vector<double>& frameDurations, uint64_t loopCount) {
  if (!sheet || !sheet->CGImage() || contentRects.empty() || frameDurations.empty() ||
      contentRects.size() != frameDurations.size())
    return nullptr;
  auto image = std::make_shared<HVSpriteSheetImage>(sheet->CGImage(), sheet->scale(),
                                                    sheet->imageOrientation());
  image->contentRects_ = contentRects;
  image->frameDurations_ = frameDurations;
  image->loopCount_ = loopCount;
  return image;
}

CGRect HVSpriteSheetImage::contentsRectForCALayerAtIndex(uint64_t index) const {
  if (index >= contentRects_.size()) return CGRectMake(0, 0, 1, 1);
  return HVUnitContentsRect(contentRects_[index], size());
}

UIImageRef HVSpriteSheetImage::animatedImageFrameAtIndex(uint64_t) {
  return std::static_pointer_cast<UIImage>(shared_from_this());
}

double HVSpriteSheetImage::animatedImageDurationAtIndex(uint64_t index) const {
  return index < frameDurations_.size() ? frameDurations_[index] : 0;
}

std::optional<CGRect> HVSpriteSheetImage::animatedImageContentsRectAtIndex(uint64_t index) const {
  return index < contentRects_.size() ? contentRects_[index] : CGRectZero;
}
