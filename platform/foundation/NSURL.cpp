#include "platform/foundation/NSURL.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/UTF16.h"

namespace plat {

// URLCharacterSet

namespace {

constexpr std::string_view kAlnum =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view kUnreservedMarks = "-._~";
constexpr std::string_view kSubDelims = "!$&'()*+,;=";
constexpr std::string_view kGenDelims = ":/?#[]@";

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

URLCharacterSet unreserved() {
  return URLCharacterSet::characterSetWithCharactersInString(kAlnum).adding(kUnreservedMarks);
}

}  // namespace

URLCharacterSet URLCharacterSet::characterSetWithCharactersInString(std::string_view chars) {
  return URLCharacterSet().adding(chars);
}
URLCharacterSet URLCharacterSet::adding(std::string_view chars) const {
  URLCharacterSet s = *this;
  for (char c : chars)
    if (static_cast<unsigned char>(c) < 128) s.bits_.set(static_cast<unsigned char>(c));
  return s;
}
URLCharacterSet URLCharacterSet::removing(std::string_view chars) const {
  URLCharacterSet s = *this;
  for (char c : chars)
    if (static_cast<unsigned char>(c) < 128) s.bits_.reset(static_cast<unsigned char>(c));
  return s;
}
URLCharacterSet URLCharacterSet::URLQueryAllowedCharacterSet() {
  return unreserved().adding(kSubDelims).adding(":@/?");
}
URLCharacterSet URLCharacterSet::URLFragmentAllowedCharacterSet() {
  return URLQueryAllowedCharacterSet();
}
URLCharacterSet URLCharacterSet::URLPathAllowedCharacterSet() {
  return unreserved().adding("!$&'()*+,=").adding(":@/");
}
URLCharacterSet URLCharacterSet::URLHostAllowedCharacterSet() {
  return unreserved().adding(kSubDelims).adding(":[]");
}
URLCharacterSet URLCharacterSet::URLUserAllowedCharacterSet() {
  return unreserved().adding(kSubDelims);
}
URLCharacterSet URLCharacterSet::URLPasswordAllowedCharacterSet() {
  return unreserved().adding(kSubDelims);
}
URLCharacterSet URLCharacterSet::alphanumericCharacterSet() {
  return characterSetWithCharactersInString(kAlnum);
}

std::string addingPercentEncoding(std::string_view text, const URLCharacterSet& allowed) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (allowed.contains(c)) {
      out += ch;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return out;
}

std::optional<std::string> removingPercentEncoding(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
    int lo = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (!isValidUTF8(out)) return std::nullopt;
  return out;
}

// NSURL

namespace {

bool isURLChar(char c) {
  return isAlpha(c) || isDigit(c) || kUnreservedMarks.find(c) != std::string_view::npos ||
         kSubDelims.find(c) != std::string_view::npos ||
         kGenDelims.find(c) != std::string_view::npos;
}

bool isValidScheme(std::string_view s) {
  if (s.empty() || !isAlpha(s[0])) return false;
  for (char c : s)
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  return true;
}

std::string decodedOrEmpty(std::string_view s) { return removingPercentEncoding(s).value_or(""); }

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view in) {
  std::string out;
  while (!in.empty()) {
    if (in.substr(0, 3) == "../") {
      in.remove_prefix(3);
    } else if (in.substr(0, 2) == "./") {
      in.remove_prefix(2);
    } else if (in.substr(0, 3) == "/./") {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.substr(0, 4) == "/../" || in == "/..") {
      in = in.size() == 3 ? std::string_view("/") : in.substr(3);
      auto slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      size_t next = in.find('/', in[0] == '/' ? 1 : 0);
      if (next == std::string_view::npos) next = in.size();
      out.append(in.substr(0, next));
      in.remove_prefix(next);
    }
  }
  return out;
}

struct Parts {
  std::string scheme;
  bool hasAuthority = false;
  std::string authority;
  std::string path;
  bool hasQuery = false;
  std::string query;
  bool hasFragment = false;
  std::string fragment;

