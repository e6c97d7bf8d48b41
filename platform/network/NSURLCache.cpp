#include "platform/network/NSURLCache.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <tuple>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/HostName.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/HTTPDate.h"

namespace plat {

namespace {

constexpr const char* kFileSuffix = ".cache";
constexpr int64_t kRecordVersion = 1;

double nowSince1970() { return Clock::current()->date().timeIntervalSince1970(); }

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

// Cache-Control directives, lower-cased names to their values (a quoted string unquoted, RFC
// 9110 5.6.4: a comma inside it separates nothing, a backslash takes the next character as is).
// A name given twice keeps its first value.
std::map<std::string, std::string> directives(const std::optional<std::string>& header) {
  std::map<std::string, std::string> out;
  if (!header) return out;
  const std::string& text = *header;
  size_t i = 0;
  while (i < text.size()) {
    // One member: its name up to "=", a comma or the end.
    size_t nameEnd = i;
    while (nameEnd < text.size() && text[nameEnd] != '=' && text[nameEnd] != ',') ++nameEnd;
    std::string name = lower(trim(std::string_view(text).substr(i, nameEnd - i)));
    std::string value;
    i = nameEnd;
    if (i < text.size() && text[i] == '=') {
      ++i;
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      if (i < text.size() && text[i] == '"') {
        for (++i; i < text.size() && text[i] != '"'; ++i) {
          if (text[i] == '\\' && i + 1 < text.size()) ++i;
          value += text[i];
        }
        if (i < text.size()) ++i;  // the closing quote
      }
      // A token value, or what follows a quoted one before the next comma.
      const size_t rest = i;
      while (i < text.size() && text[i] != ',') ++i;
      value += trim(std::string_view(text).substr(rest, i - rest));
    }
    if (i < text.size()) ++i;  // the comma
    if (!name.empty()) out.emplace(std::move(name), std::move(value));
  }
  return out;
}

// A delta-seconds value; nullopt when malformed. Huge values saturate.
std::optional<double> seconds(const std::string& text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  if (text.size() > 10) return 2147483648.0;
  return static_cast<double>(std::stoll(text));
}

bool hasNoCache(const HTTPHeaderFields& fields) {
  auto cc = directives(fields.get("Cache-Control"));
  if (cc.count("no-cache")) return true;
  // HTTP/1.0 requests say it with Pragma.
  auto pragma = fields.get("Pragma");
  return pragma && lower(*pragma).find("no-cache") != std::string::npos;
}

// 64-bit FNV-1a, for file names (the record holds the key, so a collision is only a miss).
uint64_t fnv1a(const std::string& text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// Whether `name` is a save's temporary file: ".<file>.XXXXXX".
bool isSaveTemporary(const std::string& name) {
  const size_t suffix = name.rfind(std::string(kFileSuffix) + ".");
  return name.size() >= 2 && name[0] == '.' && suffix != std::string::npos &&
         name.size() - suffix == std::strlen(kFileSuffix) + 7;
}

// Removes a save's temporary that nobody holds: a save holds a lock on its temporary until it
// is renamed, so one without is what a process killed mid-save left behind.
void removeIfStray(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    ::unlink(path.c_str());
  }
  ::close(fd);
}

using Varied = std::vector<std::pair<std::string, std::optional<std::string>>>;

std::optional<std::string> requestField(const NSURLRequestRef& request, const std::string& name) {
  auto value = request->valueForHTTPHeaderField(name);
  if (!value) return std::nullopt;
  return trim(*value);
}

// Whether `request` has the values of the fields `cached` varies on that `stored` recorded.
bool variantMatches(const NSCachedURLResponse& cached, const Varied& stored,
                    const NSURLRequestRef& request) {
  auto names = NSURLCacheRules::varyingFields(cached.response());
  if (!names) return false;
  for (const auto& name : *names) {
    auto it = std::find_if(stored.begin(), stored.end(),
                           [&](const auto& field) { return field.first == name; });
    if (it == stored.end() || it->second != requestField(request, name)) return false;
  }
  return true;
}

Value encodeRecord(const std::string& key, const NSCachedURLResponse& cached,
                   const Varied& varied) {
  Dictionary record;
  record.set("version", Value(kRecordVersion));
  record.set("key", key);
  record.set("stored", Value(cached.storageDate()));
  record.set("data", Value(cached.data()));
  const auto& response = cached.response();
  record.set("url", response->URL());
  if (auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response)) {
    record.set("status", Value(http->statusCode()));
    record.set("httpVersion", http->HTTPVersion());
    Array fields;
    for (const auto& [name, value] : http->headerFields().fields()) {
      fields.emplace_back(Array{Value(name), Value(value)});
    }
    record.set("headers", Value(std::move(fields)));
    // The request's values of the fields "Vary" names: [name] when absent, [name, value].
    Array vary;
    for (const auto& [name, value] : varied) {
      Array field{Value(name)};
      if (value) field.emplace_back(*value);
      vary.emplace_back(std::move(field));
    }
    if (!vary.empty()) record.set("vary", Value(std::move(vary)));
  } else {
    record.set("mimeType", response->MIMEType());
    record.set("textEncodingName", response->textEncodingName());
    record.set("expectedContentLength", Value(response->expectedContentLength()));
  }
  return Value(std::move(record));
}

// The entry a record describes, or null when it is not a well-formed record for `key`.
// `varied` (may be null) receives the request fields stored with it (none in records written
// before they were kept).
NSCachedURLResponseRef decodeRecord(const Value& value, const std::string& key,
                                    Varied* varied = nullptr) {
  const Dictionary* record = value.dictionary();
  if (!record) return nullptr;
  const Value& version = record->get("version");
  const std::string* storedKey = record->get("key").string();
  const std::string* url = record->get("url").string();
  const Data* data = record->get("data").data();
  if (!version.isNumber() || version.integerValue() != kRecordVersion || !storedKey ||
      *storedKey != key || !url || !data || !record->get("stored").isNumber()) {
    return nullptr;
  }
  const double stored = record->get("stored").doubleValue();
  NSURLResponseRef response;
  if (record->contains("status")) {
    const Value& status = record->get("status");
    const std::string* httpVersion = record->get("httpVersion").string();
    const Array* fields = record->get("headers").array();
    if (!status.isNumber() || !httpVersion || !fields) return nullptr;
    HTTPHeaderFields headers;
    for (const auto& field : *fields) {
      const Array* pair = field.array();
      if (!pair || pair->size() != 2 || !(*pair)[0].string() || !(*pair)[1].string()) return nullptr;
      headers.add(*(*pair)[0].string(), *(*pair)[1].string());
    }
    response = std::make_shared<NSHTTPURLResponse>(*url, status.integerValue(), *httpVersion,
                                                   std::move(headers));
    Varied fieldsVaried;
    if (record->contains("vary")) {
      const Array* vary = record->get("vary").array();
      if (!vary) return nullptr;
      for (const auto& field : *vary) {
        const Array* parts = field.array();
        if (!parts || parts->empty() || parts->size() > 2 || !(*parts)[0].string() ||
            (parts->size() == 2 && !(*parts)[1].string())) {
          return nullptr;
        }
        std::optional<std::string> v;
        if (parts->size() == 2) v = *(*parts)[1].string();
        fieldsVaried.emplace_back(*(*parts)[0].string(), std::move(v));
      }
    }
    if (varied) *varied = std::move(fieldsVaried);
  } else {
    const std::string* mime = record->get("mimeType").string();
    const std::string* encoding = record->get("textEncodingName").string();
    if (!mime || !encoding) return nullptr;
    response = std::make_shared<NSURLResponse>(
        *url, *mime, record->get("expectedContentLength").integerValue(), *encoding);
  }
  return std::make_shared<NSCachedURLResponse>(std::move(response), *data, NSURLCacheStorageAllowed,
                                               stored);
}

// Reads a regular file of at most `limit` bytes; nullopt otherwise. Never blocks on a pipe
// or device placed where a cache file should be.
std::optional<Data> readRegularFile(const std::string& path, uint64_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > limit) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (done != bytes.size()) return std::nullopt;
  return Data(bytes.data(), bytes.size());
}

