#include "KRH5Plugin/SysInterface.h"

#include <cmath>
#include <filesystem>
#include <mutex>

#include "KRH5Plugin/NetworkInfo.h"
#include "KRH5Plugin/Permission.h"
#include "KRH5Plugin/PhotographHandler.h"
#include "KRH5Plugin/SysKeychainWriter.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/UIAlertViewController.h"
#include "KRH5Plugin/Utils.h"
#include "logging/LGLog.h"
#include "platform/device/AudioServices.h"
#include "platform/device/CSSearchableIndex.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/UIPasteboard.h"
#include "platform/device/URLOpener.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/UTF16.h"
#include "platform/graphics/CGImageSource.h"
#include "platform/uikit/UIGraphics.h"

namespace fs = std::filesystem;

namespace {

constexpr double kQRCodeSize = 256.0;
constexpr int32_t kQRLogoSize = 64;
constexpr uint64_t kDefaultCropSide = 512;

struct ClassState {
  std::mutex mu;
  LMKeyChainStoreRef keychain;
  plat::NSURLRef launchURL;
  SysScreens screens;
};

ClassState& state() {
  static auto* s = new ClassState();  // never destroyed
  return *s;
}

std::string prettyJSON(const plat::Value& value) {
  return plat::NSJSONSerialization::stringWithJSONObject(
      value, plat::NSJSONSerialization::NSJSONWritingPrettyPrinted);
}

bool nonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }

// An argument the command refuses although the page's own checks let it through: logged as
// a warning in the words of those checks ("LM_IOS.<command> param error").
void paramError(const char* command) {
  LGLog::logLevelFlagContextFileFunctionLineTagFormat(
      true, LGLogFlagError | LGLogFlagWarning, LGLogFlagWarning, 0, __FILE__, __func__, __LINE__,
      plat::Value(), "%@ param error", std::string(SysPlugin::kScriptObject) + "." + command);
}

// A page path made canonical inside the container. `followFinalLink` resolves a link that is
// the last component (for reading through it); otherwise the link itself is the item (for
// creating, replacing, moving and removing, which act on the link, not on what it names).
std::optional<std::string> containerPath(const std::optional<std::string>& path,
                                         bool followFinalLink) {
  // A NUL byte would end the path early for the system (".../..\0" would name the
  // container's parent): such a path is refused whole.
  if (!nonEmpty(path) || (*path)[0] != '/' || !plat::isValidFilePath(*path)) return std::nullopt;
  if (followFinalLink) return Utils::ContainedPath(path);
  fs::path p = fs::path(*path).lexically_normal();
  std::string name = p.filename().string();
  if (name.empty() || name == "." || name == "..") return Utils::ContainedPath(path);
  auto parent = Utils::ContainedPath(p.parent_path().string());
  if (!parent) {
    // A top folder of the container itself (its parent lies outside).
    auto whole = Utils::ContainedPath(path);
    if (whole && Utils::IsContainerFolder(*whole)) return whole;
    return std::nullopt;
  }
  return *parent + "/" + name;
}

// A path the page may create, replace, move or remove: inside the container and not one of
// its top folders.
std::optional<std::string> writablePath(const std::optional<std::string>& path) {
  auto p = containerPath(path, false);
  if (!p || Utils::IsContainerFolder(*p)) return std::nullopt;
  return p;
}

std::optional<std::string> listing(const std::optional<std::string>& path, bool folders) {
  auto folder = containerPath(path, true);
  if (!folder) return std::nullopt;
  auto& fm = plat::NSFileManager::defaultManager();
  plat::NSErrorRef error;
  auto names = fm.contentsOfDirectoryAtPathError(*folder, &error);
  if (error || names.empty()) return std::nullopt;
  plat::Array kept;
  for (const auto& name : names) {
    // A name that is no UTF-8 cannot travel in JSON text: it is left out, the rest is listed.
    if (!plat::isValidUTF8(name)) continue;
    bool isDirectory = false;
    if (fm.fileExistsAtPath(*folder + "/" + name, &isDirectory) && isDirectory == folders) {
      kept.push_back(plat::Value(name));
    }
  }
  std::string json = prettyJSON(plat::Value(std::move(kept)));
  if (json.empty()) return std::nullopt;
  return json;
}

}  // namespace

