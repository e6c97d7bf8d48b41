#include "image/cache/HVKVStorage.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>
#include <unordered_set>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSException.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSUUID.h"
#include "platform/uikit/UIApplication.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kMaxErrorRetryCount = 8;
constexpr double kMinRetryTimeInterval = 2.0;
constexpr size_t kPathLengthMax = 960;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
// How long a statement waits for another connection's lock on the manifest before failing.
constexpr int kBusyTimeoutMs = 5000;
const char* const kDBFileName = "manifest.sqlite";
const char* const kDBShmFileName = "manifest.sqlite-shm";
const char* const kDBWalFileName = "manifest.sqlite-wal";
const char* const kDataDirectoryName = "data";
const char* const kTrashDirectoryName = "trash";
const char* const kTempPrefix = ".hvkv-tmp-";
// The advisory lock file of the folder; never deleted, so every storage locks one file.
const char* const kLockFileName = "lock";
// Its bytes: held shared by every open storage (live), and by each call (work).
constexpr int64_t kLiveByte = 0;
constexpr int64_t kWorkByte = 1;

const char* const kExecError = "%s line:%d sqlite exec error (%d): %s";
const char* const kPrepareError = "%s line:%d sqlite stmt prepare error (%d): %s";
const char* const kInsertError = "%s line:%d sqlite insert error (%d): %s";
const char* const kUpdateError = "%s line:%d sqlite update error (%d): %s";
const char* const kDbDeleteError = "%s line:%d db delete error (%d): %s";
const char* const kDeleteError = "%s line:%d sqlite delete error (%d): %s";
const char* const kQueryError = "%s line:%d sqlite query error (%d): %s";

const char* const kSchema =
    "pragma journal_mode = wal; pragma synchronous = normal; create table if not exists manifest "
    "(key text, filename text, size integer, inline_data blob, modification_time integer, "
    "last_access_time integer, extended_data blob, primary key(key)); create index if not "
    "exists last_access_time_idx on manifest(last_access_time);";

// A value file whose row is committed but whose bytes still wait under a temporary name. A
// store adds its entry in the transaction of its row and removes it once the file is renamed
// into place; opening the storage finishes the renames of stores killed in between.
const char* const kPendingSchema =
    "create table if not exists pending_file (filename text, temp text, primary key(filename));";

// A short wait between two tries of a lock held elsewhere: 0.2 ms growing to 10 ms.
void pauseBeforeRetry(std::chrono::microseconds* pause) {
  std::this_thread::sleep_for(*pause);
  *pause = std::min<std::chrono::microseconds>(*pause * 2, std::chrono::milliseconds(10));
}

int64_t unixNow() {
  return static_cast<int64_t>(plat::Clock::current()->date().timeIntervalSince1970());
}

int bindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()),
                           SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* stmt, int index) {
  const unsigned char* text = sqlite3_column_text(stmt, index);
  int n = sqlite3_column_bytes(stmt, index);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n))
              : std::string();
}

plat::Data columnBlob(sqlite3_stmt* stmt, int index) {
  const void* blob = sqlite3_column_blob(stmt, index);
  int n = sqlite3_column_bytes(stmt, index);
  if (!blob || n <= 0) return plat::Data();
  return plat::Data(blob, static_cast<size_t>(n));
}

bool writeAllAndSync(int fd, const plat::Data& data) {
  const uint8_t* p = data.bytes();
  size_t left = data.length();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return ::fsync(fd) == 0;
}

}  // namespace

#define HV_FN __func__

// Holds the work lock for one call (nested calls share the outer hold); when the call met a
// damaged database, repairs it before letting go.
class HVKVStorage::WorkHold {
 public:
  WorkHold(HVKVStorage* storage, bool exclusive)
      : storage_(storage), held_(storage->workLock(exclusive)) {
    // A change starts only once the rows of earlier failed stores are back in the database.
    if (held_ && exclusive && storage->workDepth_ == 1 && !storage->settleRestores()) {
      storage->workUnlock();
      held_ = false;
    }
  }
  ~WorkHold() {
    if (held_) storage_->workUnlock();
  }
  WorkHold(const WorkHold&) = delete;
  WorkHold& operator=(const WorkHold&) = delete;
  explicit operator bool() const { return held_; }

 private:
  HVKVStorage* storage_;
  bool held_;
};

bool HVKVStorage::isUsableKey(const std::string& key) {
  return !key.empty() && key.find('\0') == std::string::npos;
}

bool HVKVStorage::areUsableKeys(const std::vector<std::string>& keys) {
  if (keys.empty()) return false;
  for (auto& k : keys) {
    if (k.find('\0') != std::string::npos) return false;
  }
  return true;
}

bool HVKVStorage::isSafeFilename(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.rfind(kTempPrefix, 0) == 0) return false;  // reserved for values being written
  return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

void HVKVStorage::noteResult(int code) {
  int primary = code & 0xff;
  if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) damaged_ = true;
}