std::mutex gSharedMu;
NSURLCacheRef* gShared = new NSURLCacheRef();  // process-wide, never destroyed

}  // namespace

// ---- NSURLCache ----------------------------------------------------------------------------

NSURLCache::NSURLCache(uint64_t memoryCapacity, uint64_t diskCapacity, std::string diskPath)
    : memoryCapacity_(memoryCapacity),
      diskCapacity_(diskPath.empty() ? 0 : diskCapacity),
      diskPath_(std::move(diskPath)) {}

NSURLCacheRef NSURLCache::sharedURLCache() {
  std::lock_guard<std::mutex> lock(gSharedMu);
  if (!*gShared) {
    std::string folder = NSBundle::mainBundle()->bundleIdentifier();
    if (folder.empty() || folder.find('/') != std::string::npos || folder == "." || folder == "..") {
      folder = "lumora";
    }
    *gShared = std::make_shared<NSURLCache>(512 * 1024, 10 * 1024 * 1024,
                                            DeviceRoot::cachesPath() + "/" + folder + "/URLCache");
  }
  return *gShared;
}

void NSURLCache::setSharedURLCache(NSURLCacheRef cache) {
  std::lock_guard<std::mutex> lock(gSharedMu);
  *gShared = std::move(cache);
}

std::string NSURLCache::keyFor(const NSURLRequestRef& request) {
  if (!request) return {};
  std::string url = request->URL();
  size_t hash = url.find('#');
  if (hash != std::string::npos) url.resize(hash);
  // One entry for every way of writing the same host; a host that names no server has none.
  return URLWithCanonicalHost(url).value_or(std::string());
}

