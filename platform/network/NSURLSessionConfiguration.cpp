#include "platform/network/NSURLSessionConfiguration.h"

#include <algorithm>

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

namespace plat {

namespace {
NSURLCacheRef ephemeralCache() { return std::make_shared<NSURLCache>(512 * 1024, 0, ""); }
}  // namespace

NSURLSessionConfigurationRef NSURLSessionConfiguration::defaultSessionConfiguration() {
  auto c = std::make_shared<NSURLSessionConfiguration>();
  c->urlCache_ = NSURLCache::sharedURLCache();
  return c;
}

NSURLSessionConfigurationRef NSURLSessionConfiguration::ephemeralSessionConfiguration() {
  auto c = std::make_shared<NSURLSessionConfiguration>();
  c->ephemeral_ = true;
  c->urlCache_ = ephemeralCache();
  return c;
}

NSURLSessionConfigurationRef
NSURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string identifier) {
  auto c = std::make_shared<NSURLSessionConfiguration>();
  c->identifier_ = std::move(identifier);
  c->urlCache_ = NSURLCache::sharedURLCache();
  return c;
}

NSURLSessionConfigurationRef NSURLSessionConfiguration::copy() const {
  auto c = std::make_shared<NSURLSessionConfiguration>();
  c->identifier_ = identifier_;
  c->ephemeral_ = ephemeral_;
  c->timeoutForRequest_ = timeoutForRequest_;
  c->timeoutForResource_ = timeoutForResource_;
  c->additionalHeaders_ = additionalHeaders_;
  c->maxConnectionsPerHost_ = maxConnectionsPerHost_;
  c->allowsCellularAccess_ = allowsCellularAccess_;
  c->requestCachePolicy_ = requestCachePolicy_;
  c->shouldUsePipelining_ = shouldUsePipelining_;
  c->shouldSetCookies_ = shouldSetCookies_;
  c->urlCache_ = urlCache_;
  return c;
}

namespace {
const bool kRegistered = [] {
  NSCodingClasses::registerClass("NSURLSessionConfiguration",
                                 [] { return std::make_shared<NSURLSessionConfiguration>(); });
  return true;
}();
}  // namespace

void NSURLSessionConfiguration::encodeWithCoder(NSKeyedArchiver& coder) const {
  coder.encodeObjectForKey(identifier_.empty() ? Value() : Value(identifier_), "identifier");
  coder.encodeBoolForKey(ephemeral_, "ephemeral");
  coder.encodeDoubleForKey(timeoutForRequest_, "timeoutIntervalForRequest");
  coder.encodeDoubleForKey(timeoutForResource_, "timeoutIntervalForResource");
  coder.encodeObjectForKey(Value(additionalHeaders_), "HTTPAdditionalHeaders");
  coder.encodeInt64ForKey(maxConnectionsPerHost_, "HTTPMaximumConnectionsPerHost");
  coder.encodeBoolForKey(allowsCellularAccess_, "allowsCellularAccess");
  coder.encodeInt64ForKey(static_cast<int64_t>(requestCachePolicy_), "requestCachePolicy");
  coder.encodeBoolForKey(shouldUsePipelining_, "HTTPShouldUsePipelining");
  coder.encodeBoolForKey(shouldSetCookies_, "HTTPShouldSetCookies");
}

bool NSURLSessionConfiguration::initWithCoder(NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  Value identifier = coder.decodeObjectForKey("identifier");
  if (identifier.string()) identifier_ = *identifier.string();
  ephemeral_ = coder.decodeBoolForKey("ephemeral");
  urlCache_ = ephemeral_ ? ephemeralCache() : NSURLCache::sharedURLCache();
  // Missing settings keep their defaults.
  if (coder.containsValueForKey("timeoutIntervalForRequest")) {
    timeoutForRequest_ = coder.decodeDoubleForKey("timeoutIntervalForRequest");
  }
  if (coder.containsValueForKey("timeoutIntervalForResource")) {
    timeoutForResource_ = coder.decodeDoubleForKey("timeoutIntervalForResource");
  }
  Value headers = coder.decodeObjectForKey("HTTPAdditionalHeaders");
  if (const Dictionary* d = headers.dictionary()) additionalHeaders_ = *d;
  if (coder.containsValueForKey("HTTPMaximumConnectionsPerHost")) {
    maxConnectionsPerHost_ = coder.decodeInt64ForKey("HTTPMaximumConnectionsPerHost");
  }
  if (coder.containsValueForKey("allowsCellularAccess")) {
    allowsCellularAccess_ = coder.decodeBoolForKey("allowsCellularAccess");
  }
  requestCachePolicy_ = static_cast<uint64_t>(std::max<int64_t>(0, coder.decodeInt64ForKey("requestCachePolicy")));
  shouldUsePipelining_ = coder.decodeBoolForKey("HTTPShouldUsePipelining");
  if (coder.containsValueForKey("HTTPShouldSetCookies")) {
    shouldSetCookies_ = coder.decodeBoolForKey("HTTPShouldSetCookies");
  }
  return true;
}

}  // namespace plat
