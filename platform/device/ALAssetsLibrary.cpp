#include "platform/device/ALAssetsLibrary.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSUUID.h"

namespace plat {

namespace {

std::mutex gAlbumMu;

std::string albumPath() { return DeviceRoot::platformStatePath() + "/PhotoLibrary"; }

// The extension the bytes' signature names; empty for anything else.
std::string extensionOf(const Data& d) {
  const uint8_t* b = d.bytes();
  size_t n = d.length();
  if (n >= 8 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0) return "PNG";
  if (n >= 3 && b[0] == 0xff && b[1] == 0xd8 && b[2] == 0xff) return "JPG";
  if (n >= 6 && std::memcmp(b, "GIF8", 4) == 0) return "GIF";
  if (n >= 4 && (std::memcmp(b, "II*\0", 4) == 0 || std::memcmp(b, "MM\0*", 4) == 0)) return "TIFF";
  if (n >= 2 && b[0] == 'B' && b[1] == 'M') return "BMP";
  return "";
}

}  // namespace

void ALAssetsLibrary::writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(
    const Data& imageData, const Dictionary&, WriteCompletion completion) {
  std::string url;
  NSErrorRef error;
  std::string ext = extensionOf(imageData);
  if (ext.empty()) {
    error = NSError::make(ALAssetsLibraryErrorDomain, ALAssetsLibraryWriteInvalidDataError,
                          "Invalid image data");
  } else {
    std::lock_guard<std::mutex> lock(gAlbumMu);
    std::string id = NSUUID().UUIDString();
    std::error_code ec;
    std::filesystem::create_directories(albumPath(), ec);
    std::string file = albumPath() + "/" + id + "." + ext;
    std::ofstream f(file, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(imageData.bytes()), std::streamsize(imageData.length()));
    f.close();
    if (!f) {
      std::filesystem::remove(file, ec);
      error = NSError::make(ALAssetsLibraryErrorDomain, ALAssetsLibraryWriteFailedError,
                            "Write failed");
    } else {
      url = "assets-library://asset/asset." + ext + "?id=" + id + "&ext=" + ext;
    }
  }
  if (!completion) return;
  dispatch_async(dispatch_get_main_queue(),
                 [completion = std::move(completion), url, error] { completion(url, error); });
}

std::vector<std::string> ALAssetsLibrary::savedPhotoPaths() {
  std::lock_guard<std::mutex> lock(gAlbumMu);
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(albumPath(), ec))
    if (e.is_regular_file(ec)) files.emplace_back(e.last_write_time(ec), e.path().string());
  std::sort(files.begin(), files.end());
  std::vector<std::string> out;
  for (auto& f : files) out.push_back(std::move(f.second));
  return out;
}

}  // namespace plat
