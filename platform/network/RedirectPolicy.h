#pragma once
// Internal to plat_network: the request a URL session proposes when it follows a redirect
// itself (libcurl's own following, with its protections, is off).
//
// Method rules: 303 turns any method but HEAD into GET without body, 301 and 302 turn POST into
// GET without body, 307 and 308 keep method and body. Credentials the app set go only to the
// origin it set them for: a redirect to another scheme, host or port drops "Authorization",
// "Proxy-Authorization" and "Cookie" (the cookie jar adds its own cookies for the new URL).
// Pure functions; thread-safe.

#include <cstdint>
#include <string>

#include "platform/network/NSURLRequest.h"

namespace plat::detail {

class RedirectPolicy {
 public:
  // At most this many redirects are followed for one task.
  static constexpr int kMaxRedirects = 16;

  // Whether `status` is a redirect the session follows (when it carries a Location).
  static bool isRedirectStatus(int64_t status);

  struct Proposal {
    NSMutableURLRequestRef request;
    bool toGet = false;  // the method became GET and the body was dropped
  };
  // The request following a `status` answer to `request` to `target` (absolute), where
  // `sameOrigin` says whether `target` has the scheme, host and port of `request`'s URL.
  static Proposal proposedRequest(const NSURLRequestRef& request, int64_t status,
                                  const std::string& target, bool sameOrigin);
};

}  // namespace plat::detail
