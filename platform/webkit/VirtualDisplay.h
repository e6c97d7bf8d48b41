#pragma once
// The X display web views draw on. A headless machine has none, so when DISPLAY is unset the
// first use starts a virtual X server (Xvfb, on any free display number) for the process,
// points DISPLAY at it and stops it when the process exits; the server also ends if the
// process dies without exiting (it is the process's child with a parent-death signal).
//
// Thread-safety: ensure() must be called on the main thread before any thread reads DISPLAY
// for the first time (it may set the variable).

#include <string>

namespace plat {

class VirtualDisplay {
 public:
  // Makes sure DISPLAY names a usable display: the inherited one, or a server started here.
  // Returns false (and logs why) when neither is possible.
  static bool ensure();
  // The display this process uses (":99"), or "" before ensure() succeeded.
  static std::string name();
  // Stops a server started by ensure(); nothing when the display was inherited.
  static void stop();
};

}  // namespace plat
