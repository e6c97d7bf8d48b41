#include "platform/device/CSSearchableIndex.h"

#include "platform/dispatch/Dispatch.h"

namespace plat {

CSSearchableIndex& CSSearchableIndex::defaultSearchableIndex() {
  static CSSearchableIndex* const index = new CSSearchableIndex();
  return *index;
}

void CSSearchableIndex::indexSearchableItemsCompletionHandler(
    const std::vector<CSSearchableItem>& items, std::function<void()> completion) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back({Call::IndexItems, items.size()});
    for (const auto& item : items) {
      bool replaced = false;
      if (item.uniqueIdentifier) {
        for (auto& kept : items_) {
          if (kept.uniqueIdentifier == item.uniqueIdentifier) {
            kept = item;
            replaced = true;
            break;
          }
        }
      }
      if (!replaced) items_.push_back(item);
    }
  }
  if (completion) dispatch_async(dispatch_get_main_queue(), std::move(completion));
}

void CSSearchableIndex::deleteAllSearchableItemsWithCompletionHandler(
    std::function<void()> completion) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back({Call::DeleteAll, 0});
    items_.clear();
  }
  if (completion) dispatch_async(dispatch_get_main_queue(), std::move(completion));
}

std::vector<CSSearchableItem> CSSearchableIndex::items() {
  std::lock_guard<std::mutex> lock(mu_);
  return items_;
}

std::vector<CSSearchableIndex::LoggedCall> CSSearchableIndex::callLog() {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

void CSSearchableIndex::resetForTesting() {
  std::lock_guard<std::mutex> lock(mu_);
  items_.clear();
  log_.clear();
}

}  // namespace plat
