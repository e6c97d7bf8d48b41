// The key-value storage reading what it finds on disk: rows whose key, file name, size and
// blobs were tampered with, value files in odd places, and whole manifests of arbitrary bytes.
// Reads, trims and removals never crash, never touch a file outside "data", and a value read
// back is the inline blob or the named file's bytes.
//
// Input: byte 0 picks the mode. Even: a row (key, file name, inline blob, extended blob,
// separated by NUL; a size from the next 8 bytes; the rest written as the file's content).
// Odd: the rest is the manifest file itself.

#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "image/cache/HVKVStorage.h"
#include "platform/foundation/NSLog.h"

namespace fs = std::filesystem;

namespace {

const fs::path& root() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("fuzz-kv-" + std::to_string(::getpid()));
    fs::remove_all(d);
    fs::create_directories(d / "store");
    plat::setNSLogCaptureForTesting([](const std::string&) {});
    return d;
  }();
  return dir;
}

// Files that must survive whatever the rows say: beside "data" and beside the store.
void plantSentinels() {
  std::ofstream(root() / "store" / "sentinel") << "s";
  std::ofstream(root() / "sentinel") << "s";
}
void checkSentinels() {
  FUZZ_CHECK(fs::exists(root() / "store" / "sentinel"), "a file beside data was deleted");
  FUZZ_CHECK(fs::exists(root() / "sentinel"), "a file outside the store was deleted");
}

void exercise(HVKVStorage& kv, const std::string& key) {
  if (auto item = kv.getItemForKey(key)) {
    FUZZ_CHECK(item->key == key, "an item read under another key");
    if (!item->filename.empty()) {
      FUZZ_CHECK(HVKVStorage::isSafeFilename(item->filename), "an unsafe file name was read");
    }
  }
  (void)kv.getItemValueForKey(key);
  (void)kv.getItemInfoForKeys({key, "other"});
  (void)kv.getItemValueForKeys({key, "other"});
  (void)kv.getItemsSize();
  (void)kv.removeItemsToFitSize(1000);
  (void)kv.removeItemsToFitCount(0 + 1);
  (void)kv.removeItemForKeys({key});
  (void)kv.removeItemForKey(key);
}

void tamperedRow(fuzz::Input& in) {
  static std::shared_ptr<HVKVStorage> kv =
      HVKVStorage::initWithPathType((root() / "store").string(), HVStorageModeMixed);
  FUZZ_CHECK(kv != nullptr, "the storage did not open");
  std::string key(in.field('\0')), file(in.field('\0')), blob(in.field('\0')),
      extended(in.field('\0'));
  int64_t size = 0;
  for (int i = 0; i < 8; i++) size = (size << 8) | in.byte();
  std::string content(in.rest());
  // A value file under the name when it is a plain name.
  if (HVKVStorage::isSafeFilename(file)) {
    std::ofstream(root() / "store" / "data" / file, std::ios::binary) << content;
  }
  sqlite3* db = nullptr;
  sqlite3_open((root() / "store" / "manifest.sqlite").c_str(), &db);
  sqlite3_exec(db, "delete from manifest;", nullptr, nullptr, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db,
                     "insert into manifest (key, filename, size, inline_data, modification_time, "
                     "last_access_time, extended_data) values (?1, ?2, ?3, ?4, 1, 1, ?5);",
                     -1, &stmt, nullptr);
  sqlite3_bind_text(stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
  if (!file.empty()) {
    sqlite3_bind_text(stmt, 2, file.data(), static_cast<int>(file.size()), SQLITE_TRANSIENT);
  }
  sqlite3_bind_int64(stmt, 3, size);
  if (!blob.empty()) {
    sqlite3_bind_blob(stmt, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
  }
  sqlite3_bind_blob(stmt, 5, extended.data(), static_cast<int>(extended.size()), SQLITE_TRANSIENT);
  sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  sqlite3_close(db);

  plantSentinels();
  if (auto value = kv->getItemValueForKey(key)) {
    bool fromFile = HVKVStorage::isSafeFilename(file);
    std::string got(reinterpret_cast<const char*>(value->bytes()), value->length());
    FUZZ_CHECK(got == (fromFile ? content : blob), "a value that is neither blob nor file");
  }
  exercise(*kv, key);
  checkSentinels();
}

void wholeManifest(fuzz::Input& in) {
  fs::path store = root() / "manifest-store";
  fs::remove_all(store);
  fs::create_directories(store / "data");
  std::string bytes(in.rest());
  std::ofstream(store / "manifest.sqlite", std::ios::binary) << bytes;
  std::ofstream(store / "data" / "file") << "value";
  plantSentinels();
  std::ofstream(store / "sentinel") << "s";
  if (auto kv = HVKVStorage::initWithPathType(store.string(), HVStorageModeMixed)) {
    (void)kv->getItemsCount();
    exercise(*kv, "k");
  }
  FUZZ_CHECK(fs::exists(store / "sentinel"), "a file beside data was deleted");
  checkSentinels();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  if (in.byte() % 2 == 0) {
    tamperedRow(in);
  } else {
    wholeManifest(in);
  }
  return 0;
}
