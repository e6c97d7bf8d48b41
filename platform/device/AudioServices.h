#pragma once
// System sounds. There is no speaker or vibration motor here: playing a system sound records
// its identifier (the newest kRecordedSystemSounds plays), so tests and the host can see what
// was played.
//
// Sounds made from a file (read with libsndfile: WAV, AIFF, CAF and the other formats it
// knows) have a duration; playing one "ends" after that duration on plat::Clock, and the
// sound's completion, if one is registered, is then called on the main queue. While the
// ringer is silent (injectable; a Linux machine has none, so it starts off) nothing is heard
// and every sound ends at once, its completion still posted, never called inside the play.
//
// Thread-safety: has internal synchronization; any thread. Completions run on the main queue.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat {

using SystemSoundID = uint32_t;
using OSStatus = int32_t;
// The identifier that makes the phone vibrate.
inline constexpr SystemSoundID kSystemSoundID_Vibrate = 4095;

inline constexpr OSStatus kAudioServicesNoError = 0;
// The file is missing, not a plain file, or not a sound libsndfile reads.
inline constexpr OSStatus kAudioServicesSystemSoundUnspecifiedError = -1500;
// A property this stand-in does not know ('pty?').
inline constexpr OSStatus kAudioServicesUnsupportedPropertyError = 0x7074793f;

using AudioServicesPropertyID = uint32_t;
// Whether the sound is a user-interface sound (1) or not (0): 'isui'.
inline constexpr AudioServicesPropertyID kAudioServicesPropertyIsUISound = 0x69737569;

inline constexpr size_t kRecordedSystemSounds = 256;

// Plays `sound` (a sound made from a file, or one of the system's own identifiers).
void AudioServicesPlaySystemSound(SystemSoundID sound);

// Makes a sound from the file at `path` into *outSound. Returns kAudioServicesNoError, or
// kAudioServicesSystemSoundUnspecifiedError for a path holding a NUL, a missing file, one that
// is not a plain file (checked before it is opened, so a named pipe never blocks) or one that
// is not a readable sound with a positive sample rate; *outSound is then left as it was.
// Identifiers handed out are never 0, never all bits set and never kSystemSoundID_Vibrate.
OSStatus AudioServicesCreateSystemSoundID(const std::string& path, SystemSoundID* outSound);
// Forgets the sound and its completion; a play of it still under way ends silently.
// kAudioServicesSystemSoundUnspecifiedError for an identifier made from no file.
OSStatus AudioServicesDisposeSystemSoundID(SystemSoundID sound);

using AudioServicesSystemSoundCompletion = std::function<void(SystemSoundID sound)>;
// Registers (replacing) the completion called on the main queue each time a play of `sound`
// ends. kAudioServicesSystemSoundUnspecifiedError for an identifier made from no file.
OSStatus AudioServicesAddSystemSoundCompletion(SystemSoundID sound,
                                               AudioServicesSystemSoundCompletion completion);
void AudioServicesRemoveSystemSoundCompletion(SystemSoundID sound);
// Sets a property of a sound made from a file; only kAudioServicesPropertyIsUISound is known
// (kAudioServicesUnsupportedPropertyError for another; the unspecified error for an unknown
// sound).
OSStatus AudioServicesSetProperty(AudioServicesPropertyID property, SystemSoundID sound,
                                  uint32_t value);
// The property's value, or 0 for an unknown sound or property.
uint32_t AudioServicesGetProperty(AudioServicesPropertyID property, SystemSoundID sound);

// The playing time of a sound made from a file in seconds, or a negative value for another
// identifier.
double AudioServicesSystemSoundDuration(SystemSoundID sound);

// The ringer switch: while silent, sounds end at once.
void AudioServicesSetRingerSilent(bool silent);
bool AudioServicesRingerSilent();

// The newest sounds played since the last reset, in order.
std::vector<SystemSoundID> AudioServicesPlayedSystemSounds();
// Forgets the plays, every sound made from a file with its completion, and the ringer (not
// silent); plays under way end silently.
void AudioServicesResetForTesting();

}  // namespace plat
