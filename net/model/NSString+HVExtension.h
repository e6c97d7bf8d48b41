#pragma once
// Text helpers for property and key names. Each returns its argument unchanged when it is
// empty. Case changes apply to ASCII letters only; other bytes are kept as they are.
// Thread-safe (pure functions).

#include <string>
#include <string_view>

// "userName" -> "user_name", "URL" -> "_u_r_l".
std::string kv_underlineFromCamel(std::string_view text);
// "user_name" -> "userName", "a__b" -> "aB" (empty pieces add nothing).
std::string kv_camelFromUnderline(std::string_view text);
std::string kv_firstCharLower(std::string_view text);
std::string kv_firstCharUpper(std::string_view text);
// YES when the text, after leading white space, is an integer and nothing else ("42" and
// " 42" yes; "42a", "4.2" and "" no). Like the platform's scanner, a value too large for 32
// bits still scans.
bool kv_isPureInt(std::string_view text);
