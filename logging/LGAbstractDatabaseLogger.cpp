#include "logging/LGAbstractDatabaseLogger.h"

#include <cmath>

#include "logging/LGDiagnostics.h"
#include "logging/LGLog.h"

namespace {

constexpr uint64_t kLeeway = plat::NSEC_PER_SEC;

// Longest span a timer takes: its nanoseconds fit a signed 64-bit integer.
constexpr double kMaxTimerSeconds = 9223372036.0;

// Nanoseconds of a timer span; spans beyond the longest (or not a number) become the longest,
// so no setting can overflow the conversion or make a timer fire at once.
uint64_t toNanoseconds(double seconds) {
  if (!(seconds < kMaxTimerSeconds)) seconds = kMaxTimerSeconds;
  if (seconds < 0) seconds = 0;
  return static_cast<uint64_t>(seconds * 1e9);
}

}  // namespace

LGAbstractDatabaseLogger::LGAbstractDatabaseLogger() = default;

LGAbstractDatabaseLogger::LGAbstractDatabaseLogger(std::string loggerName)
    : LGAbstractLogger(std::move(loggerName)) {}

LGAbstractDatabaseLogger::~LGAbstractDatabaseLogger() {
  auto destroy = [this] {
    destroySaveTimer();
    destroyDeleteTimer();
  };
  // (A logger whose queue was never made has no timers either.)
  if (!queueMade() || isOnInternalLoggerQueue()) {
    destroy();
  } else {
    plat::dispatch_sync(queue(), destroy);
  }
}

// ---- settings ------------------------------------------------------------------------------

void LGAbstractDatabaseLogger::applySetting(std::function<void(LGAbstractDatabaseLogger&)> change) {
  if (isOnInternalLoggerQueue()) {
    change(*this);
    return;
  }
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  auto me = std::static_pointer_cast<LGAbstractDatabaseLogger>(shared_from_this());
  applyOnLoggerQueue([me, change = std::move(change)] { change(*me); });
}

uint64_t LGAbstractDatabaseLogger::saveThreshold() { return readSetting(saveThreshold_); }
double LGAbstractDatabaseLogger::saveInterval() { return readSetting(saveInterval_); }
double LGAbstractDatabaseLogger::maxAge() { return readSetting(maxAge_); }
double LGAbstractDatabaseLogger::deleteInterval() { return readSetting(deleteInterval_); }
bool LGAbstractDatabaseLogger::deleteOnEverySave() { return readSetting(deleteOnEverySave_); }

void LGAbstractDatabaseLogger::setSaveThreshold(uint64_t threshold) {
  applySetting([threshold](LGAbstractDatabaseLogger& me) {
    if (me.saveThreshold_ == threshold) return;
    me.saveThreshold_ = threshold;
    if (threshold > 0 && me.unsavedCount_ >= threshold) me.performSaveAndSuspendSaveTimer();
  });
}

void LGAbstractDatabaseLogger::setSaveInterval(double seconds) {
  applySetting([seconds](LGAbstractDatabaseLogger& me) {
    if (std::isnan(seconds) || !(me.saveInterval_ != seconds)) return;  // NaN changes nothing
    me.saveInterval_ = seconds;
    if (seconds > 0) {
      if (!me.saveTimer_) me.createSuspendedSaveTimer();
      me.updateAndResumeSaveTimer();
    } else if (me.saveTimer_) {
      me.destroySaveTimer();
    }
  });
}

void LGAbstractDatabaseLogger::setMaxAge(double seconds) {
  applySetting([seconds](LGAbstractDatabaseLogger& me) {
    if (std::isnan(seconds) || !(me.maxAge_ != seconds)) return;  // NaN changes nothing
    double old = me.maxAge_;
    me.maxAge_ = seconds;
    if (old > 0 && seconds <= 0) {
      me.destroyDeleteTimer();
      return;
    }
    bool turnedOn = old <= 0 && seconds > 0;
    bool shortened = old > 0 && seconds > 0 && seconds < old;
    if (turnedOn || shortened) {
      me.performDelete();
      if (me.deleteTimer_) {
        me.updateDeleteTimer();
      } else {
        me.createAndStartDeleteTimer();
      }
    }
  });
}

void LGAbstractDatabaseLogger::setDeleteInterval(double seconds) {
  applySetting([seconds](LGAbstractDatabaseLogger& me) {
    if (std::isnan(seconds) || !(me.deleteInterval_ != seconds)) return;  // NaN changes nothing
    me.deleteInterval_ = seconds;
    if (seconds > 0) {
      if (me.deleteTimer_) {
        me.updateDeleteTimer();
      } else {
        me.createAndStartDeleteTimer();
      }
    } else {
      me.destroyDeleteTimer();
    }
  });
}

void LGAbstractDatabaseLogger::setDeleteOnEverySave(bool on) {
  applySetting([on](LGAbstractDatabaseLogger& me) { me.deleteOnEverySave_ = on; });
}

// ---- commands ------------------------------------------------------------------------------

void LGAbstractDatabaseLogger::savePendingLogEntries() {
  if (isOnInternalLoggerQueue()) {
    performSaveAndSuspendSaveTimer();
    return;
  }
  auto me = std::static_pointer_cast<LGAbstractDatabaseLogger>(shared_from_this());
  plat::dispatch_async(queue(), [me] { me->performSaveAndSuspendSaveTimer(); });
}

