#pragma once
// A fresh device root in a temporary folder for the life of a test: set on construction,
// removed (with everything in it) on destruction, when the previous root comes back.

#include <string>

namespace testing_device {

class TempDeviceRoot {
 public:
  TempDeviceRoot();
  ~TempDeviceRoot();
  TempDeviceRoot(const TempDeviceRoot&) = delete;
  TempDeviceRoot& operator=(const TempDeviceRoot&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

}  // namespace testing_device

#include "platform/foundation/Value.h"

namespace testing_device {

// A fresh, empty main bundle in a temporary folder for the life of a test (the previous main
// bundle comes back afterwards).
class TempAppBundle {
 public:
  // `info` becomes the bundle's Info.plist (none when empty).
  explicit TempAppBundle(const plat::Dictionary& info = {});
  ~TempAppBundle();
  TempAppBundle(const TempAppBundle&) = delete;
  TempAppBundle& operator=(const TempAppBundle&) = delete;
  const std::string& path() const { return path_; }
  // Writes a resource file (bytes as given).
  void writeFile(const std::string& name, const std::string& bytes) const;
  // Writes a resource as an XML property list.
  void writePlist(const std::string& name, const plat::Value& value) const;

 private:
  std::string path_;
  std::string previous_;
};

}  // namespace testing_device
