#pragma once
// The channel SDK's string helpers used by the shared controls: resource names inside the
// SDK's resource bundle. Thread-safe (reads the main bundle only).

#include <string>

struct NSString_URLEncode {
  // "HVSDK.bundle/<name>" when the main bundle holds a resource "HVSDK.bundle"; otherwise the
  // name unchanged. Never fails.
  static std::string getImagePath(const std::string& name);
};
