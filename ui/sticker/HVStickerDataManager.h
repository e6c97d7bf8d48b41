#pragma once
// HVStickerDataManager: the fixed list of 37 face emoji offered by the sticker keyboard.
// sharedInstance may be called from any thread (created once); the rest is main thread only.

#include <memory>
#include <string>
#include <vector>

#include "ui/sticker/HVEmoji.h"

class HVStickerDataManager {
 public:
  // The one manager, created on the first call.
  static HVStickerDataManager& sharedInstance();

  HVStickerDataManager();
  HVStickerDataManager(const HVStickerDataManager&) = delete;
  HVStickerDataManager& operator=(const HVStickerDataManager&) = delete;

  // Builds allEmojis from dataSource, in table order.
  void initEmojis();
  const std::vector<HVEmojiRef>& allEmojis() const { return allEmojis_; }
  void setAllEmojis(std::vector<HVEmojiRef> emojis) { allEmojis_ = std::move(emojis); }
  // The escaped code texts of the table, created on first read.
  const std::vector<std::string>& dataSource();
  void setDataSource(std::vector<std::string> texts) {
    dataSource_ = std::move(texts);
    hasDataSource_ = true;
  }

 private:
  std::vector<HVEmojiRef> allEmojis_;
  std::vector<std::string> dataSource_;
  bool hasDataSource_ = false;
};
