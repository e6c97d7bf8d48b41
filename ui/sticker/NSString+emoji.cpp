#include "ui/sticker/NSString+emoji.h"

#include "platform/foundation/NonLossyASCII.h"

std::string NSString_emoji::emojiText(std::string_view text) {
  return plat::nonLossyASCIIEncode(text);
}

std::optional<std::string> NSString_emoji::emojiImage(std::string_view text) {
  return plat::nonLossyASCIIDecode(text.substr(0, text.find('\0')));
}
