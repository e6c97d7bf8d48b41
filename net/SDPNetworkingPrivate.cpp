#include "net/SDPNetworkingPrivate.h"

#include <cctype>
#include <cstdio>

#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLocale.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/MIMEType.h"

void SDPNetworkingLog(const std::string& message) { plat::NSLogMessage(message); }

std::string SDPMainBundlePath() { return plat::NSBundle::mainBundle()->bundlePath(); }

std::string SDPNetworkingLocalizedString(const std::string& key) {
  return plat::NSBundle::mainBundle()->localizedStringForKeyValueTable(key, "", "SDPNetworking");
}

std::string SDPAbsoluteURLString(const std::string& URLString) {
  auto url = plat::NSURL::URLWithString(URLString);
  return url ? url->absoluteString() : "";
}

std::string SDPURLStringRelativeToURL(const std::string& URLString, const std::string& baseURL) {
  plat::NSURLRef base = baseURL.empty() ? nullptr : plat::NSURL::URLWithString(baseURL);
  auto url = plat::NSURL::URLWithStringRelativeToURL(URLString, base);
  return url ? url->absoluteString() : "";
}

std::optional<std::string> SDPFilePathFromFileURL(const std::string& fileURL) {
  auto url = plat::NSURL::URLWithString(fileURL);
  if (!url || !url->isFileURL()) return std::nullopt;
  return url->path();
}

std::string SDPMIMETypeForPathExtension(const std::string& extension) {
  return plat::MIMETypeForPathExtension(extension).value_or("");
}

std::vector<std::string> SDPPreferredLanguages() { return plat::NSLocale::preferredLanguages(); }

namespace {

// Facts of the device the host plays. Linux has no device model or screen here: the values
// are those of the platform's default profile (an iPhone at scale 2).
constexpr const char* kDeviceModel = "iPhone";
constexpr double kScreenScale = 2.0;

std::string systemVersion() {
  const auto v = plat::NSProcessInfo::processInfo().operatingSystemVersion();
  std::string text = std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion);
  if (v.patchVersion != 0) text += "." + std::to_string(v.patchVersion);
  return text;
}

}  // namespace

std::string SDPDefaultUserAgent() {
  auto bundle = plat::NSBundle::mainBundle();
  plat::Value name = bundle->objectForInfoDictionaryKey("CFBundleExecutable");
  if (name.isNil()) name = bundle->objectForInfoDictionaryKey("CFBundleIdentifier");
  plat::Value version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
  if (version.isNil()) version = bundle->objectForInfoDictionaryKey("CFBundleVersion");
  std::string text = plat::format("%@/%@ (%@; iOS %@; Scale/%0.2f)", name, version, kDeviceModel,
                                  systemVersion(), kScreenScale);
  // Header values must be ASCII: characters outside it are dropped.
  std::string ascii;
  for (unsigned char c : text) {
    if (c < 0x80) ascii.push_back(static_cast<char>(c));
  }
  return ascii;
}