  // RFC 3986 section 5.3, with the fix-ups that keep a resolved path a path: without an
  // authority, a path starting with "//" gets "/." in front (else it would read as a host),
  // and without a scheme, a first segment holding ':' gets "./" (else it would read as one).
  std::string compose() const {
    std::string s;
    if (!scheme.empty()) s += scheme + ":";
    if (hasAuthority) {
      s += "//" + authority;
    } else if (path.compare(0, 2, "//") == 0) {
      s += "/.";
    } else if (scheme.empty() && path.find(':') < path.find('/')) {
      s += "./";
    }
    s += path;
    if (hasQuery) s += "?" + query;
    if (hasFragment) s += "#" + fragment;
    return s;
  }
};

// Splits a URL reference into its parts (RFC 3986 appendix B); no validation.
Parts split(std::string_view text) {
  Parts p;
  size_t stop = text.find_first_of(":/?#");
  if (stop != std::string_view::npos && text[stop] == ':' && isValidScheme(text.substr(0, stop))) {
    p.scheme = std::string(text.substr(0, stop));
    text.remove_prefix(stop + 1);
  }
  if (text.substr(0, 2) == "//") {
    text.remove_prefix(2);
    size_t end = text.find_first_of("/?#");
    if (end == std::string_view::npos) end = text.size();
    p.hasAuthority = true;
    p.authority = std::string(text.substr(0, end));
    text.remove_prefix(end);
  }
  size_t end = text.find_first_of("?#");
  if (end == std::string_view::npos) end = text.size();
  p.path = std::string(text.substr(0, end));
  text.remove_prefix(end);
  if (!text.empty() && text[0] == '?') {
    text.remove_prefix(1);
    end = text.find('#');
    if (end == std::string_view::npos) end = text.size();
    p.hasQuery = true;
    p.query = std::string(text.substr(0, end));
    text.remove_prefix(end);
  }
  if (!text.empty() && text[0] == '#') {
    p.hasFragment = true;
    p.fragment = std::string(text.substr(1));
  }
  return p;
}

std::string currentDirectory() {
  char buf[PATH_MAX];
  if (getcwd(buf, sizeof buf)) return buf;
  return "/";
}

}  // namespace

bool NSURL::parse(std::string_view text) {
  if (text.empty()) return false;
  int hashes = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return false;
      i += 2;
      continue;
    }
    if (!isURLChar(c)) return false;
    if (c == '#' && ++hashes > 1) return false;
  }
  Parts p = split(text);
  // Brackets belong only around an IPv6 host.
  auto hasBracket = [](std::string_view s) { return s.find_first_of("[]") != std::string_view::npos; };
  if (hasBracket(p.path) || hasBracket(p.query) || hasBracket(p.fragment)) return false;

  scheme_ = p.scheme;
  hasAuthority_ = p.hasAuthority;
  if (p.hasAuthority) {
    std::string_view auth = p.authority;
    size_t at = auth.rfind('@');
    if (at != std::string_view::npos) {
      userInfo_ = std::string(auth.substr(0, at));
      if (hasBracket(userInfo_)) return false;
      auth.remove_prefix(at + 1);
    }
    std::string_view portText;
    bool hasPort = false;
    if (!auth.empty() && auth[0] == '[') {
      size_t close = auth.find(']');
      if (close == std::string_view::npos) return false;
      std::string_view inside = auth.substr(1, close - 1);
      // An address may end in a zone id ("fe80::1%25en0"): "%25" and unreserved characters
      // or escapes (checked above).
      const size_t zone = inside.find('%');
      std::string_view address = inside.substr(0, zone);
      if (address.empty()) return false;
      for (char c : address)
        if (hexValue(c) < 0 && c != ':' && c != '.' && c != 'v' && c != 'V') return false;
      if (zone != std::string_view::npos) {
        std::string_view id = inside.substr(zone);
        if (id.size() <= 3 || id.substr(0, 3) != "%25") return false;
        for (char c : id.substr(3))
          if (!isAlpha(c) && !isDigit(c) && c != '%' &&
              kUnreservedMarks.find(c) == std::string_view::npos)
            return false;
      }
      host_ = std::string(auth.substr(0, close + 1));
      std::string_view rest = auth.substr(close + 1);
      if (!rest.empty()) {
        if (rest[0] != ':') return false;
        hasPort = true;
        portText = rest.substr(1);
      }
    } else {
      size_t colon = auth.find(':');
      host_ = std::string(auth.substr(0, colon));
      if (hasBracket(host_)) return false;
      if (colon != std::string_view::npos) {
        hasPort = true;
        portText = auth.substr(colon + 1);
      }
    }
    if (hasPort && !portText.empty()) {
      long port = 0;
      for (char c : portText) {
        if (!isDigit(c)) return false;
        port = port * 10 + (c - '0');
        if (port > 65535) return false;
      }
      port_ = static_cast<int>(port);
    }
  }
  path_ = p.path;
  hasQuery_ = p.hasQuery;
  query_ = p.query;
  hasFragment_ = p.hasFragment;
  fragment_ = p.fragment;
  opaque_ = !scheme_.empty() && !hasAuthority_ && (path_.empty() || path_[0] != '/');
  absolute_ = std::string(text);
  return true;
}

