#pragma once
// plat::applyStringTransform: the platform's string transforms (the transliterations of
// CFStringTransform / NSString applyingTransform), backed by ICU's transliterators.
//
// Thread-safe.

#include <optional>
#include <string>
#include <string_view>

namespace plat {

// `text` (UTF-8) run through the transform named by the ICU transliterator id `transform`
// (for example "Any-Latin; Latin-ASCII; [:^ASCII:] Remove"). Malformed UTF-8 sequences are
// read as U+FFFD. Returns nullopt when the transform id is not understood.
std::optional<std::string> applyStringTransform(std::string_view text, std::string_view transform);

}  // namespace plat
