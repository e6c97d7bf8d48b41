// The mute checker: how long its sound takes tells muted from not, checks within a second are
// ignored, the bundle's own sound is readable, and a missing sound is logged.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "KRH5Plugin/MuteChecker.h"
#include "platform/foundation/NSLog.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

// A mono 16-bit PCM WAV file of `seconds` of silence at 8000 Hz.
std::string wav(double seconds) {
  auto u32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  auto u16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  uint32_t bytes = uint32_t(seconds * 8000) * 2;
  return "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(8000) +
         u32(16000) + u16(2) + u16(16) + "data" + u32(bytes) + std::string(bytes, '\0');
}

struct MuteCheck : ::testing::Test {
  testing_device::TempAppBundle bundle;
  testing_loop::VirtualClockScope clock;
  std::vector<std::pair<double, bool>> reports;
  std::vector<std::string> log;

  void SetUp() override {
    setNSLogCaptureForTesting([this](const std::string& line) { log.push_back(line); });
    bundle.writePlist("Lumora.bundle/Info.plist", Value(Dictionary()));
  }
  void TearDown() override {
    setNSLogCaptureForTesting({});
    AudioServicesResetForTesting();
    testing_loop::runUntilIdle();
  }
  std::shared_ptr<MuteChecker> checker(const std::string& sound) {
    if (!sound.empty()) bundle.writeFile("Lumora.bundle/MuteChecker.caf", sound);
    return MuteChecker::initWithCompletionBlk(
        [this](double elapsed, bool muted) { reports.emplace_back(elapsed, muted); });
  }
};

TEST_F(MuteCheck, ASoundThatEndsAtOnceIsMutedAndOneThatPlaysIsNot) {
  auto quick = checker(wav(0.05));
  quick->check();
  testing_loop::advance(0.05);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NEAR(reports[0].first, 0.05, 1e-6);
  EXPECT_TRUE(reports[0].second);
  quick.reset();

  auto slow = checker(wav(0.3));
  EXPECT_EQ(AudioServicesGetProperty(kAudioServicesPropertyIsUISound, slow->soundId()), 1u);
  slow->check();
  testing_loop::advance(0.3);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NEAR(reports[1].first, 0.3, 1e-6);
  EXPECT_FALSE(reports[1].second);

  // The ringer set to silent: the sound ends at once.
  AudioServicesSetRingerSilent(true);
  testing_loop::advance(1);
  slow->check();
  testing_loop::runUntilIdle();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[2].first, 0);
  EXPECT_TRUE(reports[2].second);
}

TEST_F(MuteCheck, ChecksWithinASecondOfThePlayAreIgnored) {
  auto c = checker(wav(0.3));
  c->check();
  testing_loop::advance(0.5);
  c->check();  // 0.5 s after the play: ignored
  testing_loop::advance(1.0);
  c->check();  // 1.5 s after: plays
  testing_loop::advance(1.0);
  EXPECT_EQ(reports.size(), 2u);
  EXPECT_EQ(AudioServicesPlayedSystemSounds().size(), 2u);
  // A checker that goes stops hearing its sound; a play under way ends silently.
  c->check();
  SystemSoundID id = c->soundId();
  c.reset();
  testing_loop::advance(1.0);
  EXPECT_EQ(reports.size(), 2u);
  EXPECT_LT(AudioServicesSystemSoundDuration(id), 0);
}

TEST_F(MuteCheck, TheBundledSoundPlaysForAFifthOfASecond) {
  std::ifstream in(LUMORA_DEMO_BUNDLE "/MuteChecker.caf", std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  ASSERT_GT(bytes.str().size(), 100u);
  auto c = checker(bytes.str());
  EXPECT_NEAR(AudioServicesSystemSoundDuration(c->soundId()), 0.2, 1e-3);
  c->check();
  testing_loop::advance(0.25);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_FALSE(reports[0].second);
  EXPECT_TRUE(log.empty());
}

TEST_F(MuteCheck, WithoutTheSoundNothingIsReported) {
  for (std::string sound : {std::string(), std::string("not a sound")}) {
    log.clear();
    auto c = checker(sound);
    EXPECT_EQ(c->soundId(), UINT32_MAX);
    EXPECT_EQ(log, std::vector<std::string>{"error setting up Sound ID"});
    c->check();
    testing_loop::advance(2);
    EXPECT_TRUE(reports.empty());
  }
}

}  // namespace