void HVKVStorage::logError(const char* format, const char* fn, int line, int code) {
  noteResult(code);
  if (!errorLogsEnabled_) return;
  plat::NSLog(format, fn, line, code, db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
}

std::shared_ptr<HVKVStorage> HVKVStorage::init() {
  throw plat::NSException("HVKVStorage init error",
                          "Please use the designated initializer and pass the 'path' and 'type'.");
}

std::shared_ptr<HVKVStorage> HVKVStorage::initWithPathType(const std::string& path,
                                                           HVStorageMode type) {
  // A NUL would cut the path short at the file system and SQLite: refused like a bad length.
  if (path.empty() || path.size() > kPathLengthMax || path.find('\0') != std::string::npos) {
    plat::NSLog("HVKVStorage init error: invalid path: [%@].", path);
    return nullptr;
  }
  if (static_cast<uint64_t>(type) > HVStorageModeMixed) {
    plat::NSLog("HVKVStorage init error: invalid type: %lu.", static_cast<unsigned long>(type));
    return nullptr;
  }
  std::shared_ptr<HVKVStorage> s(new HVKVStorage());
  s->path_ = path;
  s->type_ = type;
  s->dbPath_ = (fs::path(path) / kDBFileName).string();
  s->dataPath_ = (fs::path(path) / kDataDirectoryName).string();
  s->trashPath_ = (fs::path(path) / kTrashDirectoryName).string();
  s->trashQueue_ = plat::dispatch_queue_create("com.orvane.cache.disk.trash");
  std::error_code ec;
  fs::create_directories(path, ec);
  if (!ec) fs::create_directories(s->dataPath_, ec);
  if (!ec) fs::create_directories(s->trashPath_, ec);
  if (ec || !fs::is_directory(s->dataPath_) || !fs::is_directory(s->trashPath_)) {
    plat::NSLog("HVKVStorage init error:%@", ec ? ec.message() : std::string("not a folder"));
    return nullptr;
  }
  std::string lockPath = (fs::path(path) / kLockFileName).string();
  s->lockFd_ =
      ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  struct stat st;
  if (s->lockFd_ < 0 || ::fstat(s->lockFd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    plat::NSLog("HVKVStorage init error: fail to open the lock file [%@].", lockPath);
    return nullptr;
  }
  // Set-up and clean-up hold the folder exclusively: no other storage is in a call meanwhile,
  // so temporary files and pending renames found now belong to storages that were killed.
  WorkHold hold(s.get(), true);
  if (!hold || !s->lockByte(kLiveByte, F_RDLCK, kFolderLockTimeout)) {
    plat::NSLog("HVKVStorage init error: the folder [%@] stayed locked by another storage.", path);
    return nullptr;
  }
  if (!s->dbOpen() || !s->dbInitialize()) {
    int code = s->lastInitCode_;
    s->dbClose();
    // Only a damaged database is thrown away; busy, I/O or permission failures keep it.
    bool damaged = code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
    bool repaired = false;
    if (damaged && s->liveAlone()) {
      s->reset();
      repaired = s->dbOpen() && s->dbInitialize();
      s->liveShare();
    } else if (damaged) {
      // Another storage has the database open: emptied through SQLite, never unlinked.
      repaired = s->dbOpen() && s->clearInPlace(true);
    }
    s->damaged_ = false;
    if (!repaired) {
      s->dbClose();
      plat::NSLog("HVKVStorage init error: fail to open sqlite db.");
      return nullptr;
    }
  }
  s->fileFinishPendingRenames();
  s->fileRemoveUnnamedFiles();
  s->fileEmptyTrashInBackground();
  return s;
}

// ---- the folder lock ----

bool HVKVStorage::lockByte(int64_t byte, short type, double timeout) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(timeout));
  std::chrono::microseconds pause(200);
  for (;;) {
    // Open-file-description locks: one per storage, also within one process.
    if (::fcntl(lockFd_, F_OFD_SETLK, &lock) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EACCES) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pauseBeforeRetry(&pause);
  }
}

bool HVKVStorage::workLock(bool exclusive) {
  if (workDepth_ > 0) {
    if (exclusive && !workEscalate()) return false;
    workDepth_++;
    return true;
  }
  if (!lockByte(kWorkByte, exclusive ? F_WRLCK : F_RDLCK, kFolderLockTimeout)) {
    if (errorLogsEnabled_)
      plat::NSLog("HVKVStorage error: the folder [%@] stayed locked by another storage.", path_);
    return false;
  }
  workHeld_ = true;
  workExclusive_ = exclusive;
  workDepth_ = 1;
  return true;
}

void HVKVStorage::workUnlock() {
  if (--workDepth_ > 0) return;
  if (damaged_ && workEscalate()) repairDamage();
  damaged_ = false;
  if (workHeld_) lockByte(kWorkByte, F_UNLCK, 0);
  workHeld_ = workExclusive_ = false;
}

bool HVKVStorage::workEscalate() {
  if (workHeld_ && workExclusive_) return true;
  // Taken at once when no other storage holds it; else let go and wait for it.
  if (workHeld_ && lockByte(kWorkByte, F_WRLCK, 0)) return workExclusive_ = true;
  if (workHeld_) lockByte(kWorkByte, F_UNLCK, 0);
  workHeld_ = workExclusive_ = lockByte(kWorkByte, F_WRLCK, kFolderLockTimeout);
  if (!workHeld_ && errorLogsEnabled_) {
    plat::NSLog("HVKVStorage error: the folder [%@] stayed locked by another storage.", path_);
  }
  return workHeld_;
}

bool HVKVStorage::liveAlone() { return lockByte(kLiveByte, F_WRLCK, 0); }

void HVKVStorage::liveShare() { lockByte(kLiveByte, F_RDLCK, kFolderLockTimeout); }

// Called with the work lock held exclusively.
bool HVKVStorage::clearInPlace(bool damaged) {
  bool ok;
  if (damaged) {
    // SQLite's own reset of a database to empty, which works on a damaged one; statements
    // must not be pending meanwhile.
    for (auto& [sql, stmt] : stmtCache_) sqlite3_finalize(stmt);
    stmtCache_.clear();
    sqlite3_db_config(db_, SQLITE_DBCONFIG_RESET_DATABASE, 1, nullptr);
    ok = sqlite3_exec(db_, "vacuum;", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_db_config(db_, SQLITE_DBCONFIG_RESET_DATABASE, 0, nullptr);
    ok = ok && dbInitialize();
  } else {
    ok = dbBegin() && dbExec("delete from manifest; delete from pending_file;", HV_FN, __LINE__) &&
         dbCommit();
  }
  // Rows first: a value file left by a failed move is only an unnamed file.
  bool moved = ok && fileMoveAllToTrash();
  fileEmptyTrashInBackground();
  if (ok) dbCheckpoint();
  return ok && moved;
}

void HVKVStorage::repairDamage() {
  damaged_ = false;
  plat::NSLog("HVKVStorage error: the database of [%@] is damaged; the storage is emptied.", path_);
  if (liveAlone()) {
    dbClose();
    reset();
    if (!dbOpen() || !dbInitialize()) {
      dbClose();
      dbLastOpenErrorTime_ = plat::Clock::nowSeconds();
      dbOpenErrorCount_++;
    }
    liveShare();
  } else if (db_ || dbOpen()) {
    clearInPlace(true);
  }
  damaged_ = false;
}

void HVKVStorage::setLengthLimitForTesting(int bytes) {
  WorkHold hold(this, false);
  if (hold && dbCheck()) sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, bytes);
}

namespace {
// An application extension has no shared application to ask for background time; decided once.
bool isApplicationExtension() {
  static const bool extension = [] {
    auto bundle = plat::NSBundle::mainBundle();
    std::string path = bundle ? bundle->bundlePath() : std::string();
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path.size() >= 6 && path.compare(path.size() - 6, 6, ".appex") == 0;
  }();
  return extension;
}
}  // namespace

HVKVStorage::~HVKVStorage() {
  // The close finishes even when the application moves to the background meanwhile.
  if (isApplicationExtension()) {
    dbClose();
    if (lockFd_ >= 0) ::close(lockFd_);
    return;
  }
  auto& app = plat::UIApplication::sharedApplication();
  auto task = app.beginBackgroundTaskWithExpirationHandler([] {});
  if (!restores_.empty()) {
    // A last try; a row still owed leaves its store pending, completed by the next opening.
    WorkHold hold(this, true);
  }
  dbClose();
  app.endBackgroundTask(task);
  if (lockFd_ >= 0) ::close(lockFd_);  // lets go of the folder's locks
}

