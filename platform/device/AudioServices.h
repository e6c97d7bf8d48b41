#pragma once
// System sounds. There is no speaker or vibration motor here: playing a system sound records
// its identifier, so tests and the host can see what was played.
//
// Thread-safety: has internal synchronization; any thread.

#include <cstdint>
#include <vector>

namespace plat {

using SystemSoundID = uint32_t;
// The identifier that makes the phone vibrate.
inline constexpr SystemSoundID kSystemSoundID_Vibrate = 4095;

void AudioServicesPlaySystemSound(SystemSoundID sound);

// The sounds played since the last reset, in order.
std::vector<SystemSoundID> AudioServicesPlayedSystemSounds();
void AudioServicesResetForTesting();

}  // namespace plat
