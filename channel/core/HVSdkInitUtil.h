#pragma once
// HVSdkInitUtil: the channel SDK's start-up. initDidFinishLaunchingWithOptions installs the
// SDK's shared URL cache, reads the SDK's configuration file "HV.plist" of the main bundle and
// starts the channel's asynchronous start-up request (which may set an update URL). It keeps
// the configuration's game id, which names the payment URL scheme.
//
// Threading: main thread only; the game id may be read from any thread.

#include <cstdint>
#include <mutex>
#include <string>

// The shared URL cache that start-up installs.
inline constexpr uint64_t kHVURLCacheMemoryCapacity = 4 * 1024 * 1024;
inline constexpr uint64_t kHVURLCacheDiskCapacity = 20 * 1024 * 1024;
inline constexpr const char* kHVURLCacheFolder = "HVSDKURLCache";

class HVSdkInitUtil {
 public:
  static HVSdkInitUtil& sharedInstance();

  // Returns at once; the start-up request reports nothing back. A "HV.plist" that is missing,
  // not a regular file or not a dictionary leaves the game id empty.
  void initDidFinishLaunchingWithOptions();
  // The "gameId" of "HV.plist" (a text or a number); "" before start-up.
  std::string gameId() const;

  // Forgets the game id and uninstalls the shared URL cache (tests).
  void resetForTesting();

 private:
  HVSdkInitUtil() = default;
  mutable std::mutex mu_;
  std::string gameId_;
};
