#include "logging/LGASLLogCapture.h"

#include <sys/time.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "logging/LGLog.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Format.h"
#include "platform/oslog/Notify.h"

namespace {

constexpr const char* kLGLogKey = "LGLog";

std::atomic<bool> gStopped{true};
std::atomic<uint64_t> gCaptureLevel{LGLogFlagError | LGLogFlagWarning | LGLogFlagInfo |
                                    LGLogFlagDebug | LGLogFlagVerbose};
// Raised by every start; a capture whose generation is no longer current ends.
std::atomic<uint64_t> gGeneration{0};
// Held by a capture's wake-up from its generation check until it has fed what it read into
// the hub, so the wake-ups of an older and a newer capture never overlap.
std::mutex gCaptureMu;
// The number of the last store message fed into the hub since the latest start: an older
// capture may still have been reading when a newer one started, and the newer one goes on
// after what it fed. (What was fed before the start is covered by the store's last number,
// taken by start after clearing this.)
std::atomic<unsigned long long> gLastFed{0};

int64_t readInteger(const plat::ASLMessage& message, const char* key, int64_t fallback) {
  const std::string* v = message.get(key);
  return v ? plat::Value(*v).longLongValue() : fallback;
}

}  // namespace

void LGASLLogCapture::start() {
  bool expected = true;
  if (!gStopped.compare_exchange_strong(expected, false)) return;
  uint64_t generation = ++gGeneration;
  gLastFed = 0;
  // The capture covers what is saved from this call on, however late its queue runs it.
  uint64_t lastSeen = plat::ASLStore::shared().lastMessageID();
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  auto startTime = static_cast<uint64_t>(tv.tv_sec);
  plat::dispatch_async(
      plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_DEFAULT),
      [generation, startTime, lastSeen] { captureAslLogs(generation, startTime, lastSeen); });
}

void LGASLLogCapture::stop() { gStopped = true; }

uint64_t LGASLLogCapture::captureLevel() { return gCaptureLevel.load(); }

void LGASLLogCapture::setCaptureLevel(uint64_t level) { gCaptureLevel = level; }

void LGASLLogCapture::configureAslQuery(plat::ASLQuery& query) {
  query.setQuery(plat::ASL_KEY_LEVEL, "7", plat::ASLQueryOp::NumericLessEqual);
  query.setQuery(kLGLogKey, "1", plat::ASLQueryOp::NotEqual);
}

uint64_t LGASLLogCapture::flagForStoreLevel(int64_t level) {
  switch (level) {
    case 0:
    case 1:
    case 2:
      return LGLogFlagError;
    case 3:
      return LGLogFlagWarning;
    case 4:
      return LGLogFlagInfo;
    case 5:
      return LGLogFlagDebug;
    default:
      return LGLogFlagVerbose;
  }
}

void LGASLLogCapture::captureAslLogs(uint64_t generation, uint64_t startSeconds,
                                     uint64_t lastSeenAtStart) {
  auto startTime = static_cast<unsigned long long>(startSeconds);
  // Messages already in the store are not this capture's: without this, a capture started
  // again within the same second as an earlier one would read that one's messages again.
  auto lastSeen = std::make_shared<unsigned long long>(lastSeenAtStart);
  // A serial queue of high priority: deliveries of this capture never overlap.
  plat::DispatchQueueRef queue = plat::dispatch_queue_create(
      "vestrel.aslCapture", plat::dispatch_queue_attr_make_with_qos_class(
                                plat::DISPATCH_QUEUE_SERIAL, plat::QOS_CLASS_USER_INITIATED, 0));
  int token = 0;
  plat::notify_register_dispatch(
      plat::kNotifyASLMessage, &token, queue, [generation, startTime, lastSeen](int token) {
        std::lock_guard<std::mutex> lock(gCaptureMu);
        if (gGeneration.load() != generation) {
          // A newer capture has taken over.
          plat::notify_cancel(token);
          return;
        }
        if (unsigned long long fed = gLastFed.load(); fed > *lastSeen) *lastSeen = fed;
        plat::ASLQuery query;
        if (*lastSeen > 0) {
          query.setQuery(plat::ASL_KEY_MSG_ID, plat::format("%llu", *lastSeen),
                         plat::ASLQueryOp::NumericGreater);
        } else {
          query.setQuery(plat::ASL_KEY_TIME, plat::format("%llu", startTime),
                         plat::ASLQueryOp::NumericGreaterEqual);
        }
        configureAslQuery(query);
        // Every message up to the store's newest at this point is read by the search, the
        // ones it leaves out included (the legacy logger's own): the next notice goes on
        // after it, so nothing is read twice, however many messages the query skips.
        unsigned long long newest = plat::ASLStore::shared().lastMessageID();
        for (const plat::ASLMessage& message : plat::ASLStore::shared().search(query)) {
          aslMessageReceived(message);
          *lastSeen =
              static_cast<unsigned long long>(readInteger(message, plat::ASL_KEY_MSG_ID, 0));
          gLastFed = *lastSeen;
        }
        if (newest > *lastSeen) {
          *lastSeen = newest;
          gLastFed = newest;
        }
        if (gStopped.load()) plat::notify_cancel(token);
      });
}

void LGASLLogCapture::aslMessageReceived(const plat::ASLMessage& message) {
  const std::string* text = message.get(plat::ASL_KEY_MSG);
  if (!text) return;
  uint64_t flag = flagForStoreLevel(readInteger(message, plat::ASL_KEY_LEVEL, 0));
  uint64_t level = gCaptureLevel.load();
  if (!(level & flag)) return;
  // "Time" is a decimal number of seconds (a fraction kept); times beyond the date range
  // saturate at its ends instead of overflowing.
  const std::string* time = message.get(plat::ASL_KEY_TIME);
  plat::NSDate timestamp =
      time ? plat::NSDate::dateWithTimeIntervalSince1970(plat::Value(*time).doubleValue())
           : plat::NSDate::now();
  double nanos = static_cast<double>(readInteger(message, plat::ASL_KEY_TIME_NSEC, 0));
  if (nanos != 0) timestamp = timestamp.dateByAddingTimeInterval(nanos / 1e9);
  LGLogMessage logMessage(LGMakeText(*text), level, flag, 0, kCaptureFileName, std::string(), 0,
                          plat::Value(), 0, timestamp);
  LGLog::logMessage(flag != LGLogFlagError, std::move(logMessage));
}