// ---- database ----

bool HVKVStorage::dbOpen() {
  if (db_) return true;
  int result = sqlite3_open(dbPath_.c_str(), &db_);
  if (result == SQLITE_OK) {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    stmtCache_.clear();
    dbLastOpenErrorTime_ = 0;
    dbOpenErrorCount_ = 0;
    return true;
  }
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
  stmtCache_.clear();
  lastInitCode_ = result & 0xff;
  dbLastOpenErrorTime_ = plat::Clock::nowSeconds();
  dbOpenErrorCount_++;
  if (errorLogsEnabled_)
    plat::NSLog("%s line:%d sqlite open failed (%d).", HV_FN, __LINE__, result);
  return false;
}

bool HVKVStorage::dbClose() {
  if (!db_) return true;
  for (auto& [sql, stmt] : stmtCache_) sqlite3_finalize(stmt);
  stmtCache_.clear();
  int result = sqlite3_close(db_);
  if (result == SQLITE_BUSY || result == SQLITE_LOCKED) {
    bool stmtFinalized = false;
    while (sqlite3_stmt* stmt = sqlite3_next_stmt(db_, nullptr)) {
      sqlite3_finalize(stmt);
      stmtFinalized = true;
    }
    if (stmtFinalized) result = sqlite3_close(db_);
  }
  if (result != SQLITE_OK && errorLogsEnabled_) {
    plat::NSLog("%s line:%d sqlite close failed (%d).", HV_FN, __LINE__, result);
  }
  db_ = nullptr;
  return true;
}

bool HVKVStorage::dbCheck() {
  if (db_) return true;
  if (dbOpenErrorCount_ >= static_cast<uint64_t>(kMaxErrorRetryCount)) return false;
  if (plat::Clock::nowSeconds() - dbLastOpenErrorTime_ <= kMinRetryTimeInterval) return false;
  if (dbOpen() && dbInitialize()) return true;
  dbClose();
  // A failed initialisation counts as a failed open.
  dbLastOpenErrorTime_ = plat::Clock::nowSeconds();
  if (dbOpenErrorCount_ == 0) dbOpenErrorCount_ = 1;
  return false;
}

bool HVKVStorage::dbInitialize() {
  char* error = nullptr;
  int result;
  // Setting the journal mode of a new database can find another connection's lock without
  // waiting for it: tried again for the busy timeout.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  std::chrono::microseconds pause(200);
  for (;;) {
    result = sqlite3_exec(db_, kSchema, nullptr, nullptr, &error);
    if (result == SQLITE_OK) result = sqlite3_exec(db_, kPendingSchema, nullptr, nullptr, &error);
    int primary = result & 0xff;
    if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) ||
        std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    sqlite3_free(error);
    error = nullptr;
    pauseBeforeRetry(&pause);
  }
  lastInitCode_ = result & 0xff;
  noteResult(result);
  if (result != SQLITE_OK) {
    if (errorLogsEnabled_) {
      plat::NSLog(kExecError, HV_FN, __LINE__, result, error ? error : "");
    }
    sqlite3_free(error);
    return false;
  }
  return true;
}

void HVKVStorage::dbCheckpoint() {
  if (!dbCheck()) return;
  sqlite3_wal_checkpoint(db_, nullptr);
}

