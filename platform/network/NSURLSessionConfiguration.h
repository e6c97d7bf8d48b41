#pragma once
// plat::NSURLSessionConfiguration: the settings a URL session is made with. A session keeps
// its own copy, so changing a configuration after making a session has no effect on it.
// Not synchronized: configure on one thread, then hand over.
//
// Background configurations store their identifier only: their sessions run tasks in the
// process like the default ones.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/NSCoding.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLCache.h"

namespace plat {

class NSURLSessionConfiguration;
using NSURLSessionConfigurationRef = std::shared_ptr<NSURLSessionConfiguration>;

// Archivable (every setting below, by its name; the response cache is not archived: a
// decoded configuration has its kind's default cache).
class NSURLSessionConfiguration : public Object, public NSCoding {
 public:
  // Uses the shared response cache (NSURLCache::sharedURLCache).
  static NSURLSessionConfigurationRef defaultSessionConfiguration();
  // Uses a response cache of its own, in memory only.
  static NSURLSessionConfigurationRef ephemeralSessionConfiguration();
  // Uses the shared response cache.
  static NSURLSessionConfigurationRef backgroundSessionConfigurationWithIdentifier(
      std::string identifier);

  std::string className() const override { return "NSURLSessionConfiguration"; }
  NSURLSessionConfigurationRef copy() const;

  // Empty except for background configurations.
  const std::string& identifier() const { return identifier_; }
  bool isEphemeral() const { return ephemeral_; }
  // Idle time-out of a request, for requests that set none of their own (default 60).
  double timeoutIntervalForRequest() const { return timeoutForRequest_; }
  void setTimeoutIntervalForRequest(double seconds) { timeoutForRequest_ = seconds; }
  // Longest time a whole task may take (default 7 days).
  double timeoutIntervalForResource() const { return timeoutForResource_; }
  void setTimeoutIntervalForResource(double seconds) { timeoutForResource_ = seconds; }
  // Header fields added to every request that does not carry them (string values only).
  const Dictionary& HTTPAdditionalHeaders() const { return additionalHeaders_; }
  void setHTTPAdditionalHeaders(Dictionary headers) { additionalHeaders_ = std::move(headers); }
  // Parallel connections to one host (default 6).
  int64_t HTTPMaximumConnectionsPerHost() const { return maxConnectionsPerHost_; }
  void setHTTPMaximumConnectionsPerHost(int64_t count) { maxConnectionsPerHost_ = count; }
  bool allowsCellularAccess() const { return allowsCellularAccess_; }
  void setAllowsCellularAccess(bool allow) { allowsCellularAccess_ = allow; }
  uint64_t requestCachePolicy() const { return requestCachePolicy_; }
  void setRequestCachePolicy(uint64_t policy) { requestCachePolicy_ = policy; }
  bool HTTPShouldUsePipelining() const { return shouldUsePipelining_; }
  void setHTTPShouldUsePipelining(bool use) { shouldUsePipelining_ = use; }
  bool HTTPShouldSetCookies() const { return shouldSetCookies_; }
  // The response cache of sessions made with this configuration; null: none.
  const NSURLCacheRef& URLCache() const { return urlCache_; }
  void setURLCache(NSURLCacheRef cache) { urlCache_ = std::move(cache); }
  void setHTTPShouldSetCookies(bool set) { shouldSetCookies_ = set; }

  void encodeWithCoder(NSKeyedArchiver& coder) const override;
  bool initWithCoder(NSKeyedUnarchiver& coder) override;

 private:
  std::string identifier_;
  bool ephemeral_ = false;
  double timeoutForRequest_ = 60.0;
  double timeoutForResource_ = 604800.0;
  Dictionary additionalHeaders_;
  int64_t maxConnectionsPerHost_ = 6;
  bool allowsCellularAccess_ = true;
  uint64_t requestCachePolicy_ = 0;
  bool shouldUsePipelining_ = false;
  bool shouldSetCookies_ = true;
  NSURLCacheRef urlCache_;
};

}  // namespace plat
