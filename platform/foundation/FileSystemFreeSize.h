#pragma once
// NSFileSystemFreeSize: the bytes available to the app on the file system holding a path (the
// file-system attribute of the same name). Tests inject the figure.
//
// Thread-safety: may be called from any thread.

#include <cstdint>
#include <functional>
#include <string>

namespace plat {

// Free bytes on the file system of `path` (statvfs: available blocks times fragment size), or
// -1 when the file system cannot be asked.
int64_t NSFileSystemFreeSize(const std::string& path);
// Replaces the figure for tests; nullptr restores statvfs.
void setFileSystemFreeSizeForTesting(std::function<int64_t(const std::string& path)> provider);

}  // namespace plat