namespace SysArgs {

std::optional<plat::Dictionary> Object(const std::optional<std::string>& json) {
  if (!json) return std::nullopt;
  plat::NSErrorRef error;
  plat::Value value = plat::NSJSONSerialization::JSONObjectWithString(*json, 0, &error);
  if (error || !value.dictionary()) return std::nullopt;
  return *value.dictionary();
}

std::optional<std::string> Text(const plat::Dictionary& object, const char* key) {
  const plat::Value* v = object.find(key);
  if (!v || !v->string()) return std::nullopt;
  return *v->string();
}

namespace {
const plat::Value* scalar(const plat::Dictionary& object, const char* key) {
  const plat::Value* v = object.find(key);
  if (!v || !(v->isNumber() || v->isBool() || v->isString())) return nullptr;
  return v;
}
}  // namespace

std::optional<int32_t> Int(const plat::Dictionary& object, const char* key) {
  const plat::Value* v = scalar(object, key);
  if (!v) return std::nullopt;
  return v->intValue();
}

std::optional<uint64_t> UInt(const plat::Dictionary& object, const char* key) {
  const plat::Value* v = scalar(object, key);
  if (!v) return std::nullopt;
  return v->unsignedIntegerValue();
}

std::optional<bool> Bool(const plat::Dictionary& object, const char* key) {
  const plat::Value* v = scalar(object, key);
  if (!v) return std::nullopt;
  return v->boolValue();
}

}  // namespace SysArgs

void SysInterface::SetScreens(SysScreens screens) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().screens = std::move(screens);
}

SysScreens SysInterface::GetScreens() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().screens;
}

void SysInterface::ReleaseSDK() {
  std::lock_guard<std::mutex> lock(state().mu);
  state().keychain.reset();
  state().launchURL.reset();
}

LMKeyChainStoreRef SysInterface::KeychainStore() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().keychain;
}

// ---- Device and system ----

SysInterface::Text SysInterface::GetAdId() {
  return plat::DeviceProfile::current().advertisingIdentifier();
}

SysInterface::Text SysInterface::GetIDFV() {
  std::string id = plat::DeviceProfile::current().identifierForVendor();
  if (id.empty()) return std::nullopt;
  return id;
}

std::string SysInterface::GetDeviceInfo() {
  auto& device = plat::DeviceProfile::current();
  plat::Dictionary info;
  info.set("device", device.name());
  info.set("display", device.systemName());
  info.set("manufacturer", "Apple");
  info.set("model", device.modelIdentifier());
  info.set("product", device.localizedModel());
  info.set("sdkVersion", device.systemVersion());
  return prettyJSON(plat::Value(std::move(info)));
}

std::string SysInterface::GetDeviceState() {
  auto& device = plat::DeviceProfile::current();
  device.setBatteryMonitoringEnabled(true);
  float level = device.batteryLevel();
  int64_t percent = -1;
  if (level != -1.0f) {
    // A whole percent p arrives as the float nearest p / 100, which may lie just below it
    // (0.53f * 100 is 52.99...): such a level gives p itself; any other is truncated.
    int64_t nearest = std::llround(static_cast<double>(level) * 100.0);
    percent = static_cast<float>(nearest) / 100.0f == level
                  ? nearest
                  : static_cast<int64_t>(static_cast<double>(level) * 100.0);
  }
  plat::Dictionary state;
  state.set("batteryLevel", percent);
  return prettyJSON(plat::Value(std::move(state)));
}

std::string SysInterface::GetNetworkInfo() {
  auto info = NetworkInfo::GetNetworkInfo();
  plat::Dictionary object;
  object.set("wifiState", info->wifiState());
  object.set("networkType", info->networkType());
  object.set("available", info->available());
  object.set("rssiLevel", info->rssiLevel());
  object.set("deviceIp", info->deviceIp());
  if (info->dnsIp()) object.set("dnsIp", *info->dnsIp());
  return prettyJSON(plat::Value(std::move(object)));
}

bool SysInterface::CheckPermission(const Text& what) { return Permission::CheckPermission(what); }

SysInterface::Text SysInterface::GetMetaData(const Text& key) {
  if (!key) return std::nullopt;
  plat::Value value = plat::NSBundle::mainBundle()->objectForInfoDictionaryKey(*key);
  if (value.isNil()) return std::nullopt;
  if (const std::string* s = value.string()) return *s;
  if (value.isDictionary() || value.isArray()) {
    std::string json = plat::NSJSONSerialization::stringWithJSONObject(value);
    if (!json.empty()) return json;
  }
  return value.description();
}