std::string NSURLCache::fileFor(const std::string& key) const {
  char name[32];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(fnv1a(key)));
  return std::string(name) + kFileSuffix;
}

uint64_t NSURLCache::memoryCapacity() const { return memoryCapacity_; }
uint64_t NSURLCache::diskCapacity() const { return diskCapacity_; }

uint64_t NSURLCache::currentMemoryUsage() const {
  std::lock_guard<std::mutex> lock(mu_);
  return memoryUsage_;
}

uint64_t NSURLCache::currentDiskUsage() const {
  std::lock_guard<std::mutex> lock(mu_);
  const_cast<NSURLCache*>(this)->loadDiskIndexLocked();
  return diskUsage_;
}

void NSURLCache::loadDiskIndexLocked() {
  if (diskIndexLoaded_) return;
  diskIndexLoaded_ = true;
  if (diskCapacity_ == 0) return;
  std::error_code ec;
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> found;
  for (const auto& item : std::filesystem::directory_iterator(diskPath_, ec)) {
    const std::string name = item.path().filename().string();
    if (isSaveTemporary(name)) {
      removeIfStray(item.path().string());
      continue;
    }
    if (name.size() <= std::strlen(kFileSuffix) ||
        name.compare(name.size() - std::strlen(kFileSuffix), std::string::npos, kFileSuffix) != 0) {
      continue;
    }
    std::error_code e2;
    if (!item.is_regular_file(e2)) continue;
    auto size = item.file_size(e2);
    if (e2) continue;
    found.emplace_back(item.last_write_time(e2), name);
    disk_[name] = DiskEntry{size, 0};
    diskUsage_ += size;
  }
  // Older files count as less recently used.
  std::sort(found.begin(), found.end());
  for (const auto& [time, name] : found) disk_[name].lastUse = ++useCounter_;
  trimDiskLocked();
}

void NSURLCache::removeMemoryLocked(const std::string& key) {
  auto it = memory_.find(key);
  if (it == memory_.end()) return;
  memoryUsage_ -= it->second->cost;
  lru_.erase(it->second);
  memory_.erase(it);
}

void NSURLCache::removeDiskLocked(const std::string& key) {
  if (diskCapacity_ == 0) return;
  loadDiskIndexLocked();
  const std::string name = fileFor(key);
  auto it = disk_.find(name);
  if (it != disk_.end()) {
    diskUsage_ -= it->second.size;
    disk_.erase(it);
  }
  ::unlink((diskPath_ + "/" + name).c_str());
}

