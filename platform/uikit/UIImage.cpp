#include "platform/uikit/UIImage.h"

#include <filesystem>
#include <map>
#include <mutex>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/graphics/CGImageSource.h"
#include "platform/uikit/UIGraphics.h"

namespace plat {

namespace fs = std::filesystem;

UIImage::UIImage(CGImageRef image, double scale, UIImageOrientation orientation)
    : image_(std::move(image)), scale_(scale > 0 ? scale : 1), orientation_(orientation) {}

namespace {
const bool kRegistered = [] {
  NSCodingClasses::registerClass("UIImage", [] { return std::make_shared<UIImage>(nullptr, 1); });
  return true;
}();
}  // namespace

void UIImage::setBitmap(CGImageRef image, double scale, UIImageOrientation orientation) {
  image_ = std::move(image);
  scale_ = scale > 0 ? scale : 1;
  orientation_ = orientation;
}

void UIImage::encodeWithCoder(NSKeyedArchiver& coder) const {
  if (image_) coder.encodeObjectForKey(Value(CGImagePNGRepresentation(image_)), "UIImageData");
  coder.encodeDoubleForKey(scale_, "UIScale");
  coder.encodeIntegerForKey(orientation_, "UIImageOrientation");
}

bool UIImage::initWithCoder(NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  Value data = coder.decodeObjectForKey("UIImageData");
  CGImageRef image = data.data() ? CGImageCreateWithData(*data.data()) : nullptr;
  if (!image) return false;
  int64_t orientation = coder.decodeIntegerForKey("UIImageOrientation");
  if (orientation < UIImageOrientationUp || orientation > UIImageOrientationRightMirrored)
    orientation = UIImageOrientationUp;
  setBitmap(std::move(image), coder.decodeDoubleForKey("UIScale"),
            static_cast<UIImageOrientation>(orientation));
  return true;
}

UIImageRef UIImage::imageWithCGImage(CGImageRef image, double scale,
                                     UIImageOrientation orientation) {
  if (!image) return nullptr;
  return std::make_shared<UIImage>(std::move(image), scale, orientation);
}

UIImageOrientation UIImageOrientationFromEXIF(int64_t exif) {
  switch (exif) {
    case 2: return UIImageOrientationUpMirrored;
    case 3: return UIImageOrientationDown;
    case 4: return UIImageOrientationDownMirrored;
    case 5: return UIImageOrientationLeftMirrored;
    case 6: return UIImageOrientationRight;
    case 7: return UIImageOrientationRightMirrored;
    case 8: return UIImageOrientationLeft;
    default: return UIImageOrientationUp;
  }
}

UIImageRef UIImage::imageWithData(const Data& data, double scale) {
  bool jpeg = data.length() >= 3 && data.bytes()[0] == 0xff && data.bytes()[1] == 0xd8;
  if (!jpeg) return imageWithCGImage(CGImageCreateWithData(data), scale);
  // The source reads the header and the rows in one decode and keeps the EXIF orientation.
  auto source = CGImageSource::createWithData(data);
  if (!source) return nullptr;
  CGImageRef image = source->createImageAtIndex(0);
  if (!image) return nullptr;
  Value exif = source->propertiesAtIndex(0).get(kCGImagePropertyOrientation);
  int64_t orientation = exif.isNumber() ? exif.intValue() : 1;
  return imageWithCGImage(std::move(image), scale, UIImageOrientationFromEXIF(orientation));
}

static double scaleOfPath(const std::string& path) {
  std::string stem = fs::path(path).stem().string();
  if (stem.size() >= 3 && stem.compare(stem.size() - 3, 3, "@3x") == 0) return 3;
  if (stem.size() >= 3 && stem.compare(stem.size() - 3, 3, "@2x") == 0) return 2;
  return 1;
}

UIImageRef UIImage::imageWithContentsOfFile(const std::string& path) {
  // Regular files only: a named pipe at the path must not block the caller.
  auto bytes = dataWithContentsOfFile(path);
  if (!bytes) return nullptr;
  return imageWithData(std::move(*bytes), scaleOfPath(path));
}

namespace {
std::mutex& namedMutex() {
  static auto* mu = new std::mutex;
  return *mu;
}
// Keyed by bundle folder and name, so a new main bundle does not see the old one's images.
std::map<std::string, UIImageRef>& namedCache() {
  static auto* cache = new std::map<std::string, UIImageRef>;
  return *cache;
}
}  // namespace

void UIImage::clearNamedCacheForTesting() {
  std::lock_guard<std::mutex> lock(namedMutex());
  namedCache().clear();
}

UIImageRef UIImage::imageNamed(const std::string& name) {
  if (name.empty()) return nullptr;
  std::string root = NSBundle::mainBundle()->resourcePath();
  std::string key = root + "\n" + name;
  {
    std::lock_guard<std::mutex> lock(namedMutex());
    auto it = namedCache().find(key);
    if (it != namedCache().end()) return it->second;
  }
  fs::path base = root.empty() ? fs::path(name) : fs::path(root) / name;
  std::string ext = base.extension().string();
  fs::path stem = ext.empty() ? base : base.parent_path() / base.stem();
  if (ext.empty()) ext = ".png";
  std::vector<fs::path> candidates;
  int screen = static_cast<int>(UIGraphicsDefaultScale() + 0.5);
  for (int s : {screen, 3, 2}) {
    if (s > 1) candidates.push_back(stem.string() + "@" + std::to_string(s) + "x" + ext);
  }
  candidates.push_back(stem.string() + ext);
  candidates.push_back(base);
  UIImageRef found;
  for (const auto& c : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(c, ec)) {
      found = imageWithContentsOfFile(c.string());
      if (found) break;
    }
  }
  if (found) {
    std::lock_guard<std::mutex> lock(namedMutex());
    namedCache()[key] = found;
  }
  return found;
}

