#include "ui/sticker/HVStickerDataManager.h"

#include "ui/sticker/NSString+emoji.h"

HVStickerDataManager& HVStickerDataManager::sharedInstance() {
  // Created once and never destroyed; the static's initialisation is thread-safe.
  static auto* manager = new HVStickerDataManager;
  return *manager;
}

HVStickerDataManager::HVStickerDataManager() { initEmojis(); }

const std::vector<std::string>& HVStickerDataManager::dataSource() {
  if (!hasDataSource_) {
    dataSource_ = {
        "\\uD83D\\uDE20", "\\uD83D\\uDE29", "\\uD83D\\uDE32", "\\uD83D\\uDE1E", "\\uD83D\\uDE35",
        "\\uD83D\\uDE30", "\\uD83D\\uDE0B", "\\uD83D\\uDE1D", "\\uD83D\\uDE1C", "\\uD83D\\uDE24",
        "\\uD83D\\uDE0D", "\\uD83D\\uDE12", "\\uD83D\\uDE18", "\\uD83D\\uDE1A", "\\uD83D\\uDE37",
        "\\uD83D\\uDE33", "\\uD83D\\uDE03", "\\uD83D\\uDE05", "\\uD83D\\uDE22", "\\uD83D\\uDE04",
        "\\uD83D\\uDE0A", "\\uD83D\\uDE01", "\\uD83D\\uDE06", "\\uD83D\\uDE2D", "\\uD83D\\uDE28",
        "\\uD83D\\uDE23", "\\uD83D\\uDE21", "\\uD83D\\uDE0C", "\\uD83D\\uDE16", "\\uD83D\\uDE25",
        "\\uD83D\\uDE13", "\\uD83D\\uDE0F", "\\uD83D\\uDE2A", "\\uD83D\\uDE31", "\\uD83D\\uDE14",
        "\\uD83D\\uDE2B", "\\uD83D\\uDE09"};
    hasDataSource_ = true;
  }
  return dataSource_;
}

void HVStickerDataManager::initEmojis() {
  std::vector<HVEmojiRef> emojis;
  for (const std::string& text : dataSource()) {
    auto emoji = std::make_shared<HVEmoji>();
    emoji->setText(text);
    emoji->setImage(NSString_emoji::emojiImage(text).value_or(""));
    emojis.push_back(std::move(emoji));
  }
  setAllEmojis(std::move(emojis));
}