void SysInterface::OpenUrl(const Text& url) {
  if (!url) return;
  auto report = [text = *url](bool opened) {
    plat::Dictionary result;
    result.set("url", text);
    result.set("result", opened);
    SysPlugin::OnOpenUrl(prettyJSON(plat::Value(std::move(result))));
  };
  if (!plat::NSURL::URLWithString(*url)) {
    plat::dispatch_async(plat::dispatch_get_main_queue(), [report] { report(false); });
    return;
  }
  plat::URLOpener::shared().openURL(*url, report);
}

void SysInterface::Vibrate() { plat::AudioServicesPlaySystemSound(plat::kSystemSoundID_Vibrate); }

void SysInterface::SetAppLaunchUrl(const plat::NSURLRef& url) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().launchURL = url;
}

SysInterface::Text SysInterface::GetAppLaunchInfo() {
  plat::NSURLRef url;
  {
    std::lock_guard<std::mutex> lock(state().mu);
    url = state().launchURL;
  }
  if (!url) return std::nullopt;
  plat::Dictionary info;
  if (!url->scheme().empty()) info.set("scheme", url->scheme());
  if (!url->host().empty()) info.set("host", url->host());
  if (!url->path().empty()) info.set("path", url->path());
  // The URL has a query when a '?' comes before any '#' (an empty query is a query too).
  const std::string& text = url->absoluteString();
  size_t mark = text.find('?');
  bool hasQuery = mark != std::string::npos && mark < text.find('#');
  const std::string& query = url->query();
  if (hasQuery) info.set("query", query);
  if (!query.empty()) {
    plat::Dictionary args;
    size_t start = 0;
    while (start <= query.size()) {
      size_t end = query.find('&', start);
      if (end == std::string::npos) end = query.size();
      std::string piece = query.substr(start, end - start);
      size_t eq = piece.find('=');
      if (eq != std::string::npos && piece.find('=', eq + 1) == std::string::npos) {
        args.set(piece.substr(0, eq), piece.substr(eq + 1));
      }
      start = end + 1;
    }
    info.set("args", plat::Value(std::move(args)));
  }
  std::string json = prettyJSON(plat::Value(std::move(info)));
  if (json.empty()) return std::nullopt;
  return json;
}

void SysInterface::AddSearchItems(const Text& json) {
  if (!json) return;
  plat::NSErrorRef error;
  plat::Value value = plat::NSJSONSerialization::JSONObjectWithString(*json, 0, &error);
  if (error || !value.array()) return;
  std::vector<plat::CSSearchableItem> items;
  for (const auto& element : *value.array()) {
    const plat::Dictionary* object = element.dictionary();
    if (!object) continue;
    plat::CSSearchableItem item;
    item.uniqueIdentifier = SysArgs::Text(*object, "id");
    item.domainIdentifier = SysArgs::Text(*object, "domain");
    item.attributeSet.title = SysArgs::Text(*object, "title");
    item.attributeSet.contentDescription = SysArgs::Text(*object, "description");
    if (const plat::Array* keywords = object->get("keywords").array()) {
      std::vector<std::string> words;
      for (const auto& k : *keywords)
        if (k.string()) words.push_back(*k.string());
      item.attributeSet.keywords = std::move(words);
    }
    items.push_back(std::move(item));
  }
  plat::CSSearchableIndex::defaultSearchableIndex().indexSearchableItemsCompletionHandler(items);
}

void SysInterface::ClearSearchItems() {
  plat::CSSearchableIndex::defaultSearchableIndex().deleteAllSearchableItemsWithCompletionHandler();
}

void SysInterface::CreateAlert(const Text& json) {
  auto object = SysArgs::Object(json);
  if (!object) return;
  UIAlertViewController::CreateWithTitleWithMessage(SysArgs::Text(*object, "title"),
                                                    SysArgs::Text(*object, "message"));
}

void SysInterface::AddAlertButton(const Text& title) {
  if (title) UIAlertViewController::AddButton(title);
}

void SysInterface::ShowAlert() { UIAlertViewController::Show(); }

// ---- Keychain and clipboard ----

void SysInterface::InitKeychain(const Text& service) {
  if (!service) return;
  std::lock_guard<std::mutex> lock(state().mu);
  if (state().keychain) return;
  state().keychain = LMKeyChainStore::keyChainStoreWithService(*service);
  state().keychain->setAccessibility(LMKeyChainStoreAccessibilityWhenUnlocked);
}

