#pragma once
// UIDevice: the current device's input click. There is no speaker here: playInputClick
// counts the clicks so tests can see them. Main thread only.

#include <cstdint>

namespace plat {

class UIDevice {
 public:
  static UIDevice& currentDevice();
  // Plays (counts) the keyboard click.
  void playInputClick() { ++inputClicks_; }
  int64_t inputClickCount() const { return inputClicks_; }
  void resetForTesting() { inputClicks_ = 0; }

 private:
  int64_t inputClicks_ = 0;
};

}  // namespace plat
