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

size_t HTTPHeaderFields::NameHash::operator()(std::string_view name) const {
  // FNV-1a over the ASCII-lower-cased bytes.
  size_t h = static_cast<size_t>(1469598103934665603ull);
  for (unsigned char c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    h = (h ^ c) * static_cast<size_t>(1099511628211ull);
  }
  return h;
}

bool HTTPHeaderFields::NameEqual::operator()(std::string_view a, std::string_view b) const {
  return sameName(a, b);
}

size_t HTTPHeaderFields::find(std::string_view name) const {
  if (!index_.empty()) {
    auto it = index_.find(name);
    return it == index_.end() ? fields_.size() : it->second;
  }
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (sameName(fields_[i].first, name)) return i;
  }
  return fields_.size();
}

void HTTPHeaderFields::append(std::string_view name, std::string value) {
  fields_.emplace_back(std::string(name), std::move(value));
  if (!index_.empty()) {
    index_.emplace(fields_.back().first, fields_.size() - 1);
  } else if (fields_.size() >= kIndexedFrom) {
    indexAll();
  }
}

void HTTPHeaderFields::indexAll() {
  index_.reserve(fields_.size());
  for (size_t i = 0; i < fields_.size(); ++i) index_.emplace(fields_[i].first, i);
}

std::optional<std::string> HTTPHeaderFields::get(std::string_view name) const {
  const size_t i = find(name);
  if (i == fields_.size()) return std::nullopt;
  return fields_[i].second;
}

void HTTPHeaderFields::set(std::string_view name, std::string value) {
  const size_t i = find(name);
  if (i == fields_.size()) return append(name, std::move(value));
  fields_[i].second = std::move(value);
}

void HTTPHeaderFields::add(std::string_view name, std::string_view value) {
  const size_t i = find(name);
  if (i == fields_.size()) return append(name, std::string(value));
  fields_[i].second += ", ";
  fields_[i].second += value;
}

bool HTTPHeaderFields::remove(std::string_view name) {
  const size_t i = find(name);
  if (i == fields_.size()) return false;
  if (!index_.empty()) {
    index_.erase(index_.find(name));
    // The later fields move up one place.
    for (auto& [key, position] : index_) {
      if (position > i) --position;
    }
  }
  fields_.erase(fields_.begin() + static_cast<std::ptrdiff_t>(i));
  return true;
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
