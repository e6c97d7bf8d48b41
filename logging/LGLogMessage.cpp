#include "logging/LGLogMessage.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"

namespace {

size_t hashCombine(size_t h, size_t v) { return h ^ v; }

// ---- the pool of recurring texts ---------------------------------------------------------

// File paths, function names and queue labels of real call sites are short and few; these
// bounds keep a flood of distinct texts from growing the pool without end.
constexpr size_t kMaxPooledLength = 512;
constexpr size_t kMaxPooledTexts = 4096;

struct TextPool {
  std::mutex mu;
  // Keys view the owned texts, whose addresses never change.
  std::unordered_map<std::string_view, std::unique_ptr<const std::string>> texts;
  std::atomic<bool> full{false};
};

TextPool& textPool() {
  static TextPool* pool = new TextPool;
  return *pool;
}

// The pooled text equal to `s`, or nullptr when the pool cannot take it.
const std::string* pooledText(std::string_view s) {
  if (s.size() > kMaxPooledLength) return nullptr;
  // The texts this thread used last, compared by content: most calls end here, lock-free.
  thread_local std::array<const std::string*, 8> recent{};
  thread_local size_t nextSlot = 0;
  for (const std::string* t : recent) {
    if (t && t->size() == s.size() && std::memcmp(t->data(), s.data(), s.size()) == 0) return t;
  }
  TextPool& pool = textPool();
  const std::string* found = nullptr;
  {
    std::lock_guard<std::mutex> lock(pool.mu);
    if (auto it = pool.texts.find(s); it != pool.texts.end()) {
      found = it->second.get();
    } else if (!pool.full.load(std::memory_order_relaxed)) {
      auto owned = std::make_unique<const std::string>(s);
      found = owned.get();
      pool.texts.emplace(std::string_view(*found), std::move(owned));
      if (pool.texts.size() >= kMaxPooledTexts) pool.full.store(true, std::memory_order_relaxed);
    }
  }
  if (found) {
    recent[nextSlot] = found;
    nextSlot = (nextSlot + 1) % recent.size();
  }
  return found;
}

// The last path component of `file`, cut before its last ".".
std::string_view fileNameView(std::string_view file) {
  size_t slash = file.find_last_of('/');
  std::string_view name = slash == std::string_view::npos ? file : file.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return name;
}

// The calling thread's system id in decimal, read once per thread.
const std::string& currentThreadID() {
  thread_local const std::string id = [] {
    long tid = syscall(SYS_gettid);
    return tid > 0 ? std::to_string(static_cast<unsigned long long>(tid))
                   : std::string("missing threadId");
  }();
  return id;
}

}  // namespace

LGRecurringText::LGRecurringText(std::string_view text) : text_(pooledText(text)) {
  if (!text_) {
    own_ = std::make_unique<const std::string>(text);
    text_ = own_.get();
  }
}

LGRecurringText LGRecurringText::fileNameOf(const LGRecurringText& path) {
  if (!path.text_ || path.own_) return LGRecurringText(fileNameView(path.str()));
  // Pooled texts live as long as the process and are unique by content, so the pointer
  // stands for the path.
  thread_local const std::string* lastPath = nullptr;
  thread_local const std::string* lastName = nullptr;
  LGRecurringText name;
  if (path.text_ == lastPath && lastName) {
    name.text_ = lastName;
    return name;
  }
  name = LGRecurringText(fileNameView(*path.text_));
  if (!name.own_) {
    lastPath = path.text_;
    lastName = name.text_;
  }
  return name;
}

LGRecurringText::LGRecurringText(const LGRecurringText& other)
    : own_(other.own_ ? std::make_unique<const std::string>(*other.own_) : nullptr),
      text_(own_ ? own_.get() : other.text_) {}

LGRecurringText& LGRecurringText::operator=(const LGRecurringText& other) {
  if (this != &other) *this = LGRecurringText(other);
  return *this;
}

LGCallerFacts LGCurrentCallerFacts() {
  LGCallerFacts facts;
  facts.threadID = currentThreadID();
  facts.threadName = std::string(plat::currentThreadName());
  facts.queueLabel = plat::dispatch_queue_get_label(plat::DISPATCH_CURRENT_QUEUE_LABEL);
  facts.qos = plat::qos_class_self();
  return facts;
}

std::string LGLogMessage::fileNameFromPath(std::string_view file) {
  return std::string(fileNameView(file));
}

LGLogMessage::LGLogMessage(LGText message, uint64_t level, uint64_t flag, int64_t context,
                           std::string_view file, std::string_view function, uint64_t line,
                           plat::Value tag, int64_t options,
                           std::optional<plat::NSDate> timestamp)
    : message_(std::move(message)),  // texts are immutable: holding it is as good as a copy
      level_(level),
      flag_(flag),
      context_(context),
      file_(file),
      fileName_(LGRecurringText::fileNameOf(file_)),
      function_(function),
      line_(line),
      representedObject_(std::move(tag)),
      options_(options),
      timestamp_(timestamp ? timestamp : std::optional<plat::NSDate>(plat::NSDate::now())),
      threadID_(currentThreadID()),
      threadName_(plat::currentThreadName()),
      queueLabel_(plat::dispatch_current_queue_label_ref()),
      qos_(plat::qos_class_self()) {}

LGLogMessage LGLogMessage::withMessage(LGText message) const {
  LGLogMessage copy = *this;
  copy.message_ = std::move(message);
  return copy;
}

LGLogMessage LGLogMessage::withCallerFacts(LGCallerFacts facts) const {
  LGLogMessage copy = *this;
  copy.threadID_ = std::move(facts.threadID);
  copy.threadName_ = std::move(facts.threadName);
  copy.queueLabel_ = LGRecurringText(facts.queueLabel);
  copy.qos_ = facts.qos;
  return copy;
}

bool LGLogMessage::operator==(const LGLogMessage& o) const {
  bool textEqual = message_ == o.message_ || (message_ && o.message_ && *message_ == *o.message_);
  bool tagEqual = representedObject_ == o.representedObject_ ||
                  representedObject_.isIdenticalTo(o.representedObject_);
  return textEqual && level_ == o.level_ && flag_ == o.flag_ && context_ == o.context_ &&
         file() == o.file() && fileName() == o.fileName() && function() == o.function() &&
         line_ == o.line_ && tagEqual && options_ == o.options_ && timestamp_ == o.timestamp_ &&
         threadID_ == o.threadID_ && threadName_ == o.threadName_ &&
         queueLabel() == o.queueLabel() && qos_ == o.qos_;
}

size_t LGLogMessage::hash() const {
  std::hash<std::string> hs;
  std::hash<uint64_t> hu;
  size_t h = message_ ? hs(*message_) : 0;
  h = hashCombine(h, hu(level_));
  h = hashCombine(h, hu(flag_));
  h = hashCombine(h, hu(static_cast<uint64_t>(context_)));
  h = hashCombine(h, hs(file()));
  h = hashCombine(h, hs(fileName()));
  h = hashCombine(h, hs(function()));
  h = hashCombine(h, hu(line_));
  h = hashCombine(h, hs(representedObject_.description()));
  h = hashCombine(h, hu(static_cast<uint64_t>(options_)));
  h = hashCombine(h, timestamp_ ? hu(static_cast<uint64_t>(timestamp_->nanoseconds1970())) : 0);
  h = hashCombine(h, hs(threadID_));
  h = hashCombine(h, hs(threadName_));
  h = hashCombine(h, hs(queueLabel()));
  h = hashCombine(h, hu(qos_));
  return h;
}
