#include "KRH5Plugin/MuteChecker.h"

#include "platform/dispatch/Clock.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"

namespace {

constexpr double kMutedAtMost = 0.1;
constexpr double kPlayAtMostEvery = 1.0;

// The sound's path inside the "Lumora" bundle, or "" without one.
std::string soundPath() {
  std::string bundlePath = plat::NSBundle::mainBundle()->pathForResourceOfType("Lumora", "bundle");
  auto bundle = bundlePath.empty() ? nullptr : plat::NSBundle::bundleWithPath(bundlePath);
  return bundle ? bundle->pathForResourceOfType("MuteChecker", "caf") : "";
}

}  // namespace

std::shared_ptr<MuteChecker> MuteChecker::initWithCompletionBlk(CompletionBlock completion) {
  auto checker = std::make_shared<MuteChecker>();
  std::string path = soundPath();
  plat::SystemSoundID id = UINT32_MAX;
  if (path.empty() ||
      plat::AudioServicesCreateSystemSoundID(path, &id) != plat::kAudioServicesNoError) {
    plat::NSLog("error setting up Sound ID");
    return checker;
  }
  checker->soundId_ = id;
  std::weak_ptr<MuteChecker> weak = checker;
  plat::AudioServicesAddSystemSoundCompletion(id, [weak](plat::SystemSoundID) {
    if (auto c = weak.lock()) c->completed();
  });
  plat::AudioServicesSetProperty(plat::kAudioServicesPropertyIsUISound, id, 1);
  checker->completionBlk_ = std::move(completion);
  return checker;
}

MuteChecker::~MuteChecker() {
  if (soundId_ == UINT32_MAX) return;
  plat::AudioServicesRemoveSystemSoundCompletion(soundId_);
  plat::AudioServicesDisposeSystemSoundID(soundId_);
}

void MuteChecker::check() {
  if (startTime_ && plat::Clock::nowSeconds() - *startTime_ <= kPlayAtMostEvery) return;
  playMuteSound();
}

void MuteChecker::playMuteSound() {
  startTime_ = plat::Clock::nowSeconds();
  plat::AudioServicesPlaySystemSound(soundId_);
}

void MuteChecker::completed() {
  if (!startTime_) return;
  double elapsed = plat::Clock::nowSeconds() - *startTime_;
  if (completionBlk_) completionBlk_(elapsed, elapsed <= kMutedAtMost);
}
