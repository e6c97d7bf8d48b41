#include "platform/foundation/DeviceRoot.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/foundation/NSFileManager.h"

namespace plat {

namespace {

struct RootState {
  std::mutex mutex;
  std::string root;  // empty until first use or setPath
};

RootState& state() {
  static RootState* s = new RootState();
  return *s;
}

std::string stripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

bool createFolders(const std::string& root, NSErrorRef* error) {
  const char* folders[] = {"/Application/Documents", "/Application/Library/Caches",
                           "/Application/Library/Preferences", "/Application/tmp", "/Platform"};
  for (const char* f : folders) {
    if (!NSFileManager::defaultManager()
             .createDirectoryAtPathWithIntermediateDirectoriesAttributesError(root + f, true, {},
                                                                              error))
      return false;
  }
  return true;
}

}  // namespace

std::string DeviceRoot::path() {
  RootState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.root.empty()) {
    s.root = "/tmp/lumora-device-" + std::to_string(::getuid());
    createFolders(s.root, nullptr);
  }
  return s.root;
}

bool DeviceRoot::setPath(const std::string& root, NSErrorRef* error) {
  if (root.empty()) {
    if (error) *error = fileErrorFromErrno(ENOENT, root, true);
    return false;
  }
  std::string clean = stripTrailingSlashes(root);
  {
    RootState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.root = clean;
  }
  return createFolders(clean, error);
}

std::string DeviceRoot::homePath() { return path() + "/Application"; }
std::string DeviceRoot::documentsPath() { return homePath() + "/Documents"; }
std::string DeviceRoot::libraryPath() { return homePath() + "/Library"; }
std::string DeviceRoot::cachesPath() { return libraryPath() + "/Caches"; }
std::string DeviceRoot::preferencesPath() { return libraryPath() + "/Preferences"; }
std::string DeviceRoot::temporaryPath() { return homePath() + "/tmp"; }
std::string DeviceRoot::platformStatePath() { return path() + "/Platform"; }

std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                             unsigned domainMask,
                                                             bool expandTilde) {
  if (!(domainMask & NSUserDomainMask)) return {};
  std::string sub;
  switch (directory) {
    case NSLibraryDirectory:
      sub = "/Library";
      break;
    case NSDocumentDirectory:
      sub = "/Documents";
      break;
    case NSCachesDirectory:
      sub = "/Library/Caches";
      break;
    case NSApplicationSupportDirectory:
      sub = "/Library/Application Support";
      break;
    default:
      return {};
  }
  return {(expandTilde ? DeviceRoot::homePath() : std::string("~")) + sub};
}

std::string NSHomeDirectory() { return DeviceRoot::homePath(); }

std::string NSTemporaryDirectory() { return DeviceRoot::temporaryPath() + "/"; }

}  // namespace plat
