#include "platform/network/MIMEType.h"

#include <cctype>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_map>

namespace plat {

namespace {

// Used when /etc/mime.types is missing, and for extensions it does not list.
const std::pair<const char*, const char*> kBuiltIn[] = {
    {"txt", "text/plain"},        {"html", "text/html"},
    {"htm", "text/html"},         {"css", "text/css"},
    {"js", "text/javascript"},    {"json", "application/json"},
    {"xml", "application/xml"},   {"plist", "application/x-plist"},
    {"png", "image/png"},         {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},       {"gif", "image/gif"},
    {"bmp", "image/bmp"},         {"tif", "image/tiff"},
    {"tiff", "image/tiff"},       {"ico", "image/vnd.microsoft.icon"},
    {"webp", "image/webp"},       {"svg", "image/svg+xml"},
    {"pdf", "application/pdf"},   {"zip", "application/zip"},
    {"gz", "application/gzip"},   {"mp3", "audio/mpeg"},
    {"wav", "audio/wav"},         {"mp4", "video/mp4"},
    {"mov", "video/quicktime"},   {"m4a", "audio/mp4"},
    {"csv", "text/csv"},          {"rtf", "text/rtf"},
    {"wasm", "application/wasm"}, {"woff", "font/woff"},
    {"woff2", "font/woff2"},      {"ttf", "font/ttf"},
};

std::string lower(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

const std::unordered_map<std::string, std::string>& table() {
  static const auto* t = [] {
    auto* m = new std::unordered_map<std::string, std::string>();
    std::ifstream in("/etc/mime.types");
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream words(line);
      std::string type, ext;
      if (!(words >> type)) continue;
      while (words >> ext) m->emplace(lower(ext), type);  // first listing wins
    }
    for (auto& [ext, type] : kBuiltIn) m->emplace(ext, type);
    return m;
  }();
  return *t;
}

}  // namespace

std::optional<std::string> MIMETypeForPathExtension(std::string_view extension) {
  if (extension.empty()) return std::nullopt;
  auto& t = table();
  auto it = t.find(lower(extension));
  if (it == t.end()) return std::nullopt;
  return it->second;
}

}  // namespace plat
