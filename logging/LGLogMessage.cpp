#include "logging/LGLogMessage.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <functional>


namespace {

size_t hashCombine(size_t h, size_t v) { return h ^ v; }

}  // namespace

std::string LGLogMessage::fileNameFromPath(std::string_view file) {
  size_t slash = file.find_last_of('/');
  std::string_view name = slash == std::string_view::npos ? file : file.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return std::string(name);
}

LGLogMessage::LGLogMessage(LGText message, uint64_t level, uint64_t flag, int64_t context,
                           std::string file, std::string function, uint64_t line,
                           plat::Value tag, int64_t options,
                           std::optional<plat::NSDate> timestamp)
    : level_(level),
      flag_(flag),
      context_(context),
      file_(std::move(file)),
      function_(std::move(function)),
      line_(line),
      representedObject_(std::move(tag)),
      options_(options),
      timestamp_(timestamp ? timestamp : std::optional<plat::NSDate>(plat::NSDate::now())) {
  // Texts are immutable, so holding the caller's text is as good as a copy of it.
  message_ = std::move(message);
  fileName_ = fileNameFromPath(file_);
  LGCallerFacts facts = LGCurrentCallerFacts();
  threadID_ = std::move(facts.threadID);
  threadName_ = std::move(facts.threadName);
  queueLabel_ = std::move(facts.queueLabel);
  qos_ = facts.qos;
}

LGLogMessage LGLogMessage::withMessage(LGText message) const {
  LGLogMessage copy = *this;
  copy.message_ = std::move(message);
  return copy;
}

LGLogMessage LGLogMessage::withCallerFacts(LGCallerFacts facts) const {
  LGLogMessage copy = *this;
  copy.threadID_ = std::move(facts.threadID);
  copy.threadName_ = std::move(facts.threadName);
  copy.queueLabel_ = std::move(facts.queueLabel);
  copy.qos_ = facts.qos;
  return copy;
}

bool LGLogMessage::operator==(const LGLogMessage& o) const {
  bool textEqual = message_ == o.message_ || (message_ && o.message_ && *message_ == *o.message_);
  bool tagEqual = representedObject_ == o.representedObject_ ||
                  representedObject_.isIdenticalTo(o.representedObject_);
  return textEqual && level_ == o.level_ && flag_ == o.flag_ && context_ == o.context_ &&
         file_ == o.file_ && fileName_ == o.fileName_ && function_ == o.function_ &&
         line_ == o.line_ && tagEqual && options_ == o.options_ && timestamp_ == o.timestamp_ &&
         threadID_ == o.threadID_ && threadName_ == o.threadName_ &&
         queueLabel_ == o.queueLabel_ && qos_ == o.qos_;
}

size_t LGLogMessage::hash() const {
  std::hash<std::string> hs;
  std::hash<uint64_t> hu;
  size_t h = message_ ? hs(*message_) : 0;
  h = hashCombine(h, hu(level_));
  h = hashCombine(h, hu(flag_));
  h = hashCombine(h, hu(static_cast<uint64_t>(context_)));
  h = hashCombine(h, hs(file_));
  h = hashCombine(h, hs(fileName_));
  h = hashCombine(h, hs(function_));
  h = hashCombine(h, hu(line_));
  h = hashCombine(h, hs(representedObject_.description()));
  h = hashCombine(h, hu(static_cast<uint64_t>(options_)));
  h = hashCombine(h, timestamp_ ? hu(static_cast<uint64_t>(timestamp_->nanoseconds1970())) : 0);
  h = hashCombine(h, hs(threadID_));
  h = hashCombine(h, hs(threadName_));
  h = hashCombine(h, hs(queueLabel_));
  h = hashCombine(h, hu(qos_));
  return h;
}
