// The order record a log folder keeps where its file system has no user extended attributes,
// as the log file manager reads it when it sorts: whatever bytes it holds, every log file of
// the folder is listed once, and the manager neither crashes nor reads without bound.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "logging/LGLogFileManagerDefault.h"
#include "platform/foundation/NSFileManager.h"

namespace {

struct Folder {
  std::string path;
  std::shared_ptr<LGLogFileManagerDefault> manager;
  std::vector<std::string> files;  // sorted
};

const Folder& folder() {
  static const Folder* shared = [] {
    auto* f = new Folder;
    f->path = "/tmp/fuzz_log_order_record";
    f->manager = std::make_shared<LGLogFileManagerDefault>(f->path);
    f->manager->logsDirectory();  // makes the folder
    for (const char* date : {"2024-05-01--13-45-07-123", "2024-05-01--13-45-08-000", "garbage"}) {
      std::string file =
          f->path + "/" + LGLogFileManagerDefault::applicationName() + " " + date + ".log";
      plat::writeDataToFile(plat::Data::fromString("x"), file, 0);
      f->files.push_back(file);
    }
    std::sort(f->files.begin(), f->files.end());
    LGLogFileManagerDefault::setExtendedAttributesUnavailableForTesting(true);
    return f;
  }();
  return *shared;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::quietLogs(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Folder& f = folder();
  plat::writeDataToFile(plat::Data(data, size), f.path + "/.vestrel.log.order", 0);
  std::vector<std::string> sorted = f.manager->sortedLogFilePaths();
  std::sort(sorted.begin(), sorted.end());
  FUZZ_CHECK(sorted == f.files, std::to_string(sorted.size()));
  return 0;
}
