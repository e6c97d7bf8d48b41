#include "platform/network/NSURLRequest.h"

#include <strings.h>

#include <cstdio>

#include "platform/foundation/NSLog.h"
#include "platform/network/HTTPHeaderParser.h"
#include "platform/network/NSStream.h"

namespace plat {

namespace {
bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}
}  // namespace

std::optional<std::string> HTTPHeaderFields::get(std::string_view name) const {
  for (auto& [k, v] : fields_) {
    if (sameName(k, name)) return v;
  }
  return std::nullopt;
}

void HTTPHeaderFields::set(std::string_view name, std::string value) {
  for (auto& [k, v] : fields_) {
    if (sameName(k, name)) {
      v = std::move(value);
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::move(value));
}

void HTTPHeaderFields::add(std::string_view name, std::string_view value) {
  for (auto& [k, v] : fields_) {
    if (sameName(k, name)) {
      v += ", ";
      v += value;
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::string(value));
}

bool HTTPHeaderFields::remove(std::string_view name) {
  for (auto it = fields_.begin(); it != fields_.end(); ++it) {
    if (sameName(it->first, name)) {
      fields_.erase(it);
      return true;
    }
  }
  return false;
}

Dictionary HTTPHeaderFields::dictionary() const {
  Dictionary d;
  for (auto& [k, v] : fields_) d.set(k, v);
  return d;
}

NSURLRequest::NSURLRequest(std::string url) : url_(std::move(url)) {}

std::string NSURLRequest::description() const {
  char addr[32];
  std::snprintf(addr, sizeof addr, "%p", static_cast<const void*>(this));
  return "<" + className() + ": " + addr + "> { URL: " + (url_.empty() ? "(null)" : url_) + " }";
}

void NSURLRequest::copyFieldsFrom(const NSURLRequest& o) {
  url_ = o.url_;
  method_ = o.method_;
  headers_ = o.headers_;
  body_ = o.body_;
  bodyStream_ = o.bodyStream_;
  timeoutInterval_ = o.timeoutInterval_;
  timeoutSet_ = o.timeoutSet_;
  cachePolicy_ = o.cachePolicy_;
  allowsCellularAccess_ = o.allowsCellularAccess_;
  shouldHandleCookies_ = o.shouldHandleCookies_;
  shouldUsePipelining_ = o.shouldUsePipelining_;
  networkServiceType_ = o.networkServiceType_;
}

NSURLRequestRef NSURLRequest::copy() const {
  auto r = std::make_shared<NSURLRequest>();
  r->copyFieldsFrom(*this);
  return r;
}

NSMutableURLRequestRef NSURLRequest::mutableCopy() const {
  auto r = std::make_shared<NSMutableURLRequest>();
  r->copyFieldsFrom(*this);
  return r;
}

bool isSafeHeaderLine(std::string_view name, std::string_view value) {
  constexpr std::string_view kBreaks("\r\n\0", 3);
  return !name.empty() && name.find_first_of(kBreaks) == std::string_view::npos &&
         name.find(':') == std::string_view::npos &&
         value.find_first_of(kBreaks) == std::string_view::npos;
}

namespace {
bool refuseUnsafeHeader(std::string_view field, std::string_view value) {
  if (isSafeHeaderLine(field, value)) return false;
  NSLogMessage("NSMutableURLRequest: refused a value of the header field \"" +
               detail::escapedForLog(field) + "\": a line break or NUL would inject header lines");
  return true;
}
}  // namespace

void NSMutableURLRequest::setValueForHTTPHeaderField(std::optional<std::string> value,
                                                     std::string_view field) {
  if (refuseUnsafeHeader(field, value.value_or(""))) return;
  if (!value) {
    headers_.remove(field);
  } else {
    headers_.set(field, std::move(*value));
  }
}

void NSMutableURLRequest::setAllHTTPHeaderFields(const Dictionary& fields) {
  headers_ = HTTPHeaderFields();
  for (auto& [k, v] : fields) {
    if (auto s = v.string(); s && !refuseUnsafeHeader(k, *s)) headers_.set(k, *s);
  }
}

void NSMutableURLRequest::addValueForHTTPHeaderField(std::string_view value,
                                                     std::string_view field) {
  if (refuseUnsafeHeader(field, value)) return;
  headers_.add(field, value);
}

void NSMutableURLRequest::setHTTPBody(std::optional<Data> body) {
  body_ = std::move(body);
  if (body_) bodyStream_.reset();
}

void NSMutableURLRequest::setHTTPBodyStream(std::shared_ptr<NSInputStream> stream) {
  bodyStream_ = std::move(stream);
  if (bodyStream_) body_.reset();
}

}  // namespace plat
