#include "platform/device/UIPasteboard.h"

namespace plat {

UIPasteboard& UIPasteboard::generalPasteboard() {
  static UIPasteboard* const board = new UIPasteboard();
  return *board;
}

std::optional<std::string> UIPasteboard::string() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return string_;
}

void UIPasteboard::setString(std::optional<std::string> text) {
  std::lock_guard<std::mutex> lock(mutex_);
  string_ = std::move(text);
  ++changeCount_;
}

bool UIPasteboard::hasStrings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return string_.has_value();
}

int64_t UIPasteboard::changeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return changeCount_;
}

void UIPasteboard::resetForTesting() {
  std::lock_guard<std::mutex> lock(mutex_);
  string_.reset();
  changeCount_ = 0;
}

}  // namespace plat
