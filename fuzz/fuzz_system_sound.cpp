// A system sound made from arbitrary file bytes: the sound reader either refuses the file or
// gives a sound whose duration is a finite number of seconds, never negative.

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/device/AudioServices.h"

namespace {

const std::string& scratchPath() {
  static const std::string* path = [] {
    char templ[] = "/tmp/fuzz_system_sound-XXXXXX";
    int fd = ::mkstemp(templ);
    if (fd >= 0) ::close(fd);
    return new std::string(templ);
  }();
  return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratchPath();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
  plat::SystemSoundID id = 0;
  if (plat::AudioServicesCreateSystemSoundID(path, &id) == plat::kAudioServicesNoError) {
    double duration = plat::AudioServicesSystemSoundDuration(id);
    FUZZ_CHECK(std::isfinite(duration) && duration >= 0, std::to_string(duration));
    FUZZ_CHECK(id != 0 && id != UINT32_MAX, std::to_string(id));
    FUZZ_CHECK(plat::AudioServicesDisposeSystemSoundID(id) == plat::kAudioServicesNoError,
               std::to_string(id));
  }
  return 0;
}
