#pragma once
// MuteChecker: tells whether sound is muted by timing a short system sound, the "MuteChecker"
// sound of type "caf" in the "Lumora" resource bundle. A muted device ends the sound at once;
// one that plays it takes the sound's length. Each check plays the sound once (a check within
// a second of the last play is ignored) and, when the sound ends, calls the completion with
// the seconds it took and whether that was 0.1 seconds or less (muted).
//
// Main thread only; the completion is called on the main queue.

#include <functional>
#include <memory>
#include <optional>

#include "platform/device/AudioServices.h"
#include "platform/foundation/Object.h"

class MuteChecker : public plat::Object {
 public:
  using CompletionBlock = std::function<void(double elapsed, bool muted)>;

  // A checker whose sound comes from the "Lumora" bundle. Without the sound ("error setting
  // up Sound ID" in the log) checks play nothing and the completion is never called.
  static std::shared_ptr<MuteChecker> initWithCompletionBlk(CompletionBlock completion);
  ~MuteChecker() override;
  std::string className() const override { return "MuteChecker"; }

  // Plays the sound, unless the last play began 1 second ago or less.
  void check();
  void playMuteSound();
  // The sound has ended: reports the time since the play began.
  void completed();

  // All bits set while no sound has been made.
  plat::SystemSoundID soundId() const { return soundId_; }
  std::optional<double> startTime() const { return startTime_; }

 private:
  plat::SystemSoundID soundId_ = UINT32_MAX;
  CompletionBlock completionBlk_;
  std::optional<double> startTime_;
};