sqlite3_stmt* HVKVStorage::dbPrepareStmt(const std::string& sql, const char* fn, int line) {
  if (!dbCheck()) return nullptr;
  auto it = stmtCache_.find(sql);
  if (it != stmtCache_.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt* stmt = nullptr;
  int result = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
  if (result != SQLITE_OK) {
    logError(kPrepareError, fn, line, result);
    return nullptr;
  }
  stmtCache_[sql] = stmt;
  return stmt;
}

HVKVStorage::OneOffStmt HVKVStorage::dbPrepareKeysStmt(const std::string& head,
                                                       const std::vector<std::string>& keys,
                                                       const std::string& tail, const char* fn,
                                                       int line) {
  OneOffStmt none(nullptr, sqlite3_finalize);
  if (!dbCheck()) return none;
  std::string sql = head;
  for (size_t i = 0; i < keys.size(); i++) sql += i ? ",?" : "?";
  sql += tail;
  sqlite3_stmt* stmt = nullptr;
  int result = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
  if (result != SQLITE_OK) {
    logError(kPrepareError, fn, line, result);
    return none;
  }
  for (size_t i = 0; i < keys.size(); i++) bindText(stmt, static_cast<int>(i) + 1, keys[i]);
  return OneOffStmt(stmt, sqlite3_finalize);
}

bool HVKVStorage::dbStep(sqlite3_stmt* stmt, const std::function<void(sqlite3_stmt*)>& row,
                         const char* errorFormat, const char* fn, int line) {
  int result;
  while ((result = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (row) row(stmt);
  }
  sqlite3_reset(stmt);
  // Anything but "done" (busy, I/O, full) left the statement's work undone.
  if (result != SQLITE_DONE) {
    logError(errorFormat, fn, line, result);
    return false;
  }
  return true;
}

bool HVKVStorage::dbExec(const char* sql, const char* fn, int line) {
  if (!dbCheck()) return false;
  char* error = nullptr;
  int result = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  noteResult(result);
  if (result != SQLITE_OK && errorLogsEnabled_) {
    plat::NSLog(kExecError, fn, line, result, error ? error : "");
  }
  sqlite3_free(error);
  return result == SQLITE_OK;
}

bool HVKVStorage::dbBegin() { return dbExec("begin immediate;", HV_FN, __LINE__); }

bool HVKVStorage::dbCommit() {
  if (dbExec("commit;", HV_FN, __LINE__)) return true;
  dbRollback();
  return false;
}

void HVKVStorage::dbRollback() {
  if (db_ && !sqlite3_get_autocommit(db_)) dbExec("rollback;", HV_FN, __LINE__);
}

bool HVKVStorage::dbSave(const std::string& key, const plat::Data& value,
                         const std::string& fileName, const plat::Data& extendedData) {
  int64_t now = unixNow();
  return dbSaveRow(key, fileName, static_cast<int64_t>(value.length()), value, now, now,
                   extendedData);
}

bool HVKVStorage::dbSaveRow(const HVKVStorageItem& row) {
  return dbSaveRow(row.key, row.filename, row.size, row.value, row.modTime, row.accessTime,
                   row.extendedData);
}

bool HVKVStorage::dbSaveRow(const std::string& key, const std::string& fileName, int64_t size,
                            const plat::Data& value, int64_t modTime, int64_t accessTime,
                            const plat::Data& extendedData) {
  sqlite3_stmt* stmt = dbPrepareStmt(
      "insert or replace into manifest (key, filename, size, inline_data, modification_time, "
      "last_access_time, extended_data) values (?1, ?2, ?3, ?4, ?5, ?6, ?7);",
      HV_FN, __LINE__);
  if (!stmt) return false;
  // A bind that fails (a blob past the database's length limit) would leave its column NULL
  // and the row would replace the old one without its bytes: nothing is stored then.
  int bound = bindText(stmt, 1, key);
  auto bind = [&bound](int result) {
    if (bound == SQLITE_OK) bound = result;
  };
  if (fileName.empty()) {
    bind(sqlite3_bind_null(stmt, 2));
    bind(sqlite3_bind_blob64(stmt, 4, value.bytes(), value.length(), SQLITE_STATIC));
  } else {
    bind(bindText(stmt, 2, fileName));
    bind(sqlite3_bind_null(stmt, 4));
  }
  bind(sqlite3_bind_int64(stmt, 3, size));
  bind(sqlite3_bind_int64(stmt, 5, modTime));
  bind(sqlite3_bind_int64(stmt, 6, accessTime));
  if (extendedData.empty()) {
    bind(sqlite3_bind_null(stmt, 7));
  } else {
    // 64-bit lengths: data past the database's limit fails the bind, never goes in cut short.
    bind(sqlite3_bind_blob64(stmt, 7, extendedData.bytes(), extendedData.length(), SQLITE_STATIC));
  }
  bool ok = bound == SQLITE_OK;
  if (ok) {
    ok = dbStep(stmt, nullptr, kInsertError, HV_FN, __LINE__);
  } else {
    logError(kInsertError, HV_FN, __LINE__, bound);
  }
  sqlite3_clear_bindings(stmt);  // the blobs were bound without a copy
  return ok;
}

bool HVKVStorage::dbSetPendingFile(const std::string& filename, const std::string& temp) {
  sqlite3_stmt* stmt = dbPrepareStmt(
      "insert or replace into pending_file (filename, temp) values (?1, ?2);", HV_FN, __LINE__);
  if (!stmt) return false;
  bindText(stmt, 1, filename);
  bindText(stmt, 2, temp);
  return dbStep(stmt, nullptr, kInsertError, HV_FN, __LINE__);
}

bool HVKVStorage::dbClearPendingFile(const std::string& filename) {
  sqlite3_stmt* stmt =
      dbPrepareStmt("delete from pending_file where filename = ?1;", HV_FN, __LINE__);
  if (!stmt) return false;
  bindText(stmt, 1, filename);
  return dbStep(stmt, nullptr, kDeleteError, HV_FN, __LINE__);
}

bool HVKVStorage::dbUpdateAccessTime(const std::string& key) {
  sqlite3_stmt* stmt =
      dbPrepareStmt("update manifest set last_access_time = ?1 where key = ?2;", HV_FN, __LINE__);
  if (!stmt) return false;
  sqlite3_bind_int64(stmt, 1, unixNow());
  bindText(stmt, 2, key);
  return dbStep(stmt, nullptr, kUpdateError, HV_FN, __LINE__);
}

bool HVKVStorage::dbUpdateAccessTimes(const std::vector<std::string>& keys) {
  auto stmt =
      dbPrepareKeysStmt(plat::format("update manifest set last_access_time = %lld where key in (",
                                     static_cast<long long>(unixNow())),
                        keys, ");", HV_FN, __LINE__);
  return stmt && dbStep(stmt.get(), nullptr, kUpdateError, HV_FN, __LINE__);
}

bool HVKVStorage::dbDeleteItem(const std::string& key) {
  sqlite3_stmt* stmt = dbPrepareStmt("delete from manifest where key = ?1;", HV_FN, __LINE__);
  if (!stmt) return false;
  bindText(stmt, 1, key);
  return dbStep(stmt, nullptr, kDbDeleteError, HV_FN, __LINE__);
}

bool HVKVStorage::dbDeleteItems(const std::vector<std::string>& keys) {
  auto stmt = dbPrepareKeysStmt("delete from manifest where key in (", keys, ");", HV_FN, __LINE__);
  return stmt && dbStep(stmt.get(), nullptr, kDeleteError, HV_FN, __LINE__);
}

bool HVKVStorage::dbDeleteItemsWithSizeLargerThan(int64_t size) {
  sqlite3_stmt* stmt = dbPrepareStmt("delete from manifest where size > ?1;", HV_FN, __LINE__);
  if (!stmt) return false;
  sqlite3_bind_int64(stmt, 1, size);
  return dbStep(stmt, nullptr, kDeleteError, HV_FN, __LINE__);
}

bool HVKVStorage::dbDeleteItemsWithTimeEarlierThan(int64_t time) {
  sqlite3_stmt* stmt =
      dbPrepareStmt("delete from manifest where last_access_time < ?1;", HV_FN, __LINE__);
  if (!stmt) return false;
  sqlite3_bind_int64(stmt, 1, time);
  return dbStep(stmt, nullptr, kDeleteError, HV_FN, __LINE__);
}

HVKVStorageItemRef HVKVStorage::dbGetItemFromStmt(sqlite3_stmt* stmt, bool excludeInlineData) {
  int i = 0;
  auto item = std::make_shared<HVKVStorageItem>();
  item->key = columnText(stmt, i++);
  item->filename = columnText(stmt, i++);
  item->size = sqlite3_column_int64(stmt, i++);
  if (!excludeInlineData) item->value = columnBlob(stmt, i++);
  item->modTime = sqlite3_column_int64(stmt, i++);
  item->accessTime = sqlite3_column_int64(stmt, i++);
  item->extendedData = columnBlob(stmt, i++);
  return item;
}

namespace {
const char* itemColumns(bool excludeInlineData) {
  return excludeInlineData
             ? "select key, filename, size, modification_time, last_access_time, extended_data "
               "from manifest where key "
             : "select key, filename, size, inline_data, modification_time, last_access_time, "
               "extended_data from manifest where key ";
}
}  // namespace

HVKVStorageItemRef HVKVStorage::dbGetItem(const std::string& key, bool excludeInlineData,
                                          bool* failed) {
  if (auto owed = owedRow(key, excludeInlineData)) {
    if (failed) *failed = false;
    return *owed;
  }
  if (failed) *failed = true;
  sqlite3_stmt* stmt =
      dbPrepareStmt(std::string(itemColumns(excludeInlineData)) + "= ?1;", HV_FN, __LINE__);
  if (!stmt) return nullptr;
  bindText(stmt, 1, key);
  HVKVStorageItemRef item;
  bool ok = dbStep(
      stmt, [&](sqlite3_stmt* s) { item = dbGetItemFromStmt(s, excludeInlineData); }, kQueryError,
      HV_FN, __LINE__);
  if (failed) *failed = !ok;
  return ok ? item : nullptr;
}

std::vector<HVKVStorageItemRef> HVKVStorage::dbGetItems(const std::vector<std::string>& keys,
                                                        bool excludeInlineData) {
  std::vector<HVKVStorageItemRef> items;
  auto stmt = dbPrepareKeysStmt(std::string(itemColumns(excludeInlineData)) + "in (", keys, ");",
                                HV_FN, __LINE__);
  if (!stmt) return items;
  auto row = [&](sqlite3_stmt* s) { items.push_back(dbGetItemFromStmt(s, excludeInlineData)); };
  if (!dbStep(stmt.get(), row, kQueryError, HV_FN, __LINE__)) return {};
  if (restores_.empty()) return items;
  std::erase_if(items, [&](const HVKVStorageItemRef& item) { return restores_.count(item->key); });
  std::unordered_set<std::string> seen;
  for (const auto& key : keys) {
    if (!seen.insert(key).second) continue;
    auto owed = owedRow(key, excludeInlineData);
    if (owed && *owed) items.push_back(*owed);
  }
  return items;
}

std::optional<plat::Data> HVKVStorage::dbGetValue(const std::string& key) {
  if (auto owed = owedRow(key, false)) {
    if (!*owed || (*owed)->value.empty()) return std::nullopt;
    return (*owed)->value;
  }
  sqlite3_stmt* stmt =
      dbPrepareStmt("select inline_data from manifest where key = ?1;", HV_FN, __LINE__);
  if (!stmt) return std::nullopt;
  bindText(stmt, 1, key);
  std::optional<plat::Data> value;
  dbStep(
      stmt,
      [&](sqlite3_stmt* s) {
        plat::Data d = columnBlob(s, 0);
        if (!d.empty()) value = std::move(d);
      },
      kQueryError, HV_FN, __LINE__);
  return value;
}

// The key's file name; nullopt when the key has none. `failed` reports a database error.
std::optional<std::string> HVKVStorage::dbGetFilename(const std::string& key, bool* failed) {
  std::vector<std::string> names;
  *failed = !dbGetFilenamesWhere(
      "key = ?1", [&](sqlite3_stmt* s) { bindText(s, 1, key); }, &names);
  if (*failed || names.empty()) return std::nullopt;
  return names.front();
}

std::vector<std::string> HVKVStorage::dbGetFilenames(const std::vector<std::string>& keys) {
  std::vector<std::string> names;
  auto stmt = dbPrepareKeysStmt("select filename from manifest where key in (", keys, ");", HV_FN,
                                __LINE__);
  if (stmt) dbStep(stmt.get(), filenameCollector(&names), kQueryError, HV_FN, __LINE__);
  return names;
}

std::function<void(sqlite3_stmt*)> HVKVStorage::filenameCollector(std::vector<std::string>* names) {
  return [names](sqlite3_stmt* s) {
    std::string n = columnText(s, 0);
    if (!n.empty()) names->push_back(std::move(n));
  };
}

bool HVKVStorage::dbGetFilenamesWhere(const std::string& condition,
                                      const std::function<void(sqlite3_stmt*)>& bind,
                                      std::vector<std::string>* names) {
  sqlite3_stmt* stmt =
      dbPrepareStmt("select filename from manifest where " + condition + ";", HV_FN, __LINE__);
  if (!stmt) return false;
  bind(stmt);
  return dbStep(stmt, filenameCollector(names), kQueryError, HV_FN, __LINE__);
}

std::vector<std::string> HVKVStorage::dbGetFilenamesWithSizeLargerThan(int64_t size) {
  std::vector<std::string> names;
  dbGetFilenamesWhere(
      "size > ?1 and filename is not null",
      [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, size); }, &names);
  return names;
}

std::vector<std::string> HVKVStorage::dbGetFilenamesWithTimeEarlierThan(int64_t time) {
  std::vector<std::string> names;
  dbGetFilenamesWhere(
      "last_access_time < ?1 and filename is not null",
      [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, time); }, &names);
  return names;
}

