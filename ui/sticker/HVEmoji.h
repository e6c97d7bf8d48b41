#pragma once
// HVEmoji: one emoji of the sticker keyboard: the character itself (`image`) and its escaped
// code text (`text`, "\uD83D\uDE20" style). Main thread only.

#include <memory>
#include <string>

#include "platform/foundation/Object.h"

class HVEmoji : public plat::Object {
 public:
  std::string className() const override { return "HVEmoji"; }
  const std::string& image() const { return image_; }
  void setImage(std::string image) { image_ = std::move(image); }
  const std::string& text() const { return text_; }
  void setText(std::string text) { text_ = std::move(text); }

 private:
  std::string image_;
  std::string text_;
};

using HVEmojiRef = std::shared_ptr<HVEmoji>;