void SysInterface::SetKeychain(const Text& json) {
  auto store = KeychainStore();
  auto object = SysArgs::Object(json);
  if (!store || !object) return;
  // Only a missing "value" removes the item; a value that is no text (a number, an object,
  // null) is refused and the item stays.
  const plat::Value* value = object->find("value");
  if (value && !value->string()) {
    paramError("SetKeychain");
    return;
  }
  Text text = value ? Text(*value->string()) : std::nullopt;
  Text key = SysArgs::Text(*object, "key");
  if (!key) {
    store->setStringForKey(text, key);  // logs the argument error
    return;
  }
  SysKeychainWriter::shared().write(store, *key, text);
}

SysInterface::Text SysInterface::GetKeychain(const Text& key) {
  auto store = KeychainStore();
  if (!store || !key) return std::nullopt;
  // A write still waiting for the database is what the page last stored.
  if (auto pending = SysKeychainWriter::shared().pendingValue(store, *key)) return *pending;
  return store->stringForKey(key);
}

void SysInterface::DelKeychain(const Text& key) {
  auto store = KeychainStore();
  if (store && key) SysKeychainWriter::shared().write(store, *key, std::nullopt);
}

void SysInterface::ResetKeychain() {
  if (auto store = KeychainStore()) SysKeychainWriter::shared().removeAll(store);
}

void SysInterface::SetClipboardText(const Text& text) {
  if (text) plat::UIPasteboard::generalPasteboard().setString(*text);
}

SysInterface::Text SysInterface::GetClipboardText() {
  return plat::UIPasteboard::generalPasteboard().string();
}

// ---- QR codes and images ----

void SysInterface::CreateQRCode(const Text& json) {
  auto object = SysArgs::Object(json);
  if (!object) return;
  auto savePath = writablePath(SysArgs::Text(*object, "savePath"));
  auto text = SysArgs::Text(*object, "text");
  if (!savePath || !nonEmpty(text)) return;
  auto generate = GetScreens().createQRCode;
  if (!generate) return;
  plat::UIImageRef image = generate(*text, kQRCodeSize);
  // No code, nothing written: an earlier file at the path stays.
  if (!image) return;
  auto logoPath = containerPath(SysArgs::Text(*object, "imagePath"), true);
  if (logoPath && Utils::Exists(*logoPath)) {
    auto logo = Utils::GetThumbnail(Utils::LoadImage(*logoPath), kQRLogoSize, kQRLogoSize, false,
                                    false, false);
    if (logo) {
      // The code is drawn at its own size, so its modules stay whole pixels (a long code is
      // larger than the size asked for); the logo covers the same share of it at any size.
      plat::CGSize side = image->size();
      plat::UIGraphicsBeginImageContextWithOptions(side, false, 1.0);
      image->drawInRect(plat::CGRectMake(0, 0, side.width, side.height));
      double logoSide = std::round(kQRLogoSize * side.width / kQRCodeSize);
      double x = std::floor((side.width - logoSide) / 2), y = std::floor((side.height - logoSide) / 2);
      logo->drawInRect(plat::CGRectMake(x, y, logoSide, logoSide));
      if (auto combined = plat::UIGraphicsGetImageFromCurrentImageContext()) image = combined;
      plat::UIGraphicsEndImageContext();
    }
  }
  plat::Data data = plat::UIImageJPEGRepresentation(image, 1.0);
  if (!data.empty()) Utils::ReplaceFile(*savePath, data);
}

void SysInterface::ScanQRCode() {
  if (auto scan = GetScreens().scanQRCode) scan();
}

void SysInterface::SelectImage(int32_t count) {
  uint64_t max = count <= 1 ? 1 : count >= 4 ? 4 : static_cast<uint64_t>(count);
  if (auto show = GetScreens().showImagePicker) show(1, max);
}

void SysInterface::SaveImageToPhotoAlbum(const Text& path) {
  auto source = containerPath(path, true);
  if (!source) return;
  auto save = GetScreens().saveToPhotoAlbum;
  if (!save) return;
  if (auto image = Utils::LoadImage(*source)) save(image);
}

