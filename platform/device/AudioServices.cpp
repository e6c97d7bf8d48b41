#include "platform/device/AudioServices.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <deque>
#include <map>
#include <mutex>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSFileManager.h"

namespace plat {
namespace {

struct Sound {
  uint64_t serial = 0;  // tells a sound from a later one that got the same identifier
  double duration = 0;
  uint32_t isUISound = 0;
  AudioServicesSystemSoundCompletion completion;
};

struct State {
  std::mutex mu;
  std::deque<SystemSoundID> played;
  std::map<SystemSoundID, Sound> sounds;
  SystemSoundID nextID = kSystemSoundID_Vibrate + 2;
  uint64_t nextSerial = 1;
  bool ringerSilent = false;

  SystemSoundID takeID() {
    for (;;) {
      SystemSoundID id = nextID++;
      if (id == 0 || id == UINT32_MAX || id == kSystemSoundID_Vibrate) continue;
      if (!sounds.count(id)) return id;
    }
  }
};

State& state() {
  static State* const s = new State();
  return *s;
}

// The playing time of a sound file, or a negative value when libsndfile cannot read it.
double durationOf(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return -1;
  sf_close(file);
  if (info.samplerate <= 0 || info.frames < 0 || info.channels <= 0) return -1;
  return static_cast<double>(info.frames) / info.samplerate;
}

// Called on the main queue when a play of `sound` ends.
void ended(SystemSoundID sound, uint64_t serial) {
  AudioServicesSystemSoundCompletion completion;
  {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.sounds.find(sound);
    if (it == s.sounds.end() || it->second.serial != serial) return;
    completion = it->second.completion;
  }
  if (completion) completion(sound);
}

}  // namespace

void AudioServicesPlaySystemSound(SystemSoundID sound) {
  auto& s = state();
  double delay = 0;
  uint64_t serial = 0;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.played.push_back(sound);
    if (s.played.size() > kRecordedSystemSounds) s.played.pop_front();
    auto it = s.sounds.find(sound);
    if (it == s.sounds.end()) return;
    serial = it->second.serial;
    delay = s.ringerSilent ? 0 : it->second.duration;
  }
  auto end = [sound, serial] { ended(sound, serial); };
  if (delay <= 0) {
    dispatch_async(dispatch_get_main_queue(), end);
  } else {
    dispatch_after(dispatch_time_after_seconds(delay), dispatch_get_main_queue(), end);
  }
}

OSStatus AudioServicesCreateSystemSoundID(const std::string& path, SystemSoundID* outSound) {
  if (!outSound || !isValidFilePath(path)) return kAudioServicesSystemSoundUnspecifiedError;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return kAudioServicesSystemSoundUnspecifiedError;
  double duration = durationOf(path);
  if (duration < 0) return kAudioServicesSystemSoundUnspecifiedError;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  SystemSoundID id = s.takeID();
  Sound& sound = s.sounds[id];
  sound.serial = s.nextSerial++;
  sound.duration = duration;
  *outSound = id;
  return kAudioServicesNoError;
}

OSStatus AudioServicesDisposeSystemSoundID(SystemSoundID sound) {
  AudioServicesSystemSoundCompletion completion;  // released outside the lock
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.sounds.find(sound);
  if (it == s.sounds.end()) return kAudioServicesSystemSoundUnspecifiedError;
  completion = std::move(it->second.completion);
  s.sounds.erase(it);
  return kAudioServicesNoError;
}

OSStatus AudioServicesAddSystemSoundCompletion(SystemSoundID sound,
                                               AudioServicesSystemSoundCompletion completion) {
  auto& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  auto it = s.sounds.find(sound);
  if (it == s.sounds.end()) return kAudioServicesSystemSoundUnspecifiedError;
  std::swap(it->second.completion, completion);
  lock.unlock();  // the replaced completion goes outside the lock
  return kAudioServicesNoError;
}

void AudioServicesRemoveSystemSoundCompletion(SystemSoundID sound) {
  AudioServicesSystemSoundCompletion completion;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.sounds.find(sound);
  if (it != s.sounds.end()) completion = std::move(it->second.completion);
}

OSStatus AudioServicesSetProperty(AudioServicesPropertyID property, SystemSoundID sound,
                                  uint32_t value) {
  if (property != kAudioServicesPropertyIsUISound) return kAudioServicesUnsupportedPropertyError;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.sounds.find(sound);
  if (it == s.sounds.end()) return kAudioServicesSystemSoundUnspecifiedError;
  it->second.isUISound = value ? 1 : 0;
  return kAudioServicesNoError;
}

uint32_t AudioServicesGetProperty(AudioServicesPropertyID property, SystemSoundID sound) {
  if (property != kAudioServicesPropertyIsUISound) return 0;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.sounds.find(sound);
  return it == s.sounds.end() ? 0 : it->second.isUISound;
}

double AudioServicesSystemSoundDuration(SystemSoundID sound) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.sounds.find(sound);
  return it == s.sounds.end() ? -1 : it->second.duration;
}

void AudioServicesSetRingerSilent(bool silent) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().ringerSilent = silent;
}

bool AudioServicesRingerSilent() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().ringerSilent;
}

std::vector<SystemSoundID> AudioServicesPlayedSystemSounds() {
  std::lock_guard<std::mutex> lock(state().mu);
  return {state().played.begin(), state().played.end()};
}

void AudioServicesResetForTesting() {
  std::map<SystemSoundID, Sound> gone;  // completions released outside the lock
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.played.clear();
  gone.swap(s.sounds);
  s.ringerSilent = false;
}

}  // namespace plat
