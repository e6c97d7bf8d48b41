#pragma once
// plat::UIPasteboard: the general pasteboard, holding one string. In-process only: it is
// shared by everything in this process and forgotten when the process ends.
//
// Thread-safety: has internal synchronization; every operation may be called from any thread.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace plat {

class UIPasteboard {
 public:
  // The process-wide general pasteboard (created once, never destroyed).
  static UIPasteboard& generalPasteboard();

  UIPasteboard(const UIPasteboard&) = delete;
  UIPasteboard& operator=(const UIPasteboard&) = delete;

  // The string on the pasteboard; nullopt when it holds none.
  std::optional<std::string> string() const;
  // Replaces the pasteboard's content; nullopt empties it. Every call counts as a change.
  void setString(std::optional<std::string> text);
  bool hasStrings() const;
  // Grows by one with every change of content.
  int64_t changeCount() const;

  // Empties the pasteboard and restarts the change count.
  void resetForTesting();

 private:
  UIPasteboard() = default;

  mutable std::mutex mutex_;
  std::optional<std::string> string_;
  int64_t changeCount_ = 0;
};

}  // namespace plat
