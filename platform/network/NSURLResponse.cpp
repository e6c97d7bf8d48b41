#include "platform/network/NSURLResponse.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace plat {

namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

// "text/html; charset=UTF-8" -> ("text/html", "UTF-8").
std::pair<std::string, std::string> parseContentType(const std::string& value) {
  size_t semi = value.find(';');
  std::string type = lower(trim(std::string_view(value).substr(0, semi)));
  std::string charset;
  while (semi != std::string::npos) {
    size_t next = value.find(';', semi + 1);
    std::string param = trim(std::string_view(value).substr(
        semi + 1, next == std::string::npos ? std::string::npos : next - semi - 1));
    size_t eq = param.find('=');
    if (eq != std::string::npos && lower(trim(param.substr(0, eq))) == "charset") {
      charset = trim(param.substr(eq + 1));
      if (charset.size() >= 2 && charset.front() == '"' && charset.back() == '"') {
        charset = charset.substr(1, charset.size() - 2);
      }
    }
    semi = next;
  }
  return {type, charset};
}

// The body is delivered decoded (the session asks for any content encoding), so the length of
// an encoded body says nothing about the bytes the receiver will count.
bool bodyIsEncoded(const HTTPHeaderFields& headers) {
  auto enc = headers.get("Content-Encoding");
  if (!enc) return false;
  std::string v = lower(*enc);
  v.erase(std::remove_if(v.begin(), v.end(), [](char c) { return c == ' ' || c == '\t'; }),
          v.end());
  return !v.empty() && v != "identity";
}

int64_t parseLength(const std::optional<std::string>& value) {
  if (!value) return NSURLResponseUnknownLength;
  std::string t = trim(*value);
  if (t.empty()) return NSURLResponseUnknownLength;
  for (char c : t) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return NSURLResponseUnknownLength;
  }
  errno = 0;
  long long v = std::strtoll(t.c_str(), nullptr, 10);
  return errno ? NSURLResponseUnknownLength : v;
}

std::string addressOf(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

}  // namespace

NSURLResponse::NSURLResponse(std::string url, std::string MIMEType, int64_t expectedContentLength,
                             std::string textEncodingName)
    : url_(std::move(url)),
      mimeType_(std::move(MIMEType)),
      expectedContentLength_(expectedContentLength < 0 ? NSURLResponseUnknownLength
                                                       : expectedContentLength),
      textEncodingName_(std::move(textEncodingName)) {}

std::string NSURLResponse::description() const {
  return "<" + className() + ": " + addressOf(this) + "> { URL: " + url_ + " }";
}

std::string NSURLResponse::suggestedFilename() const {
  std::string path = url_;
  size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? "" : path.substr(slash);
  }
  size_t cut = path.find_first_of("?#");
  if (cut != std::string::npos) path.resize(cut);
  while (!path.empty() && path.back() == '/') path.pop_back();
  size_t last = path.rfind('/');
  std::string name = last == std::string::npos ? path : path.substr(last + 1);
  return name.empty() ? "Unknown" : name;
}

NSHTTPURLResponse::NSHTTPURLResponse(std::string url, int64_t statusCode, std::string HTTPVersion,
                                     HTTPHeaderFields headers)
    : NSURLResponse(std::move(url),
                    parseContentType(headers.get("Content-Type").value_or("")).first,
                    bodyIsEncoded(headers) || headers.get("Transfer-Encoding")
                        ? NSURLResponseUnknownLength
                        : parseLength(headers.get("Content-Length")),
                    parseContentType(headers.get("Content-Type").value_or("")).second),
      statusCode_(statusCode),
      httpVersion_(std::move(HTTPVersion)),
      headers_(std::move(headers)) {}

std::string NSHTTPURLResponse::description() const {
  std::string s = "<" + className() + ": " + addressOf(this) + "> { URL: " + URL() +
                  " } { Status Code: " + std::to_string(statusCode_) + ", Headers {\n";
  for (auto& [k, v] : headers_.fields()) s += "    \"" + k + "\" = \"" + v + "\";\n";
  return s + "} }";
}

std::string NSHTTPURLResponse::localizedStringForStatusCode(int64_t code) {
  switch (code) {
    case 100:
      return "continue";
    case 101:
      return "switching protocols";
    case 200:
      return "no error";
    case 201:
      return "created";
    case 202:
      return "accepted";
    case 203:
      return "non-authoritative information";
    case 204:
      return "no content";
    case 205:
      return "reset content";
    case 206:
      return "partial content";
    case 300:
      return "multiple choices";
    case 301:
      return "moved permanently";
    case 302:
      return "found";
    case 303:
      return "see other";
    case 304:
      return "not modified";
    case 305:
      return "needs proxy";
    case 307:
      return "temporarily redirected";
    case 308:
      return "permanent redirect";
    case 400:
      return "bad request";
    case 401:
      return "unauthorized";
    case 402:
      return "payment required";
    case 403:
      return "forbidden";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 406:
      return "unacceptable";
    case 407:
      return "proxy authentication required";
    case 408:
      return "request timed out";
    case 409:
      return "conflict";
    case 410:
      return "no longer exists";
    case 411:
      return "length required";
    case 412:
      return "precondition failed";
    case 413:
      return "request too large";
    case 414:
      return "requested URL too long";
    case 415:
      return "unsupported media type";
    case 416:
      return "requested range not satisfiable";
    case 417:
      return "expectation failed";
    case 422:
      return "unprocessable entity";
    case 429:
      return "too many requests";
    case 500:
      return "internal server error";
    case 501:
      return "unimplemented";
    case 502:
      return "bad gateway";
    case 503:
      return "service unavailable";
    case 504:
      return "gateway timed out";
    case 505:
      return "unsupported version";
    default:
      break;
  }
  if (code >= 100 && code < 200) return "informational";
  if (code >= 200 && code < 300) return "success";
  if (code >= 300 && code < 400) return "redirected";
  if (code >= 400 && code < 500) return "client error";
  return "server error";
}

}  // namespace plat
