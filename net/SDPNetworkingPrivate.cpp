#include "net/SDPNetworkingPrivate.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>

#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/StringTransform.h"
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
  // Header values must be ASCII.
  return SDPTransliterateToASCII(text);
}

namespace {

// ASCII forms of U+00C0 to U+017F (Latin-1 letters and Latin Extended-A), 16 to a row.
constexpr const char* kLatinToASCII[] = {
    "A", "A", "A", "A", "A", "A", "AE", "C", "E", "E", "E", "E", "I", "I", "I", "I",      // C0
    "D", "N", "O", "O", "O", "O", "O", "x", "O", "U", "U", "U", "U", "Y", "TH", "ss",     // D0
    "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i", "i",      // E0
    "d", "n", "o", "o", "o", "o", "o", "/", "o", "u", "u", "u", "u", "y", "th", "y",      // F0
    "A", "a", "A", "a", "A", "a", "C", "c", "C", "c", "C", "c", "C", "c", "D", "d",       // 100
    "D", "d", "E", "e", "E", "e", "E", "e", "E", "e", "E", "e", "G", "g", "G", "g",       // 110
    "G", "g", "G", "g", "H", "h", "H", "h", "I", "i", "I", "i", "I", "i", "I", "i",       // 120
    "I", "i", "IJ", "ij", "J", "j", "K", "k", "q", "L", "l", "L", "l", "L", "l", "L",     // 130
    "l", "L", "l", "N", "n", "N", "n", "N", "n", "'n", "N", "n", "O", "o", "O", "o",      // 140
    "O", "o", "OE", "oe", "R", "r", "R", "r", "R", "r", "S", "s", "S", "s", "S", "s",     // 150
    "S", "s", "T", "t", "T", "t", "T", "t", "U", "u", "U", "u", "U", "u", "U", "u",       // 160
    "U", "u", "U", "u", "W", "w", "Y", "y", "Y", "Z", "z", "Z", "z", "Z", "z", "s",       // 170
};

const char* asciiFormOf(uint32_t cp) {
  if (cp >= 0xC0 && cp <= 0x17F) return kLatinToASCII[cp - 0xC0];
  switch (cp) {
    case 0xA0: return " ";
    case 0x2018: case 0x2019: case 0x201A: return "'";
    case 0x201C: case 0x201D: case 0x201E: return "\"";
    case 0x2010: case 0x2011: case 0x2012: case 0x2013: case 0x2014: return "-";
    case 0x2026: return "...";
    default: return "";
  }
}

}  // namespace

namespace {

// The fallback when no transliterator is available: accents dropped by table, every other
// character outside ASCII removed.
std::string stripToASCII(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    uint32_t cp = length == 4 ? lead & 0x07u : length == 3 ? lead & 0x0Fu : lead & 0x1Fu;
    bool valid = length > 1 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const unsigned char c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    if (valid) out += asciiFormOf(cp);
    // A malformed sequence loses its lead byte only; what follows is read again.
    i += valid ? length : 1;
  }
  return out;
}

}  // namespace

std::string SDPTransliterateToASCII(const std::string& text) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return text;
  if (auto latin = plat::applyStringTransform(text, "Any-Latin; Latin-ASCII; [:^ASCII:] Remove")) {
    return *latin;
  }
  return stripToASCII(text);
}