void SysInterface::SaveThumbnail(const Text& json) {
  auto object = SysArgs::Object(json);
  if (!object) return;
  auto source = containerPath(SysArgs::Text(*object, "sourcePath"), true);
  auto target = writablePath(SysArgs::Text(*object, "savePath"));
  if (!source || !target) return;
  int32_t width = SysArgs::Int(*object, "width").value_or(0);
  int32_t height = SysArgs::Int(*object, "height").value_or(0);
  bool crop = SysArgs::Bool(*object, "crop").value_or(false);
  bool circle = SysArgs::Bool(*object, "circle").value_or(false);
  bool alpha = SysArgs::Bool(*object, "alpha").value_or(false);
  if (width < 1 || height < 1) return;
  // The canvas would take width x height pixels on the main thread: no larger than any image
  // the readers accept.
  if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) >
      plat::kCGImageSourceMaxPixels) {
    paramError("SaveThumbnail");
    return;
  }
  auto image = Utils::LoadImage(*source);
  if (!image) return;
  auto thumbnail = Utils::GetThumbnail(image, width, height, crop, circle, alpha);
  if (!thumbnail) return;
  plat::Data data = alpha ? plat::UIImagePNGRepresentation(thumbnail)
                          : plat::UIImageJPEGRepresentation(thumbnail, 0.9);
  if (!data.empty()) Utils::ReplaceFile(*target, data);
}

void SysInterface::CropImage(const Text& json) {
  auto object = SysArgs::Object(json);
  if (!object) return;
  auto source = containerPath(SysArgs::Text(*object, "sourcePath"), true);
  auto target = writablePath(SysArgs::Text(*object, "savePath"));
  if (!source || !target) return;
  bool isPng = SysArgs::Bool(*object, "isPng").value_or(false);
  uint64_t maxWidth = SysArgs::UInt(*object, "maxWidth").value_or(kDefaultCropSide);
  uint64_t maxHeight = SysArgs::UInt(*object, "maxHeight").value_or(kDefaultCropSide);
  auto crop = GetScreens().cropImage;
  if (!crop) return;
  crop(Utils::LoadImage(*source), *target, isPng, maxWidth, maxHeight);
}

void SysInterface::Photograph(const Text& json) {
  auto object = SysArgs::Object(json);
  if (!object) return;
  auto savePath = writablePath(SysArgs::Text(*object, "savePath"));
  if (!savePath) return;
  auto handler = PhotographHandler::make();
  handler->setSavePath(*savePath);
  if (auto w = SysArgs::Int(*object, "width")) handler->setWidth(*w);
  if (auto h = SysArgs::Int(*object, "height")) handler->setHeight(*h);
  if (auto c = SysArgs::Bool(*object, "crop")) handler->setCrop(*c);
  handler->Handle();
}

// ---- Files ----

SysInterface::Text SysInterface::GetDocumentPath() { return Utils::GetDocumentPath(); }

bool SysInterface::CreateDir(const Text& path) {
  auto folder = containerPath(path, false);
  if (!folder) return false;
  return plat::NSFileManager::defaultManager()
      .createDirectoryAtPathWithIntermediateDirectoriesAttributesError(*folder, true);
}

namespace {
// Whether `path` is `folder` or lies inside it (a folder copied or moved into itself would
// never end).
bool within(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}
}  // namespace

bool SysInterface::MoveFile(const Text& json) {
  auto object = SysArgs::Object(json);
  if (!object) return false;
  auto source = writablePath(SysArgs::Text(*object, "srcPath"));
  auto target = writablePath(SysArgs::Text(*object, "dstPath"));
  if (!source || !target || within(*target, *source)) return false;
  return plat::NSFileManager::defaultManager().moveItemAtPathToPathError(*source, *target);
}

bool SysInterface::CopyFile(const Text& json) {
  auto object = SysArgs::Object(json);
  if (!object) return false;
  auto source = containerPath(SysArgs::Text(*object, "srcPath"), true);
  auto target = writablePath(SysArgs::Text(*object, "dstPath"));
  if (!source || !target || within(*target, *source)) return false;
  return plat::NSFileManager::defaultManager().copyItemAtPathToPathError(*source, *target);
}

SysInterface::Text SysInterface::GetFilesAtPath(const Text& path) { return listing(path, false); }

SysInterface::Text SysInterface::GetDirsAtPath(const Text& path) { return listing(path, true); }

bool SysInterface::IsExistAtPath(const Text& path) {
  auto p = containerPath(path, true);
  return p && plat::NSFileManager::defaultManager().fileExistsAtPath(*p);
}

bool SysInterface::IsDirAtPath(const Text& path) {
  auto p = containerPath(path, true);
  bool isDirectory = false;
  return p && plat::NSFileManager::defaultManager().fileExistsAtPath(*p, &isDirectory) &&
         isDirectory;
}

bool SysInterface::DeleteAtPath(const Text& path) {
  auto p = writablePath(path);
  return p && plat::NSFileManager::defaultManager().removeItemAtPathError(*p);
}