std::vector<HVKVStorageItemRef> HVKVStorage::dbGetItemSizeInfoOrderByTimeAscWithLimit(int count) {
  std::vector<HVKVStorageItemRef> items;
  sqlite3_stmt* stmt = dbPrepareStmt(
      "select key, filename, size from manifest order by last_access_time asc limit ?1;", HV_FN,
      __LINE__);
  if (!stmt) return items;
  sqlite3_bind_int(stmt, 1, count);
  auto row = [&](sqlite3_stmt* s) {
    auto item = std::make_shared<HVKVStorageItem>();
    item->key = columnText(s, 0);
    item->filename = columnText(s, 1);
    item->size = sqlite3_column_int64(s, 2);
    items.push_back(std::move(item));
  };
  if (!dbStep(stmt, row, kQueryError, HV_FN, __LINE__)) items.clear();
  return items;
}

int64_t HVKVStorage::dbGetInt(const std::string& sql, const std::string& key, const char* fn,
                              int line) {
  sqlite3_stmt* stmt = dbPrepareStmt(sql, fn, line);
  if (!stmt) return -1;
  if (!key.empty()) bindText(stmt, 1, key);
  int64_t value = -1;
  bool ok = dbStep(
      stmt, [&](sqlite3_stmt* s) { value = sqlite3_column_int64(s, 0); }, kQueryError, fn, line);
  return ok ? value : -1;
}

// ---- files ----

bool HVKVStorage::fileWriteTemp(const plat::Data& data, std::string* tempPath) {
  std::string path = (fs::path(dataPath_) / (kTempPrefix + plat::NSUUID().UUIDString())).string();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT && fileEnsureFolders()) {
    // "data" was deleted under the live storage: made again, as at initialisation.
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  }
  if (fd < 0) return false;
  bool ok = writeAllAndSync(fd, data);
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    ::unlink(path.c_str());
    return false;
  }
  *tempPath = path;
  return true;
}

bool HVKVStorage::fileRenameInto(const std::string& tempPath, const std::string& filename) {
  std::string target = (fs::path(dataPath_) / filename).string();
  if (renameForTesting_) return renameForTesting_(tempPath, target) == 0;
  return ::rename(tempPath.c_str(), target.c_str()) == 0;
}

void HVKVStorage::setRenameForTesting(
    std::function<int(const std::string& from, const std::string& to)> rename) {
  renameForTesting_ = std::move(rename);
}