UIImageRef UIImage::animatedImageWithImages(const std::vector<UIImageRef>& images,
                                            double duration) {
  if (images.empty() || !images.front()) return nullptr;
  auto img = std::make_shared<UIImage>(images.front()->CGImage(), images.front()->scale());
  img->images_ = images;
  img->duration_ = duration;
  return img;
}

CGSize UIImage::size() const {
  if (!image_) return CGSizeZero;
  double w = image_->width() / scale_, h = image_->height() / scale_;
  bool sideways = orientation_ == UIImageOrientationLeft ||
                  orientation_ == UIImageOrientationRight ||
                  orientation_ == UIImageOrientationLeftMirrored ||
                  orientation_ == UIImageOrientationRightMirrored;
  return sideways ? CGSizeMake(h, w) : CGSizeMake(w, h);
}

UIImageRef UIImage::imageWithRenderingMode(UIImageRenderingMode mode) const {
  auto img = std::make_shared<UIImage>(image_, scale_, orientation_);
  img->images_ = images_;
  img->duration_ = duration_;
  img->renderingMode_ = mode;
  return img;
}

void UIDrawImageUpright(CGContextRef c, CGRect rect, const CGImageRef& image, double alpha,
                        CGBlendMode mode) {
  if (!c || !image || rect.size.width <= 0 || rect.size.height <= 0) return;
  CGContextSaveGState(c);
  CGContextSetBlendMode(c, mode);
  CGContextSetAlpha(c, alpha * c->state().alpha);
  // Flip around the rectangle so the image's first row lands at its top.
  CGContextTranslateCTM(c, 0, rect.origin.y * 2 + rect.size.height);
  CGContextScaleCTM(c, 1, -1);
  CGContextDrawImage(c, rect, image);
  CGContextRestoreGState(c);
}

void UIDrawImageOriented(CGContextRef c, CGRect rect, const UIImage& image, double alpha,
                         CGBlendMode mode) {
  if (!c || !image.CGImage() || rect.size.width <= 0 || rect.size.height <= 0) return;
  // Where the bitmap's unit square (u, v; v down) lands in the upright unit square.
  CGAffineTransform t = CGAffineTransformIdentity;
  switch (image.imageOrientation()) {
    case UIImageOrientationUp: break;
    case UIImageOrientationUpMirrored: t = {-1, 0, 0, 1, 1, 0}; break;
    case UIImageOrientationDown: t = {-1, 0, 0, -1, 1, 1}; break;
    case UIImageOrientationDownMirrored: t = {1, 0, 0, -1, 0, 1}; break;
    case UIImageOrientationLeftMirrored: t = {0, 1, 1, 0, 0, 0}; break;
    case UIImageOrientationRight: t = {0, 1, -1, 0, 1, 0}; break;
    case UIImageOrientationRightMirrored: t = {0, -1, -1, 0, 1, 1}; break;
    case UIImageOrientationLeft: t = {0, -1, 1, 0, 0, 1}; break;
  }
  if (CGAffineTransformIsIdentity(t)) {
    UIDrawImageUpright(c, rect, image.CGImage(), alpha, mode);
    return;
  }
  CGContextSaveGState(c);
  CGContextTranslateCTM(c, rect.origin.x, rect.origin.y);
  CGContextScaleCTM(c, rect.size.width, rect.size.height);
  CGContextConcatCTM(c, t);
  UIDrawImageUpright(c, CGRectMake(0, 0, 1, 1), image.CGImage(), alpha, mode);
  CGContextRestoreGState(c);
}

void UIImage::drawInRect(CGRect rect) const {
  drawInRectBlendModeAlpha(rect, kCGBlendModeNormal, 1);
}
void UIImage::drawInRectBlendModeAlpha(CGRect rect, CGBlendMode mode, double alpha) const {
  UIDrawImageOriented(UIGraphicsGetCurrentContext(), rect, *this, alpha, mode);
}
void UIImage::drawAtPoint(CGPoint p) const {
  CGSize s = size();
  drawInRect(CGRectMake(p.x, p.y, s.width, s.height));
}

Data UIImagePNGRepresentation(const UIImageRef& image) {
  return image ? CGImagePNGRepresentation(image->CGImage()) : Data();
}
Data UIImageJPEGRepresentation(const UIImageRef& image, double quality) {
  return image ? CGImageJPEGRepresentation(image->CGImage(), quality) : Data();
}

}  // namespace plat
