// The response cache's disk records: an arbitrary file in an entry's place is read as a miss
// or as a well-formed entry for that URL, never a crash.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/network/NSURLCache.h"

namespace {

const char* kURL = "http://fuzz.example/entry";

// The cache folder and the path of kURL's record in it (learnt by storing an entry once).
const std::string& recordPath(const std::string& folder) {
  static const std::string path = [&] {
    plat::NSURLCache cache(0, 1 << 20, folder);
    auto request = plat::NSURLRequest::requestWithURL(kURL);
    cache.storeCachedResponseForRequest(
        std::make_shared<plat::NSCachedURLResponse>(plat::NSHTTPURLResponse::make(kURL, 200, {}),
                                                    plat::Data::fromString("seed")),
        request);
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
      if (item.path().extension() == ".cache") return item.path().string();
    }
    ::fuzz::fail("no record written", folder);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string folder = [] {
    std::string dir = (std::filesystem::temp_directory_path() /
                       ("fuzz-url-cache-" + std::to_string(::getpid())))
                          .string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
  }();
  const std::string& path = recordPath(folder);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  plat::NSURLCache cache(0, 1 << 20, folder);
  auto cached = cache.cachedResponseForRequest(plat::NSURLRequest::requestWithURL(kURL));
  if (cached) {
    FUZZ_CHECK(cached->response() != nullptr, "an entry without a response");
    (void)cached->response()->description();
  }
  return 0;
}
