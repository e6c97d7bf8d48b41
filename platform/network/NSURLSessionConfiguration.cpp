#include "platform/network/NSURLSessionConfiguration.h"

namespace plat {

NSURLSessionConfigurationRef NSURLSessionConfiguration::defaultSessionConfiguration() {
  return std::make_shared<NSURLSessionConfiguration>();
}

NSURLSessionConfigurationRef NSURLSessionConfiguration::ephemeralSessionConfiguration() {
  auto c = std::make_shared<NSURLSessionConfiguration>();
  c->ephemeral_ = true;
  return c;
}

NSURLSessionConfigurationRef
NSURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string identifier) {
  auto c = std::make_shared<NSURLSessionConfiguration>();
  c->identifier_ = std::move(identifier);
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
  return c;
}

}  // namespace plat