std::optional<plat::Data> HVKVStorage::fileRead(const std::string& filename, int64_t size) {
  if (!isSafeFilename(filename) || size <= 0 || size > kMaxValueSize) return std::nullopt;
  std::string path = (fs::path(dataPath_) / filename).string();
  // Opened without blocking and checked to be a regular file before reading: a named pipe
  // planted in the folder must not hang the reader.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  struct stat st;
  // A file whose length is not the one its row records was changed behind the storage's back;
  // its declared length is never trusted for the allocation.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != size) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (got != bytes.size() || bytes.empty()) return std::nullopt;
  return plat::Data(std::move(bytes));
}

bool HVKVStorage::fileDelete(const std::string& filename) {
  if (!isSafeFilename(filename)) return false;
  std::string path = (fs::path(dataPath_) / filename).string();
  return ::unlink(path.c_str()) == 0;
}

void HVKVStorage::fileFinishPendingRenames() {
  std::vector<std::pair<std::string, std::string>> pending;
  sqlite3_stmt* stmt = dbPrepareStmt("select filename, temp from pending_file;", HV_FN, __LINE__);
  if (!stmt) return;
  auto row = [&](sqlite3_stmt* s) { pending.emplace_back(columnText(s, 0), columnText(s, 1)); };
  if (!dbStep(stmt, row, kQueryError, HV_FN, __LINE__)) return;
  for (auto& [filename, temp] : pending) {
    if (!isSafeFilename(filename) || temp.rfind(kTempPrefix, 0) != 0 ||
        temp.find('/') != std::string::npos || temp.find('\0') != std::string::npos) {
      continue;
    }
    std::string tempPath = (fs::path(dataPath_) / temp).string();
    struct stat st;
    // Gone: the rename happened before the kill.
    if (::lstat(tempPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::string target = (fs::path(dataPath_) / filename).string();
    if (::rename(tempPath.c_str(), target.c_str()) != 0) {
      // The committed row's bytes cannot be put in place: drop the rows naming the file.
      sqlite3_stmt* drop =
          dbPrepareStmt("delete from manifest where filename = ?1;", HV_FN, __LINE__);
      if (drop) {
        bindText(drop, 1, filename);
        dbStep(drop, nullptr, kDeleteError, HV_FN, __LINE__);
      }
    }
  }
  if (!pending.empty()) dbExec("delete from pending_file;", HV_FN, __LINE__);
}

bool HVKVStorage::fileEnsureFolders() {
  std::error_code ec;
  fs::create_directories(dataPath_, ec);
  if (!ec) fs::create_directories(trashPath_, ec);
  return !ec && fs::is_directory(dataPath_) && fs::is_directory(trashPath_);
}

// Moves "data" into the trash and makes a new empty one. When the move fails, the files are
// deleted where they lie. False when "data" still holds anything afterwards.
bool HVKVStorage::fileMoveAllToTrash() {
  std::error_code ec;
  fs::create_directories(trashPath_, ec);
  std::string tmp = (fs::path(trashPath_) / plat::NSUUID().UUIDString()).string();
  ec.clear();
  fs::rename(dataPath_, tmp, ec);
  if (ec) {
    for (auto it = fs::directory_iterator(dataPath_, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      std::error_code rm;
      fs::remove_all(it->path(), rm);
    }
  }
  ec.clear();
  fs::create_directories(dataPath_, ec);
  if (ec || !fs::is_directory(dataPath_)) return false;
  return fs::is_empty(dataPath_, ec) && !ec;
}

// Deletes what no committed row names: temporary files of a process killed while writing a
// value (pending renames are finished before), and files of rows that are gone (SQLite mode
// removes rows only). When the names cannot be read, only the temporary files go.
void HVKVStorage::fileRemoveUnnamedFiles() {
  std::vector<std::string> names;
  sqlite3_stmt* stmt =
      dbPrepareStmt("select filename from manifest where filename is not null;", HV_FN, __LINE__);
  bool known = stmt && dbStep(stmt, filenameCollector(&names), kQueryError, HV_FN, __LINE__);
  std::unordered_set<std::string> named(names.begin(), names.end());
  std::error_code ec;
  for (auto it = fs::directory_iterator(dataPath_, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    bool temp = name.rfind(kTempPrefix, 0) == 0;
    if (!temp && (!known || named.count(name))) continue;
    std::error_code rm;
    fs::remove_all(it->path(), rm);
  }
}

void HVKVStorage::fileEmptyTrashInBackground() {
  std::string trash = trashPath_;
  plat::dispatch_async(trashQueue_, [trash] {
    std::error_code ec;
    for (auto it = fs::directory_iterator(trash, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      std::error_code rm;
      fs::remove_all(it->path(), rm);
    }
  });
}

bool HVKVStorage::reset() {
  bool ok = true;
  for (const char* name : {kDBFileName, kDBShmFileName, kDBWalFileName}) {
    if (::unlink((fs::path(path_) / name).c_str()) != 0 && errno != ENOENT) ok = false;
  }
  ok = fileMoveAllToTrash() && ok;
  fileEmptyTrashInBackground();
  return ok;
}

// ---- stores ----

bool HVKVStorage::saveItem(const HVKVStorageItem& item) {
  return saveItemWithKeyValueFilenameExtendedData(item.key, item.value, item.filename,
                                                  item.extendedData);
}

bool HVKVStorage::saveItemWithKeyValue(const std::string& key, const plat::Data& value) {
  return saveItemWithKeyValueFilenameExtendedData(key, value, std::string(), plat::Data());
}

bool HVKVStorage::saveItemWithKeyValueFilenameExtendedData(const std::string& key,
                                                           const plat::Data& value,
                                                           const std::string& filename,
                                                           const plat::Data& extendedData) {
  if (!isUsableKey(key) || value.empty()) return false;
  if (static_cast<uint64_t>(value.length()) > static_cast<uint64_t>(kMaxValueSize)) return false;
  if (type_ == HVStorageModeFiles && filename.empty()) return false;
  if (!filename.empty() && !isSafeFilename(filename)) return false;
  WorkHold hold(this, true);
  if (!hold || !dbCheck()) return false;
  if (!filename.empty()) return saveFileValue(key, value, filename, extendedData);

  bool failed = false;
  std::optional<std::string> oldName;
  if (type_ != HVStorageModeSQLite) {
    oldName = dbGetFilename(key, &failed);
    if (failed) return false;
  }
  // Inline: the row first, then the file it replaces.
  if (!dbSave(key, value, std::string(), extendedData)) return false;
  if (oldName) fileDelete(*oldName);
  return true;
}

// The new bytes go to a synced temporary file; the new row and a pending entry naming that
// file commit together; then the file is renamed into place and the entry dropped. A kill
// before the commit leaves the old row and file (the temporary file is removed at the next
// open); a kill after it leaves an entry that the next open completes. Either way the row and
// the file agree. A failed rename puts the old row back (see restoreRow).
bool HVKVStorage::saveFileValue(const std::string& key, const plat::Data& value,
                                const std::string& filename, const plat::Data& extendedData) {
  bool failed = false;
  HVKVStorageItemRef old = dbGetItem(key, false, &failed);
  if (failed) return false;
  std::string temp;
  if (!fileWriteTemp(value, &temp)) return false;
  std::string tempName = fs::path(temp).filename().string();
  if (!dbBegin()) {
    ::unlink(temp.c_str());
    return false;
  }
  if (!dbSave(key, value, filename, extendedData) || !dbSetPendingFile(filename, tempName) ||
      !dbCommit()) {
    dbRollback();
    ::unlink(temp.c_str());
    return false;
  }
  if (!fileRenameInto(temp, filename)) {
    // Nothing the old row names is touched: its file is the only copy of the value kept.
    Restore restore{old, filename, temp};
    if (!restoreRow(key, restore)) restores_[key] = std::move(restore);
    return false;
  }
  dbClearPendingFile(filename);  // a leftover entry is harmless: its temporary file is gone
  if (old && !old->filename.empty() && old->filename != filename) fileDelete(old->filename);
  return true;
}

// Puts the row a failed store replaced back (or drops the new row when the key had none) with
// the pending entry, then deletes the new bytes. Where the database cannot be written either,
// the new bytes stay under their temporary name: should the row never be put back, the next
// opening completes the store, and the key holds a whole value either way.
// A pending entry that no longer names the store's temporary file means another storage has
// completed or replaced that store since: its row is the newer one and stays.
bool HVKVStorage::restoreRow(const std::string& key, const Restore& restore) {
  if (!dbBegin()) return false;
  std::string pending;
  sqlite3_stmt* stmt =
      dbPrepareStmt("select temp from pending_file where filename = ?1;", HV_FN, __LINE__);
  bool ok = stmt != nullptr;
  if (ok) {
    bindText(stmt, 1, restore.filename);
    ok = dbStep(
        stmt, [&](sqlite3_stmt* s) { pending = columnText(s, 0); }, kQueryError, HV_FN, __LINE__);
  }
  bool ours = pending == fs::path(restore.temp).filename().string();
  ok = ok &&
       (!ours || ((restore.old ? dbSaveRow(*restore.old) : dbDeleteItem(key)) &&
                  dbClearPendingFile(restore.filename))) &&
       dbCommit();
  if (!ok) {
    dbRollback();
    return false;
  }
  if (ours) ::unlink(restore.temp.c_str());
  return true;
}

bool HVKVStorage::settleRestores() {
  if (restores_.empty()) return true;
  if (!dbCheck()) return false;
  for (auto it = restores_.begin(); it != restores_.end(); it = restores_.erase(it)) {
    if (!restoreRow(it->first, it->second)) return false;
  }
  return true;
}

// The row a read sees for `key` while the row of a failed store is owed: the old one, as it
// was (nullptr for none); nullopt when nothing is owed for the key.
std::optional<HVKVStorageItemRef> HVKVStorage::owedRow(const std::string& key,
                                                       bool excludeInlineData) const {
  auto it = restores_.find(key);
  if (it == restores_.end()) return std::nullopt;
  if (!it->second.old) return HVKVStorageItemRef();
  auto row = std::make_shared<HVKVStorageItem>(*it->second.old);
  if (excludeInlineData) row->value = plat::Data();
  return row;
}

// ---- removals ----

bool HVKVStorage::removeItemForKey(const std::string& key) {
  if (!isUsableKey(key)) return false;
  WorkHold hold(this, true);
  if (!hold || !dbCheck()) return false;
  if (type_ == HVStorageModeSQLite) return dbDeleteItem(key);
  bool failed = false;
  auto name = dbGetFilename(key, &failed);
  if (failed) return false;
  // The row goes first: a row naming a missing file must never be left behind.
  if (!dbDeleteItem(key)) return false;
  if (name) fileDelete(*name);
  return true;
}

bool HVKVStorage::removeItemForKeys(const std::vector<std::string>& keys) {
  if (!areUsableKeys(keys)) return false;
  WorkHold hold(this, true);
  if (!hold || !dbCheck()) return false;
  if (type_ == HVStorageModeSQLite) return dbDeleteItems(keys);
  auto names = dbGetFilenames(keys);
  if (!dbDeleteItems(keys)) return false;
  for (auto& n : names) fileDelete(n);
  return true;
}

bool HVKVStorage::removeItemsLargerThanSize(int64_t size) {
  if (size == kInt64Max) return true;
  if (size <= 0) return removeAllItems();
  WorkHold hold(this, true);
  if (!hold || !dbCheck()) return false;
  std::vector<std::string> names;
  if (type_ != HVStorageModeSQLite) names = dbGetFilenamesWithSizeLargerThan(size);
  if (!dbDeleteItemsWithSizeLargerThan(size)) return false;
  for (auto& n : names) fileDelete(n);
  dbCheckpoint();
  return true;
}

bool HVKVStorage::removeItemsEarlierThanTime(int64_t time) {
  if (time <= 0) return true;
  if (time == kInt64Max) return removeAllItems();
  WorkHold hold(this, true);
  if (!hold || !dbCheck()) return false;
  std::vector<std::string> names;
  if (type_ != HVStorageModeSQLite) names = dbGetFilenamesWithTimeEarlierThan(time);
  if (!dbDeleteItemsWithTimeEarlierThan(time)) return false;
  for (auto& n : names) fileDelete(n);
  dbCheckpoint();
  return true;
}

bool HVKVStorage::removeToFit(int64_t limit, bool bySize) {
  if (limit == kInt64Max) return true;
  if (limit <= 0) return removeAllItems();
  WorkHold hold(this, true);
  if (!hold) return false;
  int64_t total = bySize ? getItemsSize() : getItemsCount();
  if (total < 0) return false;
  if (total <= limit) return true;
  bool ok = true;
  std::vector<HVKVStorageItemRef> items;
  do {
    items = dbGetItemSizeInfoOrderByTimeAscWithLimit(16);
    for (auto& item : items) {
      if (total <= limit) break;
      if (!dbDeleteItem(item->key)) {
        ok = false;
        break;
      }
      if (!item->filename.empty()) fileDelete(item->filename);
      total -= bySize ? item->size : 1;
    }
  } while (ok && total > limit && !items.empty());
  if (ok) dbCheckpoint();
  return ok && total <= limit;
}

bool HVKVStorage::removeItemsToFitSize(int64_t maxSize) { return removeToFit(maxSize, true); }
bool HVKVStorage::removeItemsToFitCount(int64_t maxCount) { return removeToFit(maxCount, false); }

bool HVKVStorage::removeAllItems() {
  WorkHold hold(this, true);
  if (!hold) return false;
  if (!liveAlone()) {
    // Another storage has the database open: deleting its files would leave it writing into
    // a database nobody reads again.
    bool cleared = dbCheck() && clearInPlace(false);
    if (!cleared) {
      plat::NSLog("HVKVStorage removeAllItems error: fail to remove the items under [%@].", path_);
    }
    return cleared;
  }
  struct Share {
    HVKVStorage* storage;
    ~Share() { storage->liveShare(); }
  } share{this};
  if (!dbClose()) return false;
  bool cleared = reset();
  if (!cleared) {
    plat::NSLog("HVKVStorage removeAllItems error: fail to remove the files under [%@].", path_);
  }
  if (!dbOpen()) return false;
  if (!dbInitialize()) {
    // A connection without its table would pass the open check and fail every call: closed,
    // it is opened again by the check once the retry interval has passed.
    dbClose();
    dbLastOpenErrorTime_ = plat::Clock::nowSeconds();
    dbOpenErrorCount_++;
    return false;
  }
  return cleared;
}

void HVKVStorage::removeAllItemsWithProgressBlockEndBlock(
    const std::function<void(int64_t, int64_t)>& progress, const std::function<void(bool)>& end) {
  int64_t total = getItemsCount();
  if (total <= 0) {
    if (end) end(total < 0);
    return;
  }
  int64_t left = total;
  bool ok = true;
  std::vector<HVKVStorageItemRef> items;
  do {
    {
      // A round at a time: the blocks run with the folder free.
      WorkHold hold(this, true);
      items =
          hold ? dbGetItemSizeInfoOrderByTimeAscWithLimit(32) : std::vector<HVKVStorageItemRef>();
      ok = bool(hold);
      for (auto& item : items) {
        if (left <= 0) break;
        if (!dbDeleteItem(item->key)) {
          ok = false;
          break;
        }
        if (!item->filename.empty()) fileDelete(item->filename);
        left--;
      }
      if (ok && (left <= 0 || items.empty())) dbCheckpoint();
    }
    if (progress) progress(total - left, total);
  } while (left > 0 && !items.empty() && ok);
  if (end) end(!ok);
}

// ---- reads ----

HVKVStorageItemRef HVKVStorage::withFileValue(HVKVStorageItemRef item) {
  if (auto bytes = fileRead(item->filename, item->size)) {
    item->value = std::move(*bytes);
    return item;
  }
  // Another storage may have replaced or removed the value since the row was read: only a
  // row whose file is unreadable under the exclusive lock is dropped.
  if (!workEscalate()) return nullptr;
  // An old row owed whose file is gone or changed: another storage completed the failed
  // store meanwhile, and the database's row is the one to read.
  restores_.erase(item->key);
  bool failed = false;
  auto again = dbGetItem(item->key, false, &failed);
  if (failed || !again || again->filename.empty()) return again;
  auto bytes = fileRead(again->filename, again->size);
  if (!bytes) {
    dbDeleteItem(again->key);
    return nullptr;
  }
  again->value = std::move(*bytes);
  return again;
}

HVKVStorageItemRef HVKVStorage::getItemForKey(const std::string& key) {
  if (!isUsableKey(key)) return nullptr;
  WorkHold hold(this, false);
  if (!hold) return nullptr;
  auto item = dbGetItem(key, false);
  if (!item) return nullptr;
  dbUpdateAccessTime(key);
  if (!item->filename.empty()) return withFileValue(item);
  return item;
}

HVKVStorageItemRef HVKVStorage::getItemInfoForKey(const std::string& key) {
  if (!isUsableKey(key)) return nullptr;
  WorkHold hold(this, false);
  return hold ? dbGetItem(key, true) : nullptr;
}

std::optional<plat::Data> HVKVStorage::getItemValueForKey(const std::string& key) {
  if (!isUsableKey(key)) return std::nullopt;
  WorkHold hold(this, false);
  if (!hold) return std::nullopt;
  std::optional<plat::Data> value;
  if (type_ == HVStorageModeSQLite) {
    value = dbGetValue(key);
  } else {
    bool failed = false;
    // One query gives the file name, the recorded size and an inline value.
    auto item = dbGetItem(key, false, &failed);
    if (failed || !item) return std::nullopt;
    if (!item->filename.empty()) {
      item = withFileValue(item);
      if (!item) return std::nullopt;
    }
    if (!item->filename.empty() || (type_ == HVStorageModeMixed && !item->value.empty())) {
      value = std::move(item->value);
    }
  }
  if (value) dbUpdateAccessTime(key);
  return value;
}

std::vector<HVKVStorageItemRef> HVKVStorage::getItemForKeys(const std::vector<std::string>& keys) {
  if (!areUsableKeys(keys)) return {};
  WorkHold hold(this, false);
  if (!hold) return {};
  auto items = dbGetItems(keys, false);
  if (type_ != HVStorageModeSQLite) {
    std::vector<HVKVStorageItemRef> kept;
    for (auto& item : items) {
      if (!item->filename.empty()) item = withFileValue(item);
      if (item) kept.push_back(item);
    }
    items.swap(kept);
  }
  if (!items.empty()) dbUpdateAccessTimes(keys);
  return items;
}

std::vector<HVKVStorageItemRef> HVKVStorage::getItemInfoForKeys(
    const std::vector<std::string>& keys) {
  if (!areUsableKeys(keys)) return {};
  WorkHold hold(this, false);
  return hold ? dbGetItems(keys, true) : std::vector<HVKVStorageItemRef>();
}

std::map<std::string, plat::Data> HVKVStorage::getItemValueForKeys(
    const std::vector<std::string>& keys) {
  std::map<std::string, plat::Data> values;
  for (auto& item : getItemForKeys(keys)) {
    if (!item->value.empty()) values[item->key] = item->value;
  }
  return values;
}

bool HVKVStorage::itemExistsForKey(const std::string& key) {
  if (!isUsableKey(key)) return false;
  WorkHold hold(this, false);
  if (!hold) return false;
  if (auto owed = owedRow(key, true)) return *owed != nullptr;
  return dbGetInt("select count(key) from manifest where key = ?1;", key, HV_FN, __LINE__) > 0;
}

int64_t HVKVStorage::getItemsCount() {
  WorkHold hold(this, false);
  return hold ? dbGetInt("select count(*) from manifest;", std::string(), HV_FN, __LINE__) : -1;
}

int64_t HVKVStorage::getItemsSize() {
  WorkHold hold(this, false);
  // sum() of no rows is NULL, which reads as 0.
  return hold ? dbGetInt("select sum(size) from manifest;", std::string(), HV_FN, __LINE__) : -1;
}
