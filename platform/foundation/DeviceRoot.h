#pragma once
// plat::DeviceRoot: the folder that plays the phone's storage. It holds the application's
// container (its home: Documents, Library, Library/Caches, Library/Preferences, tmp) and the
// platform's own state (keychain database, user defaults, photo library):
//
//   <root>/Application/Documents, .../Library/Caches, .../Library/Preferences, .../tmp
//   <root>/Platform
//
// The host program and tests choose the root with setPath(); until then it is
// "/tmp/lumora-device-<uid>". Setting a root creates these folders. Paths never end in "/".
//
// Thread-safe: the root may be read from any thread; set it before other threads use it.

#include <string>
#include <vector>

#include "platform/foundation/NSError.h"

namespace plat {

class DeviceRoot {
 public:
  // The root folder, creating the standard folders on first use.
  static std::string path();
  // Chooses the root and creates its standard folders. False and *error when they cannot be
  // created (the root is switched all the same, so later file operations report the error).
  // An empty path is refused and leaves the root as it was.
  static bool setPath(const std::string& root, NSErrorRef* error = nullptr);

  static std::string homePath();           // <root>/Application
  static std::string documentsPath();      // <home>/Documents
  static std::string libraryPath();        // <home>/Library
  static std::string cachesPath();         // <home>/Library/Caches
  static std::string preferencesPath();    // <home>/Library/Preferences
  static std::string temporaryPath();      // <home>/tmp
  static std::string platformStatePath();  // <root>/Platform
};

// The platform's search-path query, answered from the device root.
enum NSSearchPathDirectory : unsigned {
  NSLibraryDirectory = 5,
  NSDocumentDirectory = 9,
  NSCachesDirectory = 13,
  NSApplicationSupportDirectory = 14,
};
enum NSSearchPathDomainMask : unsigned {
  NSUserDomainMask = 1,
  NSLocalDomainMask = 2,
  NSNetworkDomainMask = 4,
  NSSystemDomainMask = 8,
  NSAllDomainsMask = 0x0ffff,
};
// The folder for directory in the user domain (the only one an app container has), as
// one entry; empty for other domains or directories. Without expandTilde the home part is
// written "~".
std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                             unsigned domainMask, bool expandTilde);
// The app container.
std::string NSHomeDirectory();
// The container's tmp folder, ending in "/" as the platform's does.
std::string NSTemporaryDirectory();

}  // namespace plat
