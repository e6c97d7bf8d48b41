#pragma once
// LGAbstractDatabaseLogger: the base of sinks that keep messages in a store of their own.
// Subclasses store through four hooks; the base decides when: it saves after saveThreshold
// unsaved entries or saveInterval seconds after the first unsaved one, whichever comes
// first, and deletes entries older than maxAge at start, every deleteInterval and on demand.
// The base's hooks store nothing, so the base class itself never saves.
//
// Threading: hooks, timers and every internal step run on the logger's own queue. Settings
// are read through the global logging queue and the logger's queue (not callable on either);
// they are written inline on the logger's queue and otherwise asynchronously through both
// queues (not callable on the global logging queue). Timers follow plat::Clock.

#include <cstdint>

#include "logging/LGAbstractLogger.h"
#include "platform/dispatch/Dispatch.h"

class LGAbstractDatabaseLogger : public LGAbstractLogger {
 public:
  ~LGAbstractDatabaseLogger() override;

  // Hooks for subclasses (on the logger's queue).
  // Keeps the message as an unsaved entry; true when it was taken. Base: false.
  virtual bool db_log(const LGLogMessage& message) { return false; }
  virtual void db_save() {}
  virtual void db_delete() {}
  // Used instead of db_save when deleteOnEverySave is on.
  virtual void db_saveAndDelete() {}

  uint64_t saveThreshold();
  void setSaveThreshold(uint64_t threshold);
  double saveInterval();
  void setSaveInterval(double seconds);
  double maxAge();
  void setMaxAge(double seconds);
  double deleteInterval();
  void setDeleteInterval(double seconds);
  bool deleteOnEverySave();
  void setDeleteOnEverySave(bool on);

  // Save now / delete now: inline on the logger's queue, otherwise submitted to it.
  void savePendingLogEntries();
  void deleteOldLogEntries();

  // LGLogger
  void logMessage(const LGLogMessage& message) override;
  // Saves: inline on the logger's queue (where the hub calls it); from elsewhere on that
  // queue, after every message queued before it, waiting for the save.
  // REQUIRES: not on the global logging queue.
  void flush() override;
  void didAddLogger() override;
  void willRemoveLogger() override;

 protected:
  // No name: loggerName() is the subclass's class name, which also labels the queue.
  LGAbstractDatabaseLogger();
  explicit LGAbstractDatabaseLogger(std::string loggerName);

  // Steps on the logger's queue.
  void performSaveAndSuspendSaveTimer();
  void performDelete();
  void createSuspendedSaveTimer();
  void updateAndResumeSaveTimer();
  void destroySaveTimer();
  void createAndStartDeleteTimer();
  void updateDeleteTimer();
  void destroyDeleteTimer();

  // Touched only on the logger's queue.
  uint64_t saveThreshold_ = 500;
  double saveInterval_ = 60;
  double maxAge_ = 60 * 60 * 24 * 7;
  double deleteInterval_ = 60 * 5;
  bool deleteOnEverySave_ = false;
  uint64_t unsavedCount_ = 0;
  plat::dispatch_time_t unsavedTime_ = 0;
  plat::DispatchSourceRef saveTimer_;
  int64_t saveTimerSuspended_ = 0;  // -1 created, never started; 0 running; 1 suspended
  plat::dispatch_time_t lastDeleteTime_ = 0;
  plat::DispatchSourceRef deleteTimer_;

 private:
  template <class T>
  T readSetting(const T& field) {
    T result{};
    readOnLoggerQueue([&] { result = field; });
    return result;
  }
  void applySetting(std::function<void(LGAbstractDatabaseLogger&)> change);
  std::weak_ptr<LGAbstractDatabaseLogger> weakSelf() {
    return std::static_pointer_cast<LGAbstractDatabaseLogger>(shared_from_this());
  }
};
