// The disk cache unarchiving what it finds stored: arbitrary bytes as an entry's value (inline
// or in its file) and as its extended data. Reading never crashes; a read object can be
// described and archived again, and carries the stored extended data.
//
// Input: byte 0 bit 0 picks inline or file storage; bytes 1-2 the value's length (big-endian);
// then the value and, after it, the extended data.

#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "image/cache/HVDiskCache.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSLog.h"

namespace fs = std::filesystem;

namespace {

struct Fixture {
  fs::path dir;
  std::shared_ptr<HVDiskCache> cache;
  std::string fileName;  // the file the cache uses for kKey
};

const char* kKey = "fuzz-key";

Fixture& fixture() {
  static Fixture f = [] {
    Fixture x;
    plat::setNSLogCaptureForTesting([](const std::string&) {});
    x.dir = fs::temp_directory_path() / ("fuzz-disk-cache-" + std::to_string(::getpid()));
    fs::remove_all(x.dir);
    x.cache = HVDiskCache::initWithPath(x.dir.string());
    FUZZ_CHECK(x.cache != nullptr, "the disk cache did not open");
    // Learn the value file's name by storing a large value once.
    x.cache->setObjectForKey(plat::Value(std::string(30000, 'x')), kKey);
    for (const auto& e : fs::directory_iterator(x.dir / "data")) {
      x.fileName = e.path().filename().string();
    }
    FUZZ_CHECK(!x.fileName.empty(), "no value file written");
    return x;
  }();
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = fixture();
  fuzz::Input in(data, size);
  bool inFile = in.byte() & 1;
  size_t length = static_cast<size_t>(in.byte()) << 8;
  length |= in.byte();
  std::string rest(in.rest());
  std::string value = rest.substr(0, length), extended = rest.substr(value.size());
  if (value.empty()) return 0;  // the storage refuses empty values

  sqlite3* db = nullptr;
  sqlite3_open((f.dir / "manifest.sqlite").c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db,
                     "insert or replace into manifest (key, filename, size, inline_data, "
                     "modification_time, last_access_time, extended_data) values "
                     "(?1, ?2, ?3, ?4, 1, 1, ?5);",
                     -1, &stmt, nullptr);
  sqlite3_bind_text(stmt, 1, kKey, static_cast<int>(std::strlen(kKey)), SQLITE_STATIC);
  if (inFile) {
    std::ofstream(f.dir / "data" / f.fileName, std::ios::binary) << value;
    sqlite3_bind_text(stmt, 2, f.fileName.data(), static_cast<int>(f.fileName.size()),
                      SQLITE_STATIC);
  } else {
    sqlite3_bind_blob(stmt, 4, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
  }
  sqlite3_bind_int64(stmt, 3, static_cast<sqlite3_int64>(value.size()));
  if (!extended.empty()) {
    sqlite3_bind_blob(stmt, 5, extended.data(), static_cast<int>(extended.size()),
                      SQLITE_STATIC);
  }
  sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  sqlite3_close(db);

  plat::Value object = f.cache->objectForKey(kKey);
  if (!object.isNil()) {
    (void)object.description();
    (void)plat::NSKeyedArchiver::archivedDataWithRootObject(object);
    plat::Data ext = HVDiskCache::getExtendedDataFromObject(object);
    if (object.isObject() && !extended.empty()) {
      FUZZ_CHECK(ext == plat::Data(extended.data(), extended.size()),
                 "the extended data changed on the way");
    }
  }
  return 0;
}