void LGAbstractDatabaseLogger::deleteOldLogEntries() {
  if (isOnInternalLoggerQueue()) {
    performDelete();
    return;
  }
  auto me = std::static_pointer_cast<LGAbstractDatabaseLogger>(shared_from_this());
  plat::dispatch_async(queue(), [me] { me->performDelete(); });
}

// ---- sink ----------------------------------------------------------------------------------

void LGAbstractDatabaseLogger::logMessage(const LGLogMessage& message) {
  if (!db_log(message)) return;
  ++unsavedCount_;
  bool first = unsavedCount_ == 1;
  if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) {
    performSaveAndSuspendSaveTimer();
    return;
  }
  if (first) {
    unsavedTime_ = plat::dispatch_time(plat::DISPATCH_TIME_NOW, 0);
    updateAndResumeSaveTimer();
  }
}

void LGAbstractDatabaseLogger::flush() {
  if (isOnInternalLoggerQueue()) {
    performSaveAndSuspendSaveTimer();
    return;
  }
  // From outside, the save runs on the logger's queue after every message queued before it,
  // never beside db_log.
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  LGLog::submitSync(
      [&] { plat::dispatch_sync(queue(), [this] { performSaveAndSuspendSaveTimer(); }); });
}

void LGAbstractDatabaseLogger::didAddLogger() {
  createSuspendedSaveTimer();
  createAndStartDeleteTimer();
}

void LGAbstractDatabaseLogger::willRemoveLogger() {
  performSaveAndSuspendSaveTimer();
  destroySaveTimer();
  destroyDeleteTimer();
}

// ---- steps ---------------------------------------------------------------------------------

void LGAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
  if (unsavedCount_ > 0) {
    if (deleteOnEverySave_) {
      db_saveAndDelete();
    } else {
      db_save();
    }
  }
  unsavedCount_ = 0;
  unsavedTime_ = 0;
  if (saveTimer_ && saveTimerSuspended_ == 0) {
    plat::dispatch_suspend(saveTimer_);
    saveTimerSuspended_ = 1;
  }
}

void LGAbstractDatabaseLogger::performDelete() {
  if (maxAge_ > 0) {
    db_delete();
    lastDeleteTime_ = plat::dispatch_time(plat::DISPATCH_TIME_NOW, 0);
  }
}

void LGAbstractDatabaseLogger::createSuspendedSaveTimer() {
  if (saveTimer_ || saveInterval_ <= 0) return;
  saveTimer_ = plat::dispatch_source_create(plat::DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue());
  auto weak = weakSelf();
  plat::dispatch_source_set_event_handler(saveTimer_, [weak] {
    if (auto me = weak.lock()) me->performSaveAndSuspendSaveTimer();
  });
  saveTimerSuspended_ = -1;
}

void LGAbstractDatabaseLogger::updateAndResumeSaveTimer() {
  if (!saveTimer_ || saveInterval_ <= 0 || unsavedTime_ == 0) return;
  uint64_t interval = toNanoseconds(saveInterval_);
  plat::dispatch_source_set_timer(saveTimer_,
                                  plat::dispatch_time(unsavedTime_, static_cast<int64_t>(interval)),
                                  interval, kLeeway);
  if (saveTimerSuspended_ == -1) {
    plat::dispatch_activate(saveTimer_);
    saveTimerSuspended_ = 0;
  } else if (saveTimerSuspended_ == 1) {
    plat::dispatch_resume(saveTimer_);
    saveTimerSuspended_ = 0;
  }
}

void LGAbstractDatabaseLogger::destroySaveTimer() {
  if (!saveTimer_) return;
  plat::dispatch_source_cancel(saveTimer_);
  if (saveTimerSuspended_ == -1) {
    plat::dispatch_activate(saveTimer_);
  } else if (saveTimerSuspended_ == 1) {
    plat::dispatch_resume(saveTimer_);
  }
  saveTimer_ = nullptr;
  saveTimerSuspended_ = 0;
}

void LGAbstractDatabaseLogger::createAndStartDeleteTimer() {
  if (deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) return;
  deleteTimer_ = plat::dispatch_source_create(plat::DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue());
  auto weak = weakSelf();
  plat::dispatch_source_set_event_handler(deleteTimer_, [weak] {
    if (auto me = weak.lock()) me->performDelete();
  });
  updateDeleteTimer();
  plat::dispatch_activate(deleteTimer_);
}

void LGAbstractDatabaseLogger::updateDeleteTimer() {
  if (!deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) return;
  uint64_t interval = toNanoseconds(deleteInterval_);
  plat::dispatch_time_t base =
      lastDeleteTime_ > 0 ? lastDeleteTime_ : plat::dispatch_time(plat::DISPATCH_TIME_NOW, 0);
  plat::dispatch_source_set_timer(
      deleteTimer_, plat::dispatch_time(base, static_cast<int64_t>(interval)), interval, kLeeway);
}

void LGAbstractDatabaseLogger::destroyDeleteTimer() {
  if (!deleteTimer_) return;
  plat::dispatch_source_cancel(deleteTimer_);
  deleteTimer_ = nullptr;
}
