#pragma once
// plat::NSURLCache: the response cache of URL sessions, a memory tier (least recently used
// first out) over a disk tier (one file per response in a folder of its own), and the HTTP
// caching rules the sessions apply with it (NSURLCacheRules below).
//
// Responses are keyed by URL (without fragment), one entry per URL. An entry whose response
// names request fields in "Vary" keeps the request's values of those fields and answers only
// a request with the same values; a response that varies on "*" is never stored. A response
// larger than a twentieth of a tier's capacity is not kept in that tier. Disk files that
// cannot be read as an entry of this cache are removed when met, and temporary files of saves
// that never finished (a process killed mid-save) when the disk tier is first used.
//
// Thread-safety: has internal synchronization and may be used from any thread.

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/network/NSURLRequest.h"
#include "platform/network/NSURLResponse.h"

namespace plat {

class NSURLCache;
using NSURLCacheRef = std::shared_ptr<NSURLCache>;

class NSURLCache : public Object {
 public:
  // `diskPath` empty: memory only (as is a disk capacity of 0).
  NSURLCache(uint64_t memoryCapacity, uint64_t diskCapacity, std::string diskPath);
  std::string className() const override { return "NSURLCache"; }

  // The cache of default session configurations: 512 KiB of memory and 10 MiB of disk in
  // "<Library/Caches>/<bundle identifier>/URLCache", made on first use.
  static NSURLCacheRef sharedURLCache();
  // Replaces the shared cache (null restores a fresh default one on next use).
  static void setSharedURLCache(NSURLCacheRef cache);

  // The stored response for the request's URL (memory first, then disk), or null; also null
  // when the request's fields named by the response's "Vary" differ from the stored request's
  // (an entry stored without them, by an older version, never matches such a response).
  NSCachedURLResponseRef cachedResponseForRequest(const NSURLRequestRef& request);
  // Stores the response for the request's URL, replacing an older one, in the tiers its
  // storage policy allows, with the request's values of the fields the response's "Vary"
  // names ("Vary: *" anywhere: only the older one is removed). The stored copy carries the
  // current date as its storageDate.
  void storeCachedResponseForRequest(const NSCachedURLResponseRef& cachedResponse,
                                     const NSURLRequestRef& request);
  void removeCachedResponseForRequest(const NSURLRequestRef& request);
  void removeAllCachedResponses();

  uint64_t memoryCapacity() const;
  uint64_t diskCapacity() const;
  const std::string& diskPath() const { return diskPath_; }
  uint64_t currentMemoryUsage() const;
  uint64_t currentDiskUsage() const;

 private:
  // A request field named by "Vary", lower-cased, and its value (none when absent).
  using VariedField = std::pair<std::string, std::optional<std::string>>;
  struct MemoryEntry {
    std::string key;
    NSCachedURLResponseRef response;
    std::vector<VariedField> varied;
    uint64_t cost;
  };
  struct DiskEntry {
    uint64_t size;
    uint64_t lastUse;
  };

  static std::string keyFor(const NSURLRequestRef& request);
  std::string fileFor(const std::string& key) const;
  // REQUIRES: mu_ held.
  void loadDiskIndexLocked();
  void removeMemoryLocked(const std::string& key);
  void removeDiskLocked(const std::string& key);
  void trimMemoryLocked();
  void trimDiskLocked();
  NSCachedURLResponseRef readDiskLocked(const std::string& key, std::vector<VariedField>* varied);

  mutable std::mutex mu_;
  const uint64_t memoryCapacity_;
  const uint64_t diskCapacity_;
  const std::string diskPath_;
  std::list<MemoryEntry> lru_;  // most recently used first
  std::unordered_map<std::string, std::list<MemoryEntry>::iterator> memory_;
  uint64_t memoryUsage_ = 0;
  bool diskIndexLoaded_ = false;
  std::map<std::string, DiskEntry> disk_;  // by file name
  uint64_t diskUsage_ = 0;
  uint64_t useCounter_ = 0;
};

// The HTTP caching rules (Cache-Control, Expires, validators) that sessions apply.
namespace NSURLCacheRules {

enum class Decision {
  Load,         // send the request as it is (no usable entry)
  UseCached,    // answer from the entry without the network
  Revalidate,   // send the request with the entry's validators; a 304 confirms the entry
  Unavailable,  // the policy forbids the network and there is no entry
};

// What to do with `request` under `cachePolicy` (NSURLRequest...Policy) given the stored
// `cached` (may be null) at `now` (seconds since 1970). Requests other than GET, and ones
// asking for a byte range, always Load; so does one with conditions of its own ("If-None-Match",
// "If-Modified-Since", "If-Match", "If-Unmodified-Since") whose entry would be revalidated.
// A response whose "Age" is a list (or repeated) is stale.
Decision decide(const NSURLRequestRef& request, uint64_t cachePolicy,
                const NSCachedURLResponseRef& cached, double now);
// Whether a response may be stored at all: a GET answered with a cacheable status, no
// "no-store" on either side, no "*" in "Vary", and freshness information or a validator.
bool isStorable(const NSURLRequestRef& request, const NSHTTPURLResponseRef& response);
// The request fields a response varies on, lower-cased, in order ("Vary", comma-separated);
// nullopt when one of them is "*" (the response matches no later request).
std::optional<std::vector<std::string>> varyingFields(const NSURLResponseRef& response);
// After `response` answered an unsafe request (any method but GET, HEAD, OPTIONS, TRACE)
// with a status below 400, removes what `cache` holds for the request's URL and for the
// response's "Location" and "Content-Location" when they are of the request's origin.
void invalidateAfterUnsafeRequest(NSURLCache& cache, const NSURLRequestRef& request,
                                  const NSHTTPURLResponseRef& response);
// The header fields that make `request` conditional on `cached` ("If-None-Match" from the
// ETag, "If-Modified-Since" from Last-Modified).
HTTPHeaderFields validatorsFor(const NSCachedURLResponseRef& cached);
// Whether the 304 answer to `sent` confirms `stored`: the request's conditions were the
// cache's own (validatorsFor), and the 304's entity tag, or else its Last-Modified (the same
// instant, in any date form), when it has one, is the entry's. Otherwise the 304 updates
// nothing: it is the app's answer when the conditions were the app's, and when they were the
// cache's the request is sent again without them (a request that asked no condition never
// gets a 304).
bool notModifiedUpdates(const NSURLRequestRef& sent, const NSCachedURLResponseRef& stored,
                        const NSHTTPURLResponseRef& notModified);
// Applies a 304 that confirmed `stored` (notModifiedUpdates) to `cache`: the entry, brought up
// to date (mergeNotModified), replaces the old one, or is removed when the merged response may
// not be stored (a 304 with "no-store"); a request with "no-store" changes nothing. Returns the
// merged response, the caller's answer.
NSHTTPURLResponseRef updateAfterNotModified(NSURLCache& cache, const NSURLRequestRef& sent,
                                            const NSCachedURLResponseRef& stored,
                                            const NSHTTPURLResponseRef& notModified);
// The cached response brought up to date by a 304 answer: the stored status and body, its
// header fields replaced by the 304's (except those that describe the body).
NSHTTPURLResponseRef mergeNotModified(const NSHTTPURLResponseRef& stored,
                                      const NSHTTPURLResponseRef& notModified);

}  // namespace NSURLCacheRules

}  // namespace plat
