#include "platform/device/AudioServices.h"

#include <mutex>

namespace plat {
namespace {

struct Played {
  std::mutex mu;
  std::vector<SystemSoundID> sounds;
};

Played& played() {
  static Played* const p = new Played();
  return *p;
}

}  // namespace

void AudioServicesPlaySystemSound(SystemSoundID sound) {
  std::lock_guard<std::mutex> lock(played().mu);
  played().sounds.push_back(sound);
}

std::vector<SystemSoundID> AudioServicesPlayedSystemSounds() {
  std::lock_guard<std::mutex> lock(played().mu);
  return played().sounds;
}

void AudioServicesResetForTesting() {
  std::lock_guard<std::mutex> lock(played().mu);
  played().sounds.clear();
}

}  // namespace plat
