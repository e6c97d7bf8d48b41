#pragma once
// Text helpers for property and key names. Each returns its argument unchanged when it is
// empty. Case changes apply to ASCII letters only; other bytes are kept as they are.
// Thread-safe (pure functions).

#include <string>
#include <string_view>

#include "platform/foundation/NSURL.h"

// "userName" -> "user_name", "URL" -> "_u_r_l".
std::string kv_underlineFromCamel(std::string_view text);
// "user_name" -> "userName", "a__b" -> "aB" (empty pieces add nothing).
std::string kv_camelFromUnderline(std::string_view text);
std::string kv_firstCharLower(std::string_view text);
std::string kv_firstCharUpper(std::string_view text);
// YES when the text, after leading white space, is an integer followed by nothing but white
// space ("42", " 42" and "42 " yes; "42a", "4.2" and "" no). Like the platform's scanner, a value too large for 32
// bits still scans.
bool kv_isPureInt(std::string_view text);
// A URL from text that may hold characters a URL cannot: every character other than ASCII
// letters, digits and "!$&'()*+,-./:;=?@_~%#[]" is percent-encoded as UTF-8 (existing %XX
// escapes survive), then the result is parsed. Null when it still does not parse.
plat::NSURLRef kv_url(std::string_view text);
