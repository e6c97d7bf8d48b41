#pragma once
// LGASLLogCapture: reads the messages that reach the legacy system log store
// (plat::ASLStore) and feeds them into the hub as ordinary messages with the file name
// "LGASLLogCapture". Messages written by LGASLLogger (key "LGLog" = "1") are never read, and
// LGASLLogger never writes back what the capture produced, so nothing loops.
//
// Store level to flag: 0-2 error (logged synchronously), 3 warning, 4 info, 5 debug, any
// other verbose (asynchronously). Messages whose flag is not in captureLevel are skipped.
//
// Threading: start, stop and the level may be used from any thread. Each capture handles
// the store's notifications on its own serial queue, so two deliveries never overlap. A
// stop followed by a start before the next notification leaves exactly one capture running
// (the older one ends at its next wake-up without reading anything), and a new capture reads
// only messages saved after it started.

#include <cstdint>

#include "logging/LGLogMessage.h"
#include "platform/oslog/ASLStore.h"

class LGASLLogCapture {
 public:
  static constexpr const char* kCaptureFileName = "LGASLLogCapture";

  // Starts a capture when none runs; otherwise does nothing.
  static void start();
  // The running capture ends at its next wake-up.
  static void stop();
  static uint64_t captureLevel();
  static void setCaptureLevel(uint64_t level);

  // Internal steps, public for their tests.
  static void configureAslQuery(plat::ASLQuery& query);
  // Turns one store message into a log call (or skips it).
  static void aslMessageReceived(const plat::ASLMessage& message);
  // The flag for a store level.
  static uint64_t flagForStoreLevel(int64_t level);

 private:
  static void captureAslLogs(uint64_t generation, uint64_t startSeconds, uint64_t lastSeenAtStart);
};
