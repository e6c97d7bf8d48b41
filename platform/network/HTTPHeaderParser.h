#pragma once
// Internal to plat_network: the header lines of HTTP/1.x messages as the transfer engine reads
// and writes them.
//
// HTTPHeaderParser reads the head of a response line by line, as libcurl hands the lines to
// its header callback, and refuses what would let the engine and libcurl disagree on where the
// body ends or which fields the answer has (RFC 9112 sections 5 and 6.3): Content-Length lines
// or list members that differ, a Content-Length that is not a number, white space between a
// field name and its colon, a folded line (obs-fold) with no field before it. A folded line
// joins the value of the field before it with one space, never a field of its own; a bare CR
// in a value reads as a space. One parser per response exchange; not thread-safe.
//
// requestHeaderLine writes one request field as libcurl takes it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network/NSURLRequest.h"

namespace plat::detail {

class HTTPHeaderParser {
 public:
  enum class Event {
    kLine,      // a status line, a field or a folded line: the head goes on
    kComplete,  // the empty line ending a final (non-1xx) head: status(), takeFields()
    kRefused,   // the head breaks the framing rules: refusal() says how
  };

  // Reads one line with its line end. Lines after a complete head (trailers) are ignored until
  // the next status line; a status line starts a new head (an interim one is replaced).
  Event addLine(std::string_view line);

  int64_t status() const { return status_; }
  const std::string& httpVersion() const { return httpVersion_; }
  // The fields of the complete head, in order, repeated names joined with ", ".
  HTTPHeaderFields takeFields();
  // The values of the complete head's Set-Cookie fields, one a line: they cannot be joined, as
  // a cookie's date holds a comma.
  std::vector<std::string> takeSetCookieLines() { return std::move(setCookies_); }
  // Why the head was refused, for a log line; empty when it was not.
  const std::string& refusal() const { return refusal_; }

 private:
  Event refuse(std::string why);
  // Adds the pending field to the fields; false when it breaks the Content-Length rules.
  bool commitPending();

  int64_t status_ = 0;
  std::string httpVersion_;
  HTTPHeaderFields fields_;
  std::vector<std::string> setCookies_;
  bool hasPending_ = false;
  std::string pendingName_;
  std::string pendingValue_;
  std::optional<uint64_t> contentLength_;
  bool complete_ = false;
  std::string refusal_;
};

// The request field `name: value` as a line for libcurl's list, or nullopt when it must be left
// out: a name that is not an RFC 9110 token, a name or value holding a line break or NUL. An
// empty value is written "name;" (libcurl reads "name:" as removing the field).
std::optional<std::string> requestHeaderLine(std::string_view name, std::string_view value);

// `text` with control characters written as \xNN, for one log line.
std::string escapedForLog(std::string_view text);

// Whether `name` is an RFC 9110 token (one or more tchar), and whether c is a tchar.
bool isHTTPToken(std::string_view name);
bool isHTTPTokenChar(char c);

}  // namespace plat::detail