void NSURLCache::trimMemoryLocked() {
  while (memoryUsage_ > memoryCapacity_ && !lru_.empty()) removeMemoryLocked(lru_.back().key);
}

void NSURLCache::trimDiskLocked() {
  while (diskUsage_ > diskCapacity_ && !disk_.empty()) {
    auto oldest = std::min_element(disk_.begin(), disk_.end(), [](const auto& a, const auto& b) {
      return a.second.lastUse < b.second.lastUse;
    });
    ::unlink((diskPath_ + "/" + oldest->first).c_str());
    diskUsage_ -= oldest->second.size;
    disk_.erase(oldest);
  }
}

NSCachedURLResponseRef NSURLCache::readDiskLocked(const std::string& key,
                                                  std::vector<VariedField>* varied) {
  if (diskCapacity_ == 0) return nullptr;
  loadDiskIndexLocked();
  const std::string name = fileFor(key);
  auto it = disk_.find(name);
  if (it == disk_.end()) return nullptr;
  auto bytes = readRegularFile(diskPath_ + "/" + name, diskCapacity_);
  Value parsed = bytes ? NSPropertyListSerialization::propertyListWithData(*bytes) : Value();
  NSCachedURLResponseRef cached = decodeRecord(parsed, key, varied);
  if (!cached) {
    // Another key with the same file name: only a miss. Damaged or foreign: it goes.
    const Dictionary* d = parsed.dictionary();
    const std::string* other = d ? d->get("key").string() : nullptr;
    if (other && *other != key && decodeRecord(parsed, *other)) return nullptr;
    removeDiskLocked(key);
    return nullptr;
  }
  it->second.lastUse = ++useCounter_;
  return cached;
}

NSCachedURLResponseRef NSURLCache::cachedResponseForRequest(const NSURLRequestRef& request) {
  const std::string key = keyFor(request);
  if (key.empty()) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  if (auto it = memory_.find(key); it != memory_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second);
    const MemoryEntry& entry = *it->second;
    return variantMatches(*entry.response, entry.varied, request) ? entry.response : nullptr;
  }
  std::vector<VariedField> varied;
  auto cached = readDiskLocked(key, &varied);
  if (!cached || !variantMatches(*cached, varied, request)) return nullptr;
  if (memoryCapacity_ > 0 && cached->data().length() <= memoryCapacity_ / 20) {
    const uint64_t cost = cached->data().length() + 512;
    lru_.push_front(MemoryEntry{key, cached, std::move(varied), cost});
    memory_[key] = lru_.begin();
    memoryUsage_ += cost;
    trimMemoryLocked();
  }
  return cached;
}

