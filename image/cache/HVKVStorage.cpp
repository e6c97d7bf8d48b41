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
    "pragma journal_mode = wal; pragma synchronous = full; create table if not exists manifest "
    "(key text, filename text, size integer, inline_data blob, modification_time integer, "
    "last_access_time integer, extended_data blob, primary key(key)); create index if not "
    "exists last_access_time_idx on manifest(last_access_time); create index if not exists "
    "filename_idx on manifest(filename);";

// A store of a value file: its temporary file, and the row its new row replaced (had_row 0:
// none). A store adds its entry in the transaction of its new row; while the temporary file
// exists, the store has not taken effect and the kept row is the key's record.
const char* const kPendingSchema =
    "create table if not exists pending_store (temp text, had_row integer, key text, filename "
    "text, size integer, inline_data blob, modification_time integer, last_access_time integer, "
    "extended_data blob, primary key(temp)); create index if not exists pending_store_key_idx on "
    "pending_store(key);";

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

bool writeAll(int fd, const plat::Data& data) {
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
  return true;
}

}  // namespace

#define HV_FN __func__

// Holds the work lock for one call (nested calls share the outer hold); when the call met a
// damaged database, repairs it before letting go. A change also needs the database open, and
// starts only once the rows of stores that never took effect are back in it.
class HVKVStorage::WorkHold {
 public:
  WorkHold(HVKVStorage* storage, Work work)
      : storage_(storage), held_(storage->workLock(work != Work::read)) {
    if (held_ && work == Work::change &&
        !(storage->dbCheck() && (storage->workDepth_ > 1 || (storage->dbSetSyncFull(true) &&
                                                             storage->settlePending(false))))) {
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
  bool made = !ec && fs::create_directories(s->dataPath_, ec);
  if (!ec) made = fs::create_directories(s->trashPath_, ec) || made;
  if (made) s->fileSyncFolder(true);
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
  WorkHold hold(s.get(), Work::raw);
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
  s->fileDropLegacyPending();
  s->settlePending(true);
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
    ok = dbSetSyncFull(true) && dbBegin() &&
         dbExec("delete from manifest; delete from pending_store;", HV_FN, __LINE__) && dbCommit();
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
  WorkHold hold(this, Work::read);
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
  if (result == SQLITE_OK) syncFull_ = true;  // the schema's pragma
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

// A pragma takes effect when it is prepared: never run from the statement cache.
bool HVKVStorage::dbSetSyncFull(bool full) {
  if (syncFull_ == full) return true;
  if (!dbExec(full ? "pragma synchronous = full;" : "pragma synchronous = normal;", HV_FN,
              __LINE__)) {
    return false;
  }
  syncFull_ = full;
  return true;
}

// Access times need no sync of their own (a later commit's sync carries them): reads leave
// the connection at synchronous = normal, and the next change sets it back to full.
bool HVKVStorage::dbUpdateAccessTime(const std::string& key) {
  sqlite3_stmt* stmt =
      dbPrepareStmt("update manifest set last_access_time = ?1 where key = ?2;", HV_FN, __LINE__);
  if (!stmt || !dbSetSyncFull(false)) return false;
  sqlite3_bind_int64(stmt, 1, unixNow());
  bindText(stmt, 2, key);
  return dbStep(stmt, nullptr, kUpdateError, HV_FN, __LINE__);
}

bool HVKVStorage::dbUpdateAccessTimes(const std::vector<std::string>& keys) {
  auto stmt =
      dbPrepareKeysStmt(plat::format("update manifest set last_access_time = %lld where key in (",
                                     static_cast<long long>(unixNow())),
                        keys, ");", HV_FN, __LINE__);
  if (!stmt || !dbSetSyncFull(false)) return false;
  return dbStep(stmt.get(), nullptr, kUpdateError, HV_FN, __LINE__);
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

namespace {
bool isTempName(const std::string& name) {
  return name.rfind(kTempPrefix, 0) == 0 && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// The columns of a record, from `offset`.
HVKVStorageItemRef dbGetItemFromStmtAt(sqlite3_stmt* stmt, int offset, bool excludeInlineData) {
  int i = offset;
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

// The manifest's row of a key and its store entry (if any), the same columns each.
std::string itemSelect(bool excludeInlineData) {
  std::string columns = excludeInlineData
                            ? "key, filename, size, modification_time, last_access_time, "
                              "extended_data"
                            : "key, filename, size, inline_data, modification_time, "
                              "last_access_time, extended_data";
  std::string select = "select ";
  for (const char* table : {"m.", "p."}) {
    size_t start = 0;
    while (start < columns.size()) {
      size_t end = columns.find(", ", start);
      if (end == std::string::npos) end = columns.size();
      select += table + columns.substr(start, end - start) + ", ";
      start = end + 2;
    }
  }
  return select +
         "p.temp, p.had_row from manifest m left join pending_store p on p.key = m.key where "
         "m.key ";
}
}  // namespace

HVKVStorageItemRef HVKVStorage::dbGetItemFromStmt(sqlite3_stmt* stmt, bool excludeInlineData) {
  int columns = excludeInlineData ? 6 : 7;
  if (sqlite3_column_type(stmt, 2 * columns) != SQLITE_NULL) {
    std::string temp = columnText(stmt, 2 * columns);
    if (isTempName(temp) && fileExists((fs::path(dataPath_) / temp).string())) {
      if (!sqlite3_column_int(stmt, 2 * columns + 1)) return nullptr;
      return dbGetItemFromStmtAt(stmt, columns, excludeInlineData);
    }
  }
  return dbGetItemFromStmtAt(stmt, 0, excludeInlineData);
}

HVKVStorageItemRef HVKVStorage::dbGetItem(const std::string& key, bool excludeInlineData,
                                          bool* failed) {
  if (failed) *failed = true;
  sqlite3_stmt* stmt = dbPrepareStmt(itemSelect(excludeInlineData) + "= ?1;", HV_FN, __LINE__);
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
  auto stmt =
      dbPrepareKeysStmt(itemSelect(excludeInlineData) + "in (", keys, ");", HV_FN, __LINE__);
  if (!stmt) return items;
  auto row = [&](sqlite3_stmt* s) {
    if (auto item = dbGetItemFromStmt(s, excludeInlineData)) items.push_back(std::move(item));
  };
  if (!dbStep(stmt.get(), row, kQueryError, HV_FN, __LINE__)) return {};
  return items;
}

std::optional<plat::Data> HVKVStorage::dbGetValue(const std::string& key) {
  auto item = dbGetItem(key, false);
  if (!item || item->value.empty()) return std::nullopt;
  return std::move(item->value);
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
  bool ok = writeAll(fd, data) && fileSync(fd, path) == 0;
  ok = (::close(fd) == 0) && ok;
  // Its name on disk before the store's entry: the entry reads a missing file as renamed.
  ok = ok && fileSyncFolder();
  if (!ok) {
    fileUnlink(path);
    return false;
  }
  *tempPath = path;
  return true;
}

bool HVKVStorage::fileRenameInto(const std::string& tempPath, const std::string& filename) {
  std::string target = (fs::path(dataPath_) / filename).string();
  if (fileOps_.rename) return fileOps_.rename(tempPath, target) == 0;
  return ::rename(tempPath.c_str(), target.c_str()) == 0;
}

bool HVKVStorage::fileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

int HVKVStorage::fileUnlink(const std::string& path) {
  return fileOps_.unlink ? fileOps_.unlink(path) : ::unlink(path.c_str());
}

int HVKVStorage::fileSync(int fd, const std::string& path) {
  return fileOps_.fsync ? fileOps_.fsync(fd, path) : ::fsync(fd);
}

bool HVKVStorage::fileSyncFolder(bool parent) {
  bool ok = true;
  for (const std::string* path : {&dataPath_, parent ? &path_ : nullptr}) {
    if (!path) continue;
    int fd = ::open(path->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = fd >= 0 && fileSync(fd, *path) == 0 && ok;
    if (fd >= 0) ::close(fd);
  }
  return ok;
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
  return fileUnlink((fs::path(dataPath_) / filename).string()) == 0;
}

void HVKVStorage::fileDropLegacyPending() {
  if (dbGetInt("select count(*) from sqlite_master where name = 'pending_file';", std::string(),
               HV_FN, __LINE__) <= 0) {
    return;
  }
  std::vector<std::string> names;
  sqlite3_stmt* stmt = dbPrepareStmt("select filename, temp from pending_file;", HV_FN, __LINE__);
  if (!stmt) return;
  auto row = [&](sqlite3_stmt* s) {
    std::string temp = columnText(s, 1);
    if (isTempName(temp) && fileExists((fs::path(dataPath_) / temp).string())) {
      names.push_back(columnText(s, 0));
    }
  };
  if (!dbStep(stmt, row, kQueryError, HV_FN, __LINE__) || !dbBegin()) return;
  sqlite3_stmt* drop = dbPrepareStmt("delete from manifest where filename = ?1;", HV_FN, __LINE__);
  bool ok = drop != nullptr;
  for (size_t i = 0; ok && i < names.size(); i++) {
    bindText(drop, 1, names[i]);
    ok = dbStep(drop, nullptr, kDeleteError, HV_FN, __LINE__);
  }
  if (!ok || !dbExec("drop table pending_file;", HV_FN, __LINE__) || !dbCommit()) dbRollback();
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

// Deletes what no committed row or store entry names: temporary files of stores that never
// took effect (killed, or settled while their file could not be deleted), and files of rows
// that are gone (SQLite mode removes rows only). When the names cannot be read, nothing goes:
// deleting the new bytes of a store not settled would make it read as taken effect.
void HVKVStorage::fileRemoveUnnamedFiles() {
  std::vector<std::string> names;
  // Also the files of stores that have not taken effect yet (their entry could not be
  // settled): the kept row's file and the new bytes.
  sqlite3_stmt* stmt = dbPrepareStmt(
      "select filename from manifest where filename is not null union all select filename from "
      "pending_store where filename is not null union all select temp from pending_store;",
      HV_FN, __LINE__);
  if (!stmt || !dbStep(stmt, filenameCollector(&names), kQueryError, HV_FN, __LINE__)) return;
  std::unordered_set<std::string> named(names.begin(), names.end());
  std::error_code ec;
  for (auto it = fs::directory_iterator(dataPath_, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (named.count(it->path().filename().string())) continue;
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
  WorkHold hold(this, Work::change);
  if (!hold) return false;
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

// The new bytes go to a synced temporary file; the new row commits with the store's entry
// (keeping the replaced row); then the file is renamed into place. Until the rename the
// temporary file exists and the replaced row stays the key's record for every storage and the
// next run, so a kill or a failure at any step leaves the old record or the new one, whole;
// the file the replaced row named is deleted only after the rename is on disk.
bool HVKVStorage::saveFileValue(const std::string& key, const plat::Data& value,
                                const std::string& filename, const plat::Data& extendedData) {
  bool failed = false;
  HVKVStorageItemRef old = dbGetItem(key, false, &failed);
  if (failed) return false;
  std::string temp;
  if (!fileWriteTemp(value, &temp)) return false;
  std::string tempName = fs::path(temp).filename().string();
  sqlite3_stmt* others = nullptr;
  bool ok = dbBegin() && dbSave(key, value, filename, extendedData) &&
            (others = dbPrepareStmt("delete from manifest where filename = ?1 and key != ?2;",
                                    HV_FN, __LINE__));
  if (ok) {
    // Another key's row naming the file would name this store's bytes after the rename.
    bindText(others, 1, filename);
    bindText(others, 2, key);
    ok = dbStep(others, nullptr, kDeleteError, HV_FN, __LINE__) &&
         dbAddPending(tempName, key, old.get()) && dbCommit();
  }
  if (!ok) {
    dbRollback();
    fileUnlink(temp);
    return false;
  }
  if (!fileRenameInto(temp, filename) && fileExists(temp)) {
    // Not taken effect: the old row goes back now, or before the next change of any storage.
    settlePending(false);
    return false;
  }
  doneTemp_ = tempName;
  // A rename lost to a power cut would bring the replaced row back: it is made durable before
  // the answer and before the file that row named goes.
  if (!fileSyncFolder() && errorLogsEnabled_) {
    plat::NSLog("HVKVStorage error: fail to sync the folder [%@] (%d).", dataPath_, errno);
  }
  if (old && !old->filename.empty() && old->filename != filename) fileDelete(old->filename);
  return true;
}

bool HVKVStorage::dbAddPending(const std::string& temp, const std::string& key,
                               const HVKVStorageItem* old) {
  // The key's earlier entries and this storage's last one are of stores that took effect
  // (changes settle the others first).
  sqlite3_stmt* drop =
      dbPrepareStmt("delete from pending_store where key = ?1 or temp = ?2;", HV_FN, __LINE__);
  if (!drop) return false;
  bindText(drop, 1, key);
  bindText(drop, 2, doneTemp_);
  if (!dbStep(drop, nullptr, kDeleteError, HV_FN, __LINE__)) return false;
  sqlite3_stmt* stmt = dbPrepareStmt(
      "insert into pending_store (temp, had_row, key, filename, size, inline_data, "
      "modification_time, last_access_time, extended_data) values (?1, ?2, ?3, ?4, ?5, ?6, ?7, "
      "?8, ?9);",
      HV_FN, __LINE__);
  if (!stmt) return false;
  int bound = bindText(stmt, 1, temp);
  auto bind = [&bound](int result) {
    if (bound == SQLITE_OK) bound = result;
  };
  bind(sqlite3_bind_int(stmt, 2, old ? 1 : 0));
  bind(bindText(stmt, 3, key));
  if (old) {
    if (!old->filename.empty()) bind(bindText(stmt, 4, old->filename));
    bind(sqlite3_bind_int64(stmt, 5, old->size));
    if (!old->value.empty())
      bind(sqlite3_bind_blob64(stmt, 6, old->value.bytes(), old->value.length(), SQLITE_STATIC));
    bind(sqlite3_bind_int64(stmt, 7, old->modTime));
    bind(sqlite3_bind_int64(stmt, 8, old->accessTime));
    if (!old->extendedData.empty()) {
      bind(sqlite3_bind_blob64(stmt, 9, old->extendedData.bytes(), old->extendedData.length(),
                               SQLITE_STATIC));
    }
  }
  bool ok = bound == SQLITE_OK && dbStep(stmt, nullptr, kInsertError, HV_FN, __LINE__);
  if (bound != SQLITE_OK) logError(kInsertError, HV_FN, __LINE__, bound);
  sqlite3_clear_bindings(stmt);  // the blobs were bound without a copy
  return ok;
}

bool HVKVStorage::settlePending(bool all) {
  struct Entry {
    std::string temp;
    HVKVStorageItemRef old;  // the kept row; nullptr for none
    std::string key;
    bool live;
  };
  std::vector<Entry> entries;
  sqlite3_stmt* stmt = dbPrepareStmt(
      "select temp, had_row, key, filename, size, inline_data, modification_time, "
      "last_access_time, extended_data from pending_store;",
      HV_FN, __LINE__);
  if (!stmt) return false;
  bool live = false;
  auto row = [&](sqlite3_stmt* s) {
    Entry e{columnText(s, 0), nullptr, columnText(s, 2), false};
    e.live = isTempName(e.temp) && fileExists((fs::path(dataPath_) / e.temp).string());
    if (sqlite3_column_int(s, 1)) e.old = dbGetItemFromStmtAt(s, 2, false);
    live = live || e.live;
    entries.push_back(std::move(e));
  };
  if (!dbStep(stmt, row, kQueryError, HV_FN, __LINE__)) return false;
  if (!live && !(all && !entries.empty())) return true;
  // The rows are back on disk before the new bytes go: a missing temporary file reads as a
  // store that took effect.
  bool ok = dbSetSyncFull(true) && dbBegin();
  for (auto& e : entries) {
    if (!ok) break;
    if (e.live) ok = e.old ? dbSaveRow(*e.old) : dbDeleteItem(e.key);
  }
  ok = ok && dbExec("delete from pending_store;", HV_FN, __LINE__) && dbCommit();
  if (!ok) {
    dbRollback();
    return false;
  }
  // The rows are back on disk: the new bytes of those stores can go.
  for (auto& e : entries) {
    if (e.live) fileUnlink((fs::path(dataPath_) / e.temp).string());
  }
  doneTemp_.clear();
  return true;
}

// ---- removals ----

bool HVKVStorage::removeItemForKey(const std::string& key) {
  if (!isUsableKey(key)) return false;
  WorkHold hold(this, Work::change);
  if (!hold) return false;
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
  WorkHold hold(this, Work::change);
  if (!hold) return false;
  if (type_ == HVStorageModeSQLite) return dbDeleteItems(keys);
  auto names = dbGetFilenames(keys);
  if (!dbDeleteItems(keys)) return false;
  for (auto& n : names) fileDelete(n);
  return true;
}

bool HVKVStorage::removeItemsLargerThanSize(int64_t size) {
  if (size == kInt64Max) return true;
  if (size <= 0) return removeAllItems();
  WorkHold hold(this, Work::change);
  if (!hold) return false;
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
  WorkHold hold(this, Work::change);
  if (!hold) return false;
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
  WorkHold hold(this, Work::change);
  if (!hold) return false;
  int64_t total = bySize ? getItemsSize() : getItemsCount();
  if (total < 0) return false;
  if (total <= limit) return true;
  bool ok = true;
  std::vector<HVKVStorageItemRef> items;
  do {
    items = dbGetItemSizeInfoOrderByTimeAscWithLimit(16);
    // A batch's rows go in one commit, their files once it is on disk.
    std::vector<std::string> names;
    ok = dbBegin();
    for (auto& item : items) {
      if (!ok || total <= limit) break;
      ok = dbDeleteItem(item->key);
      if (ok && !item->filename.empty()) names.push_back(item->filename);
      total -= bySize ? item->size : 1;
    }
    if (!ok || !dbCommit()) {
      dbRollback();
      ok = false;
      break;
    }
    for (auto& n : names) fileDelete(n);
  } while (total > limit && !items.empty());
  if (ok) dbCheckpoint();
  return ok && total <= limit;
}

bool HVKVStorage::removeItemsToFitSize(int64_t maxSize) { return removeToFit(maxSize, true); }
bool HVKVStorage::removeItemsToFitCount(int64_t maxCount) { return removeToFit(maxCount, false); }

bool HVKVStorage::removeAllItems() {
  WorkHold hold(this, Work::raw);
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
      WorkHold hold(this, Work::change);
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
  WorkHold hold(this, Work::read);
  if (!hold) return nullptr;
  auto item = dbGetItem(key, false);
  if (!item) return nullptr;
  dbUpdateAccessTime(key);
  if (!item->filename.empty()) return withFileValue(item);
  return item;
}

HVKVStorageItemRef HVKVStorage::getItemInfoForKey(const std::string& key) {
  if (!isUsableKey(key)) return nullptr;
  WorkHold hold(this, Work::read);
  return hold ? dbGetItem(key, true) : nullptr;
}

std::optional<plat::Data> HVKVStorage::getItemValueForKey(const std::string& key) {
  if (!isUsableKey(key)) return std::nullopt;
  WorkHold hold(this, Work::read);
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
  WorkHold hold(this, Work::read);
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
  WorkHold hold(this, Work::read);
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
  WorkHold hold(this, Work::read);
  if (!hold) return false;
  return dbGetItem(key, true) != nullptr;
}

int64_t HVKVStorage::getItemsCount() { return dbGetTotal(false); }

int64_t HVKVStorage::getItemsSize() { return dbGetTotal(true); }

int64_t HVKVStorage::dbGetTotal(bool size) {
  WorkHold hold(this, Work::read);
  if (!hold) return -1;
  // sum() of no rows is NULL, which reads as 0.
  int64_t total =
      dbGetInt(size ? "select sum(size) from manifest;" : "select count(*) from manifest;",
               std::string(), HV_FN, __LINE__);
  if (total < 0) return total;
  // A store that has not taken effect counts with the row it replaced.
  sqlite3_stmt* stmt = dbPrepareStmt(
      "select p.temp, p.had_row, p.size, m.size from pending_store p join manifest m on m.key = "
      "p.key;",
      HV_FN, __LINE__);
  if (!stmt) return -1;
  bool ok = dbStep(
      stmt,
      [&](sqlite3_stmt* s) {
        std::string temp = columnText(s, 0);
        if (!isTempName(temp) || !fileExists((fs::path(dataPath_) / temp).string())) return;
        bool hadRow = sqlite3_column_int(s, 1) != 0;
        if (size) {
          total += (hadRow ? sqlite3_column_int64(s, 2) : 0) - sqlite3_column_int64(s, 3);
        } else if (!hadRow) {
          total--;
        }
      },
      kQueryError, HV_FN, __LINE__);
  return ok ? total : -1;
}
