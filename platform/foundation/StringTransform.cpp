#include "platform/foundation/StringTransform.h"

#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <memory>
#include <vector>

namespace plat {

std::optional<std::string> applyStringTransform(std::string_view text, std::string_view transform) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Transliterator> transliterator(icu::Transliterator::createInstance(
      icu::UnicodeString::fromUTF8(icu::StringPiece(transform.data(), static_cast<int32_t>(transform.size()))),
      UTRANS_FORWARD, status));
  if (U_FAILURE(status) || !transliterator) return std::nullopt;

  // Decode with U+FFFD for every malformed sequence (fromUTF8 would do the same, but
  // u_strFromUTF8WithSub states it).
  int32_t length = 0;
  status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD,
                       nullptr, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::vector<UChar> units(static_cast<size_t>(length) + 1);
  status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(units.data(), length + 1, &length, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return std::nullopt;

  icu::UnicodeString value(units.data(), length);
  transliterator->transliterate(value);
  std::string out;
  value.toUTF8String(out);
  return out;
}

}  // namespace plat