void NSURLCache::storeCachedResponseForRequest(const NSCachedURLResponseRef& cachedResponse,
                                               const NSURLRequestRef& request) {
  const std::string key = keyFor(request);
  if (key.empty() || !cachedResponse || !cachedResponse->response()) return;
  auto stored = std::make_shared<NSCachedURLResponse>(
      cachedResponse->response(), cachedResponse->data(), cachedResponse->storagePolicy(),
      nowSince1970());
  const uint64_t size = stored->data().length();
  auto names = NSURLCacheRules::varyingFields(stored->response());
  std::vector<VariedField> varied;
  for (const auto& name : names.value_or(std::vector<std::string>())) {
    varied.emplace_back(name, requestField(request, name));
  }
  std::lock_guard<std::mutex> lock(mu_);
  removeMemoryLocked(key);
  removeDiskLocked(key);
  if (stored->storagePolicy() == NSURLCacheStorageNotAllowed || !names) return;

  if (memoryCapacity_ > 0 && size <= memoryCapacity_ / 20) {
    const uint64_t cost = size + 512;
    lru_.push_front(MemoryEntry{key, stored, varied, cost});
    memory_[key] = lru_.begin();
    memoryUsage_ += cost;
    trimMemoryLocked();
  }
  if (stored->storagePolicy() != NSURLCacheStorageAllowed || diskCapacity_ == 0 ||
      size > diskCapacity_ / 20) {
    return;
  }
  Data bytes = NSPropertyListSerialization::dataWithPropertyList(
      encodeRecord(key, *stored, varied),
      NSPropertyListSerialization::NSPropertyListBinaryFormat_v1_0);
  if (bytes.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(diskPath_, ec);
  const std::string name = fileFor(key);
  const std::string path = diskPath_ + "/" + name;
  // Written beside the target and renamed over it, so that readers (also in other
  // processes) see a whole record or none.
  std::string temp = diskPath_ + "/." + name + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return;
  ::flock(fd, LOCK_EX);  // held until closed: a live save's temporary is never taken as stray
  size_t done = 0;
  while (done < bytes.length()) {
    ssize_t n = ::write(fd, bytes.bytes() + done, bytes.length() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool renamed = done == bytes.length() && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!renamed) ::unlink(temp.c_str());
  ::close(fd);
  if (!renamed) return;
  disk_[name] = DiskEntry{bytes.length(), ++useCounter_};
  diskUsage_ += bytes.length();
  trimDiskLocked();
}

void NSURLCache::removeCachedResponseForRequest(const NSURLRequestRef& request) {
  const std::string key = keyFor(request);
  if (key.empty()) return;
  std::lock_guard<std::mutex> lock(mu_);
  removeMemoryLocked(key);
  removeDiskLocked(key);
}

void NSURLCache::removeAllCachedResponses() {
  std::lock_guard<std::mutex> lock(mu_);
  lru_.clear();
  memory_.clear();
  memoryUsage_ = 0;
  if (diskCapacity_ == 0) return;
  loadDiskIndexLocked();
  for (const auto& [name, entry] : disk_) ::unlink((diskPath_ + "/" + name).c_str());
  disk_.clear();
  diskUsage_ = 0;
}

// ---- Rules ---------------------------------------------------------------------------------

namespace NSURLCacheRules {

namespace {

struct Freshness {
  double age = 0;
  double lifetime = 0;
};

Freshness freshnessOf(const NSHTTPURLResponse& response, double storedAt, double now) {
  Freshness f;
  const auto& fields = response.headerFields();
  double date = storedAt;
  if (auto d = fields.get("Date")) {
    if (auto parsed = HTTPDate::parse(*d, now)) date = static_cast<double>(*parsed);
  }
  double initialAge = std::max(0.0, storedAt - date);
  if (auto age = fields.get("Age")) {
    // Age is a single number: a list, or repeated lines (joined into one), says the response
    // may be older than any of them, so it is taken as stale.
    if (age->find(',') != std::string::npos) {
      initialAge = std::numeric_limits<double>::infinity();
    } else if (auto a = seconds(trim(*age))) {
      initialAge = std::max(initialAge, *a);
    }
  }
  f.age = initialAge + std::max(0.0, now - storedAt);

  auto cc = directives(fields.get("Cache-Control"));
  if (auto it = cc.find("max-age"); it != cc.end()) {
    f.lifetime = seconds(it->second).value_or(0);
  } else if (auto expires = fields.get("Expires")) {
    // An Expires that is not a date means "already expired".
    auto at = HTTPDate::parse(*expires, now);
    f.lifetime = at ? std::max(0.0, static_cast<double>(*at) - date) : 0;
  } else if (auto modified = fields.get("Last-Modified")) {
    // The usual heuristic: a tenth of the time since the last change.
    if (auto at = HTTPDate::parse(*modified, now)) {
      f.lifetime = std::max(0.0, (date - static_cast<double>(*at)) / 10);
    }
  }
  return f;
}

bool hasValidators(const NSHTTPURLResponse& response) {
  return response.valueForHTTPHeaderField("ETag") || response.valueForHTTPHeaderField("Last-Modified");
}

bool hasOwnConditions(const NSURLRequest& request) {
  for (const char* field :
       {"If-None-Match", "If-Modified-Since", "If-Match", "If-Unmodified-Since"}) {
    if (request.valueForHTTPHeaderField(field)) return true;
  }
  return false;
}

// An entity tag without its weakness mark, for the weak comparison (RFC 9110 8.8.3.2).
std::string opaqueTag(const std::string& tag) {
  std::string t = trim(tag);
  return t.compare(0, 2, "W/") == 0 ? t.substr(2) : t;
}

}  // namespace

Decision decide(const NSURLRequestRef& request, uint64_t cachePolicy,
                const NSCachedURLResponseRef& cached, double now) {
  if (!request || request->HTTPMethod() != "GET" || request->valueForHTTPHeaderField("Range")) {
    return cachePolicy == NSURLRequestReturnCacheDataDontLoad ? Decision::Unavailable : Decision::Load;
  }
  auto http = cached ? std::dynamic_pointer_cast<NSHTTPURLResponse>(cached->response()) : nullptr;
  switch (cachePolicy) {
    case NSURLRequestReloadIgnoringLocalCacheData:
    case NSURLRequestReloadIgnoringLocalAndRemoteCacheData:
      return Decision::Load;
    case NSURLRequestReturnCacheDataElseLoad:
      return cached ? Decision::UseCached : Decision::Load;
    case NSURLRequestReturnCacheDataDontLoad:
      return cached ? Decision::UseCached : Decision::Unavailable;
    case NSURLRequestReloadRevalidatingCacheData:
      return http && hasValidators(*http) && !hasOwnConditions(*request) ? Decision::Revalidate
                                                                         : Decision::Load;
    default:
      break;
  }
  if (!cached) return Decision::Load;
  if (!http) return Decision::UseCached;  // not HTTP: nothing says it goes stale
  const auto requestFields = request->headerFields();
  bool mustCheck = hasNoCache(requestFields) || hasNoCache(http->headerFields());
  Freshness f = freshnessOf(*http, cached->storageDate(), now);
  auto requestCC = directives(requestFields.get("Cache-Control"));
  if (auto it = requestCC.find("max-age"); it != requestCC.end()) {
    if (auto max = seconds(it->second); !max || f.age > *max) mustCheck = true;
  }
  if (!mustCheck && f.lifetime > f.age) return Decision::UseCached;
  // A request with conditions of the app's own is sent as it is: its answer, a 304 too, is the
  // app's, and says nothing about the entry.
  return hasValidators(*http) && !hasOwnConditions(*request) ? Decision::Revalidate
                                                             : Decision::Load;
}

bool isStorable(const NSURLRequestRef& request, const NSHTTPURLResponseRef& response) {
  if (!request || !response || request->HTTPMethod() != "GET" ||
      request->valueForHTTPHeaderField("Range")) {
    return false;
  }
  switch (response->statusCode()) {
    case 200: case 203: case 204: case 300: case 301: case 308: case 404: case 405: case 410:
    case 414: case 501:
      break;
    default:
      return false;
  }
  if (directives(request->headerFields().get("Cache-Control")).count("no-store")) return false;
  const auto& fields = response->headerFields();
  auto cc = directives(fields.get("Cache-Control"));
  if (cc.count("no-store")) return false;
  if (!varyingFields(response)) return false;
  return cc.count("max-age") || fields.get("Expires") || hasValidators(*response);
}

std::optional<std::vector<std::string>> varyingFields(const NSURLResponseRef& response) {
  std::vector<std::string> names;
  auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
  auto vary = http ? http->valueForHTTPHeaderField("Vary") : std::nullopt;
  std::string_view rest = vary ? std::string_view(*vary) : std::string_view();
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string name = lower(trim(rest.substr(0, comma)));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (name == "*") return std::nullopt;
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

void invalidateAfterUnsafeRequest(NSURLCache& cache, const NSURLRequestRef& request,
                                  const NSHTTPURLResponseRef& response) {
  if (!request || !response || response->statusCode() >= 400) return;
  const std::string& method = request->HTTPMethod();
  if (method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "TRACE") return;
  auto target = NSURL::URLWithString(request->URL());
  if (!target) return;
  cache.removeCachedResponseForRequest(request);
  auto origin = [](const NSURL& url) {
    return std::make_tuple(lower(url.scheme()), canonicalHostName(url.host()), url.port());
  };
  for (const char* field : {"Location", "Content-Location"}) {
    auto value = response->valueForHTTPHeaderField(field);
    auto url = value ? NSURL::URLWithStringRelativeToURL(trim(*value), target) : nullptr;
    if (url) url = url->absoluteURL();
    if (url && origin(*url) == origin(*target)) {
      cache.removeCachedResponseForRequest(NSURLRequest::requestWithURL(url->absoluteString()));
    }
  }
}

HTTPHeaderFields validatorsFor(const NSCachedURLResponseRef& cached) {
  HTTPHeaderFields out;
  auto http = cached ? std::dynamic_pointer_cast<NSHTTPURLResponse>(cached->response()) : nullptr;
  if (!http) return out;
  if (auto etag = http->valueForHTTPHeaderField("ETag")) out.set("If-None-Match", *etag);
  if (auto modified = http->valueForHTTPHeaderField("Last-Modified")) {
    out.set("If-Modified-Since", *modified);
  }
  return out;
}

bool notModifiedUpdates(const NSURLRequestRef& sent, const NSCachedURLResponseRef& stored,
                        const NSHTTPURLResponseRef& notModified) {
  auto http = stored ? std::dynamic_pointer_cast<NSHTTPURLResponse>(stored->response()) : nullptr;
  if (!sent || !http || !notModified || notModified->statusCode() != 304 ||
      hasOwnConditions(*sent)) {
    return false;
  }
  // The 304's own validators, when it has any, select the entry (RFC 9111 4.3.4): its entity
  // tag, or else its modification date.
  if (auto tag = notModified->valueForHTTPHeaderField("ETag")) {
    auto storedTag = http->valueForHTTPHeaderField("ETag");
    return storedTag && opaqueTag(*storedTag) == opaqueTag(*tag);
  }
  if (auto modified = notModified->valueForHTTPHeaderField("Last-Modified")) {
    auto storedModified = http->valueForHTTPHeaderField("Last-Modified");
    if (!storedModified) return false;
    // The same instant in any of the date forms; text that is no date only as the same text.
    const double now = nowSince1970();
    auto a = HTTPDate::parse(*storedModified, now);
    auto b = HTTPDate::parse(*modified, now);
    return a && b ? *a == *b : trim(*storedModified) == trim(*modified);
  }
  return true;
}

NSHTTPURLResponseRef updateAfterNotModified(NSURLCache& cache, const NSURLRequestRef& sent,
                                            const NSCachedURLResponseRef& stored,
                                            const NSHTTPURLResponseRef& notModified) {
  auto merged = mergeNotModified(std::dynamic_pointer_cast<NSHTTPURLResponse>(stored->response()),
                                 notModified);
  // A request that forbids storing leaves the entry as it was; a 304 that does ("no-store",
  // "Vary: *") leaves nothing of itself nor of the entry it confirmed.
  if (directives(sent->headerFields().get("Cache-Control")).count("no-store")) return merged;
  if (isStorable(sent, merged)) {
    cache.storeCachedResponseForRequest(
        std::make_shared<NSCachedURLResponse>(merged, stored->data(), stored->storagePolicy()),
        sent);
  } else {
    cache.removeCachedResponseForRequest(sent);
  }
  return merged;
}

NSHTTPURLResponseRef mergeNotModified(const NSHTTPURLResponseRef& stored,
                                      const NSHTTPURLResponseRef& notModified) {
  HTTPHeaderFields fields = stored->headerFields();
  for (const auto& [name, value] : notModified->headerFields().fields()) {
    const std::string key = lower(name);
    if (key == "content-length" || key == "content-encoding" || key == "transfer-encoding" ||
        key == "content-type" || key == "content-range") {
      continue;
    }
    fields.set(name, value);
  }
  return std::make_shared<NSHTTPURLResponse>(stored->URL(), stored->statusCode(),
                                             stored->HTTPVersion(), std::move(fields));
}

}  // namespace NSURLCacheRules

}  // namespace plat
