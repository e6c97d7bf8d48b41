#pragma once
// plat::HTTPDate: the one reader of dates that servers send, for the URL cache (Date, Expires,
// Last-Modified) and the cookie jar (the Expires attribute). Pure functions, any thread.
//
// Dates come back in seconds since 1970 (negative before it), as whole seconds.

#include <cstdint>
#include <optional>
#include <string_view>

namespace plat::HTTPDate {

// An HTTP-date in one of its three forms, read strictly: "Sun, 06 Nov 1994 08:49:37 GMT",
// the obsolete "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994". Names are
// case-sensitive, the weekday must be the date's, the date must exist (no "31 Feb"), and a
// second of 60 is taken only as a leap second (23:59:60). A two-digit year (the RFC 850 form,
// and one written in the first form) is the most recent year with those digits that is not
// more than 50 years after `now` (seconds since 1970). Surrounding blanks are ignored.
// nullopt when the text is none of these.
std::optional<int64_t> parse(std::string_view text, double now);

// A cookie's Expires attribute, read by the cookie date algorithm: the time, day, month and
// year are found among tokens in any order and other text is skipped; years 70-99 are 19xx
// and 00-69 20xx. nullopt when a part is missing, out of range, before 1601, or the date does
// not exist.
std::optional<int64_t> parseCookieDate(std::string_view text);

}  // namespace plat::HTTPDate
