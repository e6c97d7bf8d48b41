#pragma once
// LumoraHost: what the phone does around the application when it runs as the program
// `lumora`: takes the app bundle and device root from the command line
//   lumora --bundle DIR --device DIR [--seconds N] [--screenshot FILE] [--auto-channel]
//          [--online] [--camera IMAGE]
// checks the bundle, ends the application on SIGINT/SIGTERM or after N seconds, prints what
// the page does on standard output, one line each:
//   console.<level>: <text>             a page console message (log, info, warn, error, debug)
//   bridge> <handler> <compact JSON>    a message the page posted to a bridge handler
//   bridge< <script>                    a reply the bridge evaluated in the page
// (line breaks inside a line are written as \n and \r, so each stays one line)
// (--auto-channel: the channel SDK's login window and cashier complete at once, see
// AutoChannel; --online: the device reports a network even when the machine has none but
// loopback; --camera: the device has a camera looking at the picture in the image file IMAGE:
// the camera screen takes it at once, and the QR scanner reads the code in it; without it the
// device has no camera) and, at exit, writes a PNG
// of the key window (--screenshot) and flushes the logs. The time from start to the page's
// first load event goes to standard error. The bundle and device folders are made absolute.
//
// Thread-safety: Prepare and Finish on the main thread; the printing is serialised.

#include <string>

class LumoraHost {
 public:
  LumoraHost();
  // Parses the arguments and prepares the process. Returns -1 to go on, or the exit code to
  // leave with (2 for bad arguments or a bundle that cannot be used, with a message on
  // standard error).
  int Prepare(int argc, char** argv);
  // Called once the application loop has ended: the screenshot and the log flush.
  void Finish();

 private:
  void AttachToPage();
  std::string bundle_;
  std::string device_;
  std::string screenshot_;
  std::string camera_;
  double seconds_ = -1;
  long long startNs_ = 0;
  bool loadReported_ = false;
  bool autoChannel_ = false;
  bool online_ = false;
};
