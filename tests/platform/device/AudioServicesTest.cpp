// System sounds made from files: their duration, completions on the virtual clock, the silent
// ringer, disposal, identifiers, and files that are no sound.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

#include "platform/device/AudioServices.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

// A mono 16-bit PCM WAV file of `frames` silent frames at `rate` Hz.
std::string wav(uint32_t frames, uint32_t rate) {
  auto u32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  auto u16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  uint32_t bytes = frames * 2;
  return "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(rate) +
         u32(rate * 2) + u16(2) + u16(16) + "data" + u32(bytes) + std::string(bytes, '\0');
}

struct SystemSounds : ::testing::Test {
  testing_device::TempDeviceRoot root;
  testing_loop::VirtualClockScope clock;
  std::vector<std::pair<SystemSoundID, double>> ends;

  void TearDown() override {
    AudioServicesResetForTesting();
    testing_loop::runUntilIdle();
  }
  std::string file(const std::string& name, const std::string& bytes) {
    std::string path = root.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  SystemSoundID make(const std::string& path) {
    SystemSoundID id = UINT32_MAX;
    EXPECT_EQ(AudioServicesCreateSystemSoundID(path, &id), kAudioServicesNoError) << path;
    EXPECT_EQ(AudioServicesAddSystemSoundCompletion(
                  id, [this](SystemSoundID s) { ends.emplace_back(s, clock.now()); }),
              kAudioServicesNoError);
    return id;
  }
};

TEST_F(SystemSounds, APlayEndsAfterItsDurationOrAtOnceWhenTheRingerIsSilent) {
  SystemSoundID id = make(file("quarter.wav", wav(2000, 8000)));
  EXPECT_DOUBLE_EQ(AudioServicesSystemSoundDuration(id), 0.25);
  double start = clock.now();
  AudioServicesPlaySystemSound(id);
  testing_loop::runUntilIdle();
  testing_loop::advance(0.2);
  EXPECT_TRUE(ends.empty());
  testing_loop::advance(0.1);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].first, id);
  EXPECT_NEAR(ends[0].second - start, 0.25, 1e-6);

  // Silent: the end is posted, never called inside the play, and takes no time.
  AudioServicesSetRingerSilent(true);
  double silentStart = clock.now();
  AudioServicesPlaySystemSound(id);
  EXPECT_EQ(ends.size(), 1u);
  testing_loop::runUntilIdle();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[1].second, silentStart);

  // A removed completion, then a disposed sound, hear nothing of plays under way.
  AudioServicesSetRingerSilent(false);
  AudioServicesPlaySystemSound(id);
  AudioServicesRemoveSystemSoundCompletion(id);
  testing_loop::advance(1);
  EXPECT_EQ(ends.size(), 2u);
  AudioServicesAddSystemSoundCompletion(id, [this](SystemSoundID s) { ends.emplace_back(s, 0); });
  AudioServicesPlaySystemSound(id);
  EXPECT_EQ(AudioServicesDisposeSystemSoundID(id), kAudioServicesNoError);
  testing_loop::advance(1);
  EXPECT_EQ(ends.size(), 2u);
  EXPECT_EQ(AudioServicesDisposeSystemSoundID(id), kAudioServicesSystemSoundUnspecifiedError);
  EXPECT_EQ(AudioServicesAddSystemSoundCompletion(id, [](SystemSoundID) {}),
            kAudioServicesSystemSoundUnspecifiedError);
  EXPECT_LT(AudioServicesSystemSoundDuration(id), 0);
  // Every play is recorded, the system's own identifiers too.
  AudioServicesPlaySystemSound(kSystemSoundID_Vibrate);
  EXPECT_EQ(AudioServicesPlayedSystemSounds(),
            (std::vector<SystemSoundID>{id, id, id, id, kSystemSoundID_Vibrate}));
}

TEST_F(SystemSounds, IdentifiersAreNeverZeroAllBitsOrTheVibrationAndPropertiesStick) {
  std::string path = file("short.wav", wav(80, 8000));
  std::set<SystemSoundID> ids;
  for (int i = 0; i < 20; ++i) {
    SystemSoundID id = 0;
    ASSERT_EQ(AudioServicesCreateSystemSoundID(path, &id), kAudioServicesNoError);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, UINT32_MAX);
    EXPECT_NE(id, kSystemSoundID_Vibrate);
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 20u);
  SystemSoundID id = *ids.begin();
  EXPECT_EQ(AudioServicesGetProperty(kAudioServicesPropertyIsUISound, id), 0u);
  EXPECT_EQ(AudioServicesSetProperty(kAudioServicesPropertyIsUISound, id, 1), kAudioServicesNoError);
  EXPECT_EQ(AudioServicesGetProperty(kAudioServicesPropertyIsUISound, id), 1u);
  EXPECT_EQ(AudioServicesSetProperty(0x61626364, id, 1), kAudioServicesUnsupportedPropertyError);
  EXPECT_EQ(AudioServicesSetProperty(kAudioServicesPropertyIsUISound, kSystemSoundID_Vibrate, 1),
            kAudioServicesSystemSoundUnspecifiedError);
  // The record of plays keeps only the newest.
  for (int i = 0; i < 300; ++i) AudioServicesPlaySystemSound(kSystemSoundID_Vibrate);
  EXPECT_EQ(AudioServicesPlayedSystemSounds().size(), kRecordedSystemSounds);
}

TEST_F(SystemSounds, AFileThatIsNoSoundMakesNone) {
  std::string fifo = root.path() + "/pipe.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string good = file("good.wav", wav(8, 8000));
  for (const std::string& path :
       {root.path() + "/missing.wav", root.path(), fifo, file("text.wav", "not a sound at all"),
        file("zero-rate.wav", wav(8, 0)), good + std::string(1, '\0') + "x", std::string()}) {
    SystemSoundID id = 77;
    EXPECT_EQ(AudioServicesCreateSystemSoundID(path, &id), kAudioServicesSystemSoundUnspecifiedError)
        << path;
    EXPECT_EQ(id, 77u);
  }
  EXPECT_EQ(AudioServicesCreateSystemSoundID(good, nullptr), kAudioServicesSystemSoundUnspecifiedError);
}

}  // namespace
