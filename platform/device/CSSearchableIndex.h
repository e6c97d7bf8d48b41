#pragma once
// The system search index, kept in memory for this process. Items are replaced by their
// unique identifier; every call is also written to a call log so tests can see what the
// application asked for (an empty batch is still a call).
//
// Thread-safety: has internal synchronization; any thread. Completions are posted to the
// main queue.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plat {

struct CSSearchableItemAttributeSet {
  std::optional<std::string> title;
  std::optional<std::string> contentDescription;
  std::optional<std::vector<std::string>> keywords;
};

struct CSSearchableItem {
  std::optional<std::string> uniqueIdentifier;
  std::optional<std::string> domainIdentifier;
  CSSearchableItemAttributeSet attributeSet;
};

class CSSearchableIndex {
 public:
  enum class Call { IndexItems, DeleteAll };
  struct LoggedCall {
    Call call;
    size_t itemCount;  // items handed over (IndexItems)
  };

  static CSSearchableIndex& defaultSearchableIndex();

  // Adds the items (an item with the identifier of a kept one replaces it; an item without
  // identifier is kept as it is).
  void indexSearchableItemsCompletionHandler(const std::vector<CSSearchableItem>& items,
                                             std::function<void()> completion = {});
  void deleteAllSearchableItemsWithCompletionHandler(std::function<void()> completion = {});

  std::vector<CSSearchableItem> items();
  std::vector<LoggedCall> callLog();
  void resetForTesting();

 private:
  CSSearchableIndex() = default;
  std::mutex mu_;
  std::vector<CSSearchableItem> items_;
  std::vector<LoggedCall> log_;
};

}  // namespace plat
