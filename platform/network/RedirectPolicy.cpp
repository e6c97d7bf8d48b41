#include "platform/network/RedirectPolicy.h"

namespace plat::detail {

bool RedirectPolicy::isRedirectStatus(int64_t s) {
  return s == 301 || s == 302 || s == 303 || s == 307 || s == 308;
}

RedirectPolicy::Proposal RedirectPolicy::proposedRequest(const NSURLRequestRef& request,
                                                         int64_t status, const std::string& target,
                                                         bool sameOrigin) {
  Proposal p;
  p.request = request->mutableCopy();
  p.request->setURL(target);
  const std::string& method = request->HTTPMethod();
  p.toGet =
      (status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST");
  if (p.toGet) {
    p.request->setHTTPMethod("GET");
    p.request->setHTTPBody(std::nullopt);
    p.request->setHTTPBodyStream(nullptr);
    p.request->setValueForHTTPHeaderField(std::nullopt, "Content-Type");
    p.request->setValueForHTTPHeaderField(std::nullopt, "Content-Length");
  }
  if (!sameOrigin) {
    for (const char* field : {"Authorization", "Proxy-Authorization", "Cookie"}) {
      p.request->setValueForHTTPHeaderField(std::nullopt, field);
    }
  }
  return p;
}

}  // namespace plat::detail
