#include "KRH5Plugin/Utils.h"

#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/graphics/CGContext.h"
#include "platform/graphics/CGImageSource.h"
#include "platform/uikit/UIGraphics.h"

namespace fs = std::filesystem;

std::optional<std::string> Utils::GetDocumentPath() {
  auto paths =
      plat::NSSearchPathForDirectoriesInDomains(plat::NSDocumentDirectory, plat::NSUserDomainMask,
                                                true);
  if (paths.empty()) return std::nullopt;
  return paths.front();
}

std::string Utils::GenerateFileName(const std::string& folder) {
  auto seconds = static_cast<int64_t>(plat::Clock::current()->date().timeIntervalSince1970());
  for (int n = 0;; ++n) {
    std::string name = folder + "/" + std::to_string(seconds) + "_" + std::to_string(n);
    if (!Exists(name)) return name;
  }
}

bool Utils::Exists(const std::optional<std::string>& path) {
  return path && plat::NSFileManager::defaultManager().fileExistsAtPath(*path);
}

plat::UIImageRef Utils::LoadImage(const std::string& path) {
  struct stat st;
  if (!plat::isValidFilePath(path) || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return nullptr;
  auto data = plat::dataWithContentsOfFile(path);
  if (!data) return nullptr;
  return plat::UIImage::imageWithData(*data);
}

bool Utils::ReplaceFile(const std::string& path, const plat::Data& data) {
  return plat::writeDataToFile(data, path, plat::NSDataWritingAtomic);
}

std::optional<std::string> Utils::ContainedPath(const std::optional<std::string>& path) {
  if (!path || path->empty() || (*path)[0] != '/' || !plat::isValidFilePath(*path))
    return std::nullopt;
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(fs::path(*path), ec);
  if (ec) return std::nullopt;
  std::string text = canonical.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  for (const std::string& top : {plat::DeviceRoot::documentsPath(), plat::DeviceRoot::libraryPath(),
                                 plat::DeviceRoot::temporaryPath()}) {
    fs::path root = fs::weakly_canonical(fs::path(top), ec);
    if (ec) continue;
    std::string rootText = root.lexically_normal().string();
    while (rootText.size() > 1 && rootText.back() == '/') rootText.pop_back();
    if (text == rootText || text.rfind(rootText + "/", 0) == 0) return text;
  }
  return std::nullopt;
}

bool Utils::IsContainerFolder(const std::string& canonicalPath) {
  std::error_code ec;
  for (const std::string& top : {plat::DeviceRoot::documentsPath(), plat::DeviceRoot::libraryPath(),
                                 plat::DeviceRoot::temporaryPath()}) {
    std::string rootText = fs::weakly_canonical(fs::path(top), ec).lexically_normal().string();
    while (rootText.size() > 1 && rootText.back() == '/') rootText.pop_back();
    if (!ec && canonicalPath == rootText) return true;
  }
  return false;
}

plat::UIImageRef Utils::GetThumbnail(const plat::UIImageRef& image, int32_t width, int32_t height,
                                     bool crop, bool circle, bool alpha) {
  if (!image || width < 1 || height < 1) return nullptr;
  if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) >
      plat::kCGImageSourceMaxPixels)
    return nullptr;
  const double W = width, H = height;
  const plat::CGSize size = image->size();
  const double w = size.width, h = size.height;
  if (!(w > 0) || !(h > 0)) return nullptr;
  const double rw = w / W, rh = h / H;
  double sw, sh;
  bool widthBound = crop ? rh > rw : rh < rw;
  if (widthBound) {
    sw = W;
    sh = std::trunc(h * W / w);
  } else {
    sw = std::trunc(w * H / h);
    sh = H;
  }
  const double cw = std::min(sw, W), ch = std::min(sh, H);
  if (cw < 1 || ch < 1) return nullptr;
  plat::UIGraphicsBeginImageContextWithOptions(plat::CGSizeMake(cw, ch), !alpha, 1.0);
  auto context = plat::UIGraphicsGetCurrentContext();
  if (circle && context) {
    plat::CGContextBeginPath(context);
    plat::CGContextAddEllipseInRect(context, plat::CGRectMake(0, 0, cw, ch));
    plat::CGContextClosePath(context);
    plat::CGContextClip(context);
  }
  const float x = static_cast<float>((cw - sw) * 0.5f);
  const float y = static_cast<float>((ch - sh) * 0.5f);
  image->drawInRect(plat::CGRectMake(x, y, sw, sh));
  auto result = plat::UIGraphicsGetImageFromCurrentImageContext();
  plat::UIGraphicsEndImageContext();
  return result;
}
