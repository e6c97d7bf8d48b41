#include "net/SDPNetworkingPrivate.h"

#include <cctype>
#include <cstdio>

#include "platform/foundation/NSURL.h"
#include "platform/network/MIMEType.h"

void SDPNetworkingLog(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
}

std::string SDPMainBundlePath() { return ""; }

std::string SDPNetworkingLocalizedString(const std::string& key) { return key; }

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

std::vector<std::string> SDPPreferredLanguages() { return {"en"}; }

std::string SDPDefaultUserAgent() { return ""; }