NSURLRef NSURL::URLWithString(std::string_view string) {
  auto url = std::make_shared<NSURL>();
  if (!url->parse(string)) return nullptr;
  url->relative_ = url->absolute_;
  return url;
}

NSURLRef NSURL::URLWithStringRelativeToURL(std::string_view string, const NSURLRef& base) {
  if (!base) return URLWithString(string);
  // An empty reference means the base itself (without its fragment).
  auto check = std::make_shared<NSURL>();
  if (!string.empty() && !check->parse(string)) return nullptr;
  NSURLRef b = base->absoluteURL();
  Parts r = split(string);
  Parts bp = split(b->absolute_);
  Parts t;
  if (!r.scheme.empty()) {
    t = r;  // already absolute: kept as written
  } else {
    if (r.hasAuthority) {
      t.hasAuthority = true;
      t.authority = r.authority;
      t.path = removeDotSegments(r.path);
      t.hasQuery = r.hasQuery;
      t.query = r.query;
    } else {
      if (r.path.empty()) {
        t.path = bp.path;
        t.hasQuery = r.hasQuery || bp.hasQuery;
        t.query = r.hasQuery ? r.query : bp.query;
      } else {
        if (r.path[0] == '/') {
          t.path = removeDotSegments(r.path);
        } else {
          std::string merged;
          if (bp.hasAuthority && bp.path.empty()) {
            merged = "/" + r.path;
          } else {
            size_t slash = bp.path.rfind('/');
            merged = (slash == std::string::npos ? "" : bp.path.substr(0, slash + 1)) + r.path;
          }
          t.path = removeDotSegments(merged);
        }
        t.hasQuery = r.hasQuery;
        t.query = r.query;
      }
      t.hasAuthority = bp.hasAuthority;
      t.authority = bp.authority;
    }
    t.scheme = bp.scheme;
  }
  t.hasFragment = r.hasFragment;
  t.fragment = r.fragment;
  auto url = std::make_shared<NSURL>();
  // Against a relative base the result may be the empty reference ("." against "n").
  const std::string composed = t.compose();
  if (!composed.empty() && !url->parse(composed)) return nullptr;
  url->relative_ = std::string(string);
  url->base_ = base;
  return url;
}

