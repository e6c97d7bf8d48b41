#include "platform/network/HTTPHeaderParser.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>

namespace plat::detail {

namespace {

bool isOWS(char c) { return c == ' ' || c == '\t'; }

std::string_view withoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

std::string_view trimmedOWS(std::string_view s) {
  while (!s.empty() && isOWS(s.front())) s.remove_prefix(1);
  while (!s.empty() && (isOWS(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The one length a Content-Length value states ("5" or a list of equal members, "5, 5");
// nullopt for anything else.
std::optional<uint64_t> statedLength(std::string_view value) {
  std::optional<uint64_t> length;
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string_view::npos) comma = value.size();
    std::string_view member = trimmedOWS(value.substr(start, comma - start));
    if (member.empty() || member.size() > 18) return std::nullopt;
    uint64_t n = 0;
    for (char c : member) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (length && *length != n) return std::nullopt;
    length = n;
    start = comma + 1;
  }
  return length;
}

}  // namespace

std::string escapedForLog(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool isHTTPTokenChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != '\0' && std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos);
}

bool isHTTPToken(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!isHTTPTokenChar(c)) return false;
  }
  return true;
}

HTTPHeaderParser::Event HTTPHeaderParser::refuse(std::string why) {
  refusal_ = std::move(why);
  return Event::kRefused;
}

bool HTTPHeaderParser::commitPending() {
  if (!hasPending_) return true;
  hasPending_ = false;
  if (sameName(pendingName_, "Content-Length")) {
    auto length = statedLength(pendingValue_);
    if (!length || (contentLength_ && *contentLength_ != *length)) return false;
    contentLength_ = length;
  }
  if (sameName(pendingName_, "Set-Cookie")) setCookies_.push_back(pendingValue_);
  fields_.add(pendingName_, pendingValue_);
  return true;
}

HTTPHeaderParser::Event HTTPHeaderParser::addLine(std::string_view raw) {
  std::string_view line = withoutLineEnd(raw);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new status line: a new head (an interim one is replaced by the final one).
    fields_ = HTTPHeaderFields();
    setCookies_.clear();
    hasPending_ = false;
    contentLength_.reset();
    complete_ = false;
    size_t sp = line.find(' ');
    httpVersion_ = std::string(line.substr(0, sp));
    status_ =
        sp == std::string_view::npos ? 0 : std::atoll(std::string(line.substr(sp + 1, 3)).c_str());
    return Event::kLine;
  }
  if (complete_) return Event::kLine;  // a trailer of the body
  if (line.empty()) {
    if (!commitPending()) return refuse("conflicting or malformed Content-Length");
    if (status_ < 200) {
      fields_ = HTTPHeaderFields();  // the end of an interim head
      setCookies_.clear();
      contentLength_.reset();
      return Event::kLine;
    }
    complete_ = true;
    return Event::kComplete;
  }
  if (isOWS(line.front())) {
    // obs-fold: the value of the field before it goes on after one space.
    if (!hasPending_) return refuse("a folded line with no field before it");
    std::string_view more = trimmedOWS(line);
    if (!more.empty()) {
      if (!pendingValue_.empty()) pendingValue_ += ' ';
      size_t from = pendingValue_.size();
      pendingValue_ += more;
      for (size_t i = from; i < pendingValue_.size(); ++i) {
        if (pendingValue_[i] == '\r') pendingValue_[i] = ' ';
      }
    }
    return Event::kLine;
  }
  if (!commitPending()) return refuse("conflicting or malformed Content-Length");
  size_t colon = line.find(':');
  if (colon == std::string_view::npos)
    return Event::kLine;  // not a field: ignored, as libcurl does
  std::string_view name = line.substr(0, colon);
  for (unsigned char c : name) {
    // White space before the colon (or in a name at all) makes libcurl ignore the field the
    // engine would read.
    if (c <= 0x20 || c == 0x7f) return refuse("white space or a control in a field name");
  }
  if (name.empty()) return Event::kLine;
  pendingName_.assign(name);
  pendingValue_.assign(trimmedOWS(line.substr(colon + 1)));
  for (char& c : pendingValue_) {
    if (c == '\r') c = ' ';  // a bare CR would end the line for some readers
  }
  hasPending_ = true;
  return Event::kLine;
}

HTTPHeaderFields HTTPHeaderParser::takeFields() {
  HTTPHeaderFields out = std::move(fields_);
  fields_ = HTTPHeaderFields();
  return out;
}

std::optional<std::string> requestHeaderLine(std::string_view name, std::string_view value) {
  if (!isHTTPToken(name) || !isSafeHeaderLine(name, value)) return std::nullopt;
  std::string line;
  line.reserve(name.size() + value.size() + 2);
  line.append(name);
  if (value.empty()) {
    line += ';';
  } else {
    line += ": ";
    line.append(value);
  }
  return line;
}

}  // namespace plat::detail
