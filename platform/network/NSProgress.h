#pragma once
// plat::NSProgress: the progress of a piece of work as completed units of a total, with
// cancel, pause and resume requests handed to handlers, and observers of its values (the
// platform's key-value observation of "fractionCompleted", "completedUnitCount" and
// "totalUnitCount").
//
// Thread-safe: values may be set and read from any thread. Observers and handlers run
// synchronously on the thread that made the change, outside the progress's lock.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"

namespace plat {

class NSProgress : public Object {
 public:
  using Handler = std::function<void()>;
  // (progress, key path that changed)
  using Observer = std::function<void(NSProgress&, const std::string& keyPath)>;

  NSProgress();
  ~NSProgress() override;
  // A progress without parent and with the given total.
  static std::shared_ptr<NSProgress> progressWithTotalUnitCount(int64_t total);
  // The same with no parent (the platform's initWithParent:nil userInfo:nil).
  static std::shared_ptr<NSProgress> make() { return std::make_shared<NSProgress>(); }

  std::string className() const override { return "NSProgress"; }
  // "<NSProgress: 0x...> : Fraction completed: 0.5000 / Completed: 5 of 10"
  std::string description() const override;

  int64_t totalUnitCount() const;
  int64_t completedUnitCount() const;
  // Each set notifies the observers of the key and of "fractionCompleted" (also when the
  // value did not change, as the platform's observation does).
  void setTotalUnitCount(int64_t total);
  void setCompletedUnitCount(int64_t completed);
  // completed / total; 0 when the total is 0 or less (an unknown total). May exceed 1.
  double fractionCompleted() const;
  // total < 0 or (completed < 0 ...): the platform's "indeterminate".
  bool isIndeterminate() const;
  bool isFinished() const;

  bool isCancellable() const;
  void setCancellable(bool cancellable);
  bool isPausable() const;
  void setPausable(bool pausable);
  bool isCancelled() const;
  bool isPaused() const;

  // Marks the progress cancelled and calls the cancellation handler once (even when not
  // cancellable, as the platform does). Later calls do nothing.
  void cancel();
  // Marks the progress paused and calls the pausing handler (only when not already paused).
  void pause();
  // Clears the paused mark and calls the resuming handler (only when paused).
  void resume();
  void setCancellationHandler(Handler handler);
  void setPausingHandler(Handler handler);
  void setResumingHandler(Handler handler);

  // Observers of a key path ("fractionCompleted", "completedUnitCount", "totalUnitCount").
  // Returns a token for removeObserver. An unknown key path is never notified.
  uint64_t addObserver(std::string keyPath, Observer observer);
  void removeObserver(uint64_t token);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
using NSProgressRef = std::shared_ptr<NSProgress>;

}  // namespace plat