NSURLRef NSURL::fileURLWithPath(std::string_view path) {
  if (path.empty()) return nullptr;
  std::string full = path[0] == '/' ? std::string(path) : currentDirectory() + "/" + std::string(path);
  struct stat st {};
  // A NUL would end the path early for stat: such a path names no folder.
  bool isDir = full.back() == '/' || (isValidFilePath(full) && ::stat(full.c_str(), &st) == 0 &&
                                      S_ISDIR(st.st_mode));
  return fileURLWithPathIsDirectory(full, isDir);
}

NSURLRef NSURL::fileURLWithPathIsDirectory(std::string_view path, bool isDirectory) {
  if (path.empty()) return nullptr;
  std::string full = path[0] == '/' ? std::string(path) : currentDirectory() + "/" + std::string(path);
  if (isDirectory && full.back() != '/') full += '/';
  return URLWithString(
      "file://" + addingPercentEncoding(full, URLCharacterSet::URLPathAllowedCharacterSet()));
}

NSURLRef NSURL::absoluteURL() const {
  if (!base_) {
    if (auto self = std::const_pointer_cast<Object>(weak_from_this().lock()))
      return std::static_pointer_cast<NSURL>(self);
  }
  if (absolute_.empty()) return std::make_shared<NSURL>();  // the empty reference
  return URLWithString(absolute_);
}

std::string NSURL::resourceSpecifier() const {
  if (scheme_.empty()) return absolute_;
  return absolute_.substr(scheme_.size() + 1);
}

std::string NSURL::host() const {
  std::string_view h = host_;
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  return decodedOrEmpty(h);
}

std::string NSURL::user() const {
  std::string_view u = userInfo_;
  return decodedOrEmpty(u.substr(0, u.find(':')));
}

std::string NSURL::password() const {
  size_t colon = userInfo_.find(':');
  if (colon == std::string::npos) return std::string();
  return decodedOrEmpty(std::string_view(userInfo_).substr(colon + 1));
}

std::string NSURL::path() const {
  if (opaque_) return std::string();
  std::string p = decodedOrEmpty(path_);
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

bool NSURL::isFileURL() const {
  if (scheme_.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i)
    if ((scheme_[i] | 0x20) != "file"[i]) return false;
  return true;
}

bool NSURL::getResourceValueForKey(Value* value, const std::string& key, NSErrorRef* error) const {
  if (value) *value = Value();
  std::string p = path();
  if (!isFileURL() || p.empty()) {
    if (error) {
      Dictionary info;
      info.set(NSLocalizedDescriptionKey, "The file couldn’t be opened because the specified URL type isn’t supported.");
      *error = NSError::make(NSCocoaErrorDomain, 262, std::move(info));
    }
    return false;
  }
  struct stat info;
  if (!isValidFilePath(p) || ::stat(p.c_str(), &info) != 0) {
    if (error) *error = fileErrorFromErrno(isValidFilePath(p) ? errno : ENOENT, p, false);
    return false;
  }
  if (key == NSURLFileSizeKey && S_ISREG(info.st_mode) && value) {
    *value = Value(static_cast<long long>(info.st_size));
  }
  return true;
}

std::string NSURL::lastPathComponent() const {
  std::string p = path();
  if (p.empty() || p == "/") return p;
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string NSURL::pathExtension() const {
  std::string last = lastPathComponent();
  size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return std::string();
  return last.substr(dot + 1);
}

std::vector<std::string> NSURL::pathComponents() const {
  std::vector<std::string> out;
  std::string p = path();
  size_t i = 0;
  if (!p.empty() && p[0] == '/') {
    out.push_back("/");
    i = 1;
  }
  while (i < p.size()) {
    size_t slash = p.find('/', i);
    if (slash == std::string::npos) slash = p.size();
    if (slash > i) out.push_back(p.substr(i, slash - i));
    i = slash + 1;
  }
  return out;
}

NSURLRef NSURL::withPath(std::string path) const {
  Parts p = split(absolute_);
  p.path = std::move(path);
  return URLWithString(p.compose());
}

NSURLRef NSURL::URLByAppendingPathComponent(std::string_view component) const {
  return URLByAppendingPathComponentIsDirectory(component, false);
}

NSURLRef NSURL::URLByAppendingPathComponentIsDirectory(std::string_view component,
                                                       bool isDirectory) const {
  if (opaque_) return nullptr;
  Parts p = split(absolute_);
  std::string path = p.path;
  if ((p.hasAuthority || !path.empty()) && (path.empty() || path.back() != '/')) path += '/';
  path += addingPercentEncoding(component, URLCharacterSet::URLPathAllowedCharacterSet());
  if (isDirectory && (path.empty() || path.back() != '/')) path += '/';
  return withPath(std::move(path));
}

NSURLRef NSURL::URLByDeletingLastPathComponent() const {
  if (opaque_) return nullptr;
  std::string path = split(absolute_).path;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path == "/") return withPath(path);
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return withPath("./");
  return withPath(path.substr(0, slash + 1));
}

NSURLRef NSURL::URLByAppendingPathExtension(std::string_view extension) const {
  if (opaque_) return nullptr;
  std::string path = split(absolute_).path;
  bool dir = path.size() > 1 && path.back() == '/';
  if (dir) path.pop_back();
  if (path.empty() || path == "/") return withPath(split(absolute_).path);
  path += '.';
  path += addingPercentEncoding(extension, URLCharacterSet::URLPathAllowedCharacterSet());
  if (dir) path += '/';
  return withPath(std::move(path));
}

NSURLRef NSURL::URLByDeletingPathExtension() const {
  if (opaque_) return nullptr;
  std::string path = split(absolute_).path;
  bool dir = path.size() > 1 && path.back() == '/';
  if (dir) path.pop_back();
  size_t slash = path.rfind('/');
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && dot > start && dot + 1 < path.size()) path.erase(dot);
  if (dir) path += '/';
  return withPath(std::move(path));
}

std::string NSURL::description() const {
  if (base_) return relative_ + " -- " + base_->absoluteString();
  return absolute_;
}

bool NSURL::isEqual(const Object& other) const {
  auto u = dynamic_cast<const NSURL*>(&other);
  if (!u || u->relative_ != relative_) return false;
  if (!base_ || !u->base_) return !base_ && !u->base_;
  return base_->isEqual(*u->base_);
}

namespace {
const bool kURLCodingRegistered = [] {
  NSCodingClasses::registerClass("NSURL", [] { return std::make_shared<NSURL>(); });
  return true;
}();
}  // namespace

void NSURL::encodeWithCoder(NSKeyedArchiver& coder) const {
  coder.encodeObjectForKey(base_ ? Value(base_) : Value(), "NS.base");
  coder.encodeObjectForKey(Value(relative_), "NS.relative");
}

bool NSURL::initWithCoder(NSKeyedUnarchiver& coder) {
  (void)kURLCodingRegistered;
  Value relative = coder.decodeObjectForKey("NS.relative");
  if (!relative.string()) return false;
  NSURLRef base = coder.decodeObjectForKey("NS.base").objectAs<NSURL>();
  // A damaged archive may name this URL (still being decoded) as its own base.
  for (NSURL* b = base.get(); b; b = b->base_.get()) {
    if (b == this) return false;
  }
  NSURLRef made = URLWithStringRelativeToURL(*relative.string(), base);
  if (!made) return false;
  relative_ = made->relative_;
  absolute_ = made->absolute_;
  base_ = made->base_;
  scheme_ = made->scheme_;
  opaque_ = made->opaque_;
  hasAuthority_ = made->hasAuthority_;
  userInfo_ = made->userInfo_;
  host_ = made->host_;
  port_ = made->port_;
  path_ = made->path_;
  hasQuery_ = made->hasQuery_;
  query_ = made->query_;
  hasFragment_ = made->hasFragment_;
  fragment_ = made->fragment_;
  return true;
}

}  // namespace plat
