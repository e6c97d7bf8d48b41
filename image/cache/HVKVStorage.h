#pragma once
// HVKVStorage: key-to-bytes records in one folder. "manifest.sqlite" (WAL mode) holds one row
// per key with its metadata and, for inline values, the bytes; "data" holds the values stored
// as files; "trash" holds former "data" folders waiting for deletion on a background queue.
//
// Thread-safety: none. One thread at a time (HVDiskCache serialises every call). Storages of
// one folder in several processes (or several in one process) work beside each other: every
// call holds an advisory lock on the folder's "lock" file, shared by reads and exclusive by
// changes, so a change's row and file steps never interleave with another storage's; a call
// that cannot have it within kFolderLockTimeout seconds fails (logged). Each open storage also
// holds a shared "live" lock, so that removeAllItems and the reset of a damaged database delete
// the database files only when no other storage has them open (else they empty it in place).
//
// Values written to files are written to a temporary file in "data", synced, and renamed into
// place. The new row commits first, together with an entry in the table "pending_store" that
// names the temporary file and keeps the row it replaces; whether that file still exists tells
// every storage, and the next run, whether the store took effect: while it exists the rename
// has not happened and the replaced row is the key's record (reads see it), once it is gone the
// new row stands. A store whose rename fails answers NO, puts the old row back and deletes the
// temporary file; where the database cannot be written either, the entry stays and every
// change, in any storage, first puts such rows back (changes fail until they can). A failed
// store is never completed later, and a store never renames over or deletes the file of a
// row that is still the key's record. A store under a file name that another key's row names
// removes that row with its own. Durability: the manifest commits with synchronous = full, a
// value's file is synced before its rename, "data" is synced after a file is made or renamed
// in it, and a store answers, and deletes the file the replaced row named, only once all of
// that is on disk. File
// names given by the caller must name a file directly inside "data": empty, ".", "..", names
// holding '/' or NUL, and names starting ".hvkv-tmp-" (the temporary files) are refused. A key
// holding a NUL byte is refused by every operation (stores answer NO, reads nothing), and a key
// list holding one refuses the whole call. Sizes, times and totals are 64-bit; a value is at most
// kMaxValueSize bytes, and a value file whose length differs from its row's size is unreadable (the
// row is dropped). Opening the storage deletes the files in "data" that no row names (temporary
// files included); a "data" or
// "trash" folder deleted under a live storage is made again when it is next needed.
// The manifest waits up to 5 s for another connection's lock, also while it is set up.
// A database SQLite finds damaged (corrupt or not a database), at opening or by any later
// statement, is reset after the call that met the damage: it is a cache.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Object.h"

struct sqlite3;
struct sqlite3_stmt;

enum HVStorageMode : uint64_t {
  HVStorageModeFiles = 0,   // every value in a file; a file name is required
  HVStorageModeSQLite = 1,  // values inline in the database
  HVStorageModeMixed = 2,   // a store with a file name goes to a file, else inline
};

// One record. value is empty in the results of the info reads.
class HVKVStorageItem {
 public:
  std::string key;
  plat::Data value;
  std::string filename;  // empty when the value is inline
  int64_t size = 0;
  int64_t modTime = 0;     // Unix seconds of the last store
  int64_t accessTime = 0;  // Unix seconds of the last access
  plat::Data extendedData;
};
using HVKVStorageItemRef = std::shared_ptr<HVKVStorageItem>;

class HVKVStorage : public plat::Object {
 public:
  static constexpr int64_t kMaxValueSize = int64_t(1) << 30;
  // How long a call or an opening waits for another storage's hold of the folder lock.
  static constexpr double kFolderLockTimeout = 10.0;

  // A storage on `path` in mode `type`, or nullptr (invalid path or type - a path that is
  // empty, longer than 960 bytes or holds NUL - folders that cannot be made, a database that
  // cannot be opened). A database SQLite reports as corrupt or not a database is reset (its
  // values trashed); other open failures delete nothing. nullptr (logged) also when the
  // folder's lock file cannot be opened or another storage holds the folder past
  // kFolderLockTimeout.
  static std::shared_ptr<HVKVStorage> initWithPathType(const std::string& path, HVStorageMode type);
  // Misuse: a storage needs a path and a type. Always throws plat::NSException
  // "HVKVStorage init error".
  static std::shared_ptr<HVKVStorage> init();
  ~HVKVStorage() override;
  HVKVStorage(const HVKVStorage&) = delete;
  HVKVStorage& operator=(const HVKVStorage&) = delete;

  std::string className() const override { return "HVKVStorage"; }
  const std::string& path() const { return path_; }
  HVStorageMode type() const { return type_; }
  bool errorLogsEnabled() const { return errorLogsEnabled_; }
  void setErrorLogsEnabled(bool v) { errorLogsEnabled_ = v; }

  // Stores. False for an empty key or value, a key holding NUL, mode files without a file
  // name, a file name that does not name a file inside "data", a value or extended data
  // longer than the database takes inline, or a failed write or rename; the old value is then
  // kept.
  bool saveItem(const HVKVStorageItem& item);
  bool saveItemWithKeyValue(const std::string& key, const plat::Data& value);
  bool saveItemWithKeyValueFilenameExtendedData(const std::string& key, const plat::Data& value,
                                                const std::string& filename,
                                                const plat::Data& extendedData);

  bool removeItemForKey(const std::string& key);
  bool removeItemForKeys(const std::vector<std::string>& keys);
  // INT64_MAX removes nothing, 0 or less everything.
  bool removeItemsLargerThanSize(int64_t size);
  // Items last touched before `time` (Unix seconds): 0 or less removes nothing, INT64_MAX
  // everything.
  bool removeItemsEarlierThanTime(int64_t time);
  // Remove least recently accessed items until the total is at or below the limit. True only
  // when it is. INT64_MAX removes nothing, 0 or less everything.
  bool removeItemsToFitSize(int64_t maxSize);
  bool removeItemsToFitCount(int64_t maxCount);
  // False when any value or the manifest could not be removed (logged), or the new manifest
  // cannot be made.
  bool removeAllItems();
  void removeAllItemsWithProgressBlockEndBlock(
      const std::function<void(int64_t removedCount, int64_t totalCount)>& progress,
      const std::function<void(bool error)>& end);

  // nullptr when absent or unreadable (a value file that cannot be read drops its row).
  HVKVStorageItemRef getItemForKey(const std::string& key);
  HVKVStorageItemRef getItemInfoForKey(const std::string& key);
  std::optional<plat::Data> getItemValueForKey(const std::string& key);
  std::vector<HVKVStorageItemRef> getItemForKeys(const std::vector<std::string>& keys);
  std::vector<HVKVStorageItemRef> getItemInfoForKeys(const std::vector<std::string>& keys);
  std::map<std::string, plat::Data> getItemValueForKeys(const std::vector<std::string>& keys);

  bool itemExistsForKey(const std::string& key);
  // -1 on a database error.
  int64_t getItemsCount();
  int64_t getItemsSize();

  // True for a name that stays inside "data".
  static bool isSafeFilename(const std::string& name);
  // True for a non-empty key without NUL (SQLite texts must not carry one).
  static bool isUsableKey(const std::string& key);
  // True for a non-empty list in which no key holds NUL.
  static bool areUsableKeys(const std::vector<std::string>& keys);

  // Lowers the connection's longest text or blob (SQLite's SQLITE_LIMIT_LENGTH), so that tests
  // reach the limit without gigabyte values.
  void setLengthLimitForTesting(int bytes);
  // The file system calls a store or a removal makes in "data", for tests that watch their
  // order or fail them; an empty member makes the system call. Each answers 0 or -1 (errno
  // set), as the system call does.
  struct FileOps {
    std::function<int(const std::string& from, const std::string& to)> rename;
    // Deletes a value file or a temporary file.
    std::function<int(const std::string& path)> unlink;
    // fsync(2) of an open value file or of the "data" folder, `path` naming it.
    std::function<int(int fd, const std::string& path)> fsync;
  };
  void setFileOpsForTesting(FileOps ops) { fileOps_ = std::move(ops); }
  // Replaces the rename only (a failing disk).
  void setRenameForTesting(
      std::function<int(const std::string& from, const std::string& to)> rename) {
    fileOps_.rename = std::move(rename);
  }

 private:
  HVKVStorage() = default;
  bool dbOpen();
  bool dbClose();
  bool dbCheck();
  bool dbInitialize();
  int dbLastInitializeCode() const { return lastInitCode_; }
  void dbCheckpoint();
  sqlite3_stmt* dbPrepareStmt(const std::string& sql, const char* fn, int line);
  // A one-off statement: head, one placeholder per key (bound from ?1), tail. Finalised when
  // released; null (logged) when it cannot be prepared.
  using OneOffStmt = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
  OneOffStmt dbPrepareKeysStmt(const std::string& head, const std::vector<std::string>& keys,
                               const std::string& tail, const char* fn, int line);
  // Steps to the end, handing each row to `row`, then resets. True only on SQLITE_DONE; other
  // results are logged with errorFormat.
  bool dbStep(sqlite3_stmt* stmt, const std::function<void(sqlite3_stmt*)>& row,
              const char* errorFormat, const char* fn, int line);
  static std::function<void(sqlite3_stmt*)> filenameCollector(std::vector<std::string>* names);
  bool dbGetFilenamesWhere(const std::string& condition,
                           const std::function<void(sqlite3_stmt*)>& bind,
                           std::vector<std::string>* names);
  bool dbExec(const char* sql, const char* fn, int line);
  bool dbBegin();
  // Commits, or rolls back and answers false.
  bool dbCommit();
  void dbRollback();
  bool dbSave(const std::string& key, const plat::Data& value, const std::string& fileName,
              const plat::Data& extendedData);
  // Stores the row as given (times included); the value is stored inline when it has no file.
  bool dbSaveRow(const HVKVStorageItem& row);
  bool dbSaveRow(const std::string& key, const std::string& fileName, int64_t size,
                 const plat::Data& value, int64_t modTime, int64_t accessTime,
                 const plat::Data& extendedData);
  // Within a transaction: the entry of a store whose new bytes wait in `temp`, keeping the row
  // it replaces (`old`, nullptr when the key had none); earlier entries of the key go.
  bool dbAddPending(const std::string& temp, const std::string& key, const HVKVStorageItem* old);
  bool saveFileValue(const std::string& key, const plat::Data& value, const std::string& filename,
                     const plat::Data& extendedData);
  // Puts back the rows of stores whose temporary file still exists (they never took effect)
  // and then deletes those files; drops the entries of stores that did. Entries of stores
  // that took effect are left to later writes unless `all`. False when rows stay owed.
  bool settlePending(bool all);
  // Setting the manifest's commits to sync (full) or not (access times only).
  bool dbSetSyncFull(bool full);
  bool dbUpdateAccessTime(const std::string& key);
  bool dbUpdateAccessTimes(const std::vector<std::string>& keys);
  bool dbDeleteItem(const std::string& key);
  bool dbDeleteItems(const std::vector<std::string>& keys);
  bool dbDeleteItemsWithSizeLargerThan(int64_t size);
  bool dbDeleteItemsWithTimeEarlierThan(int64_t time);
  // The record a row of the item select (manifest columns, then its store entry's) stands
  // for: the row the entry keeps while its temporary file exists, else the manifest's.
  HVKVStorageItemRef dbGetItemFromStmt(sqlite3_stmt* stmt, bool excludeInlineData);
  // nullptr when absent or on an error; `failed` (optional) tells the two apart.
  HVKVStorageItemRef dbGetItem(const std::string& key, bool excludeInlineData,
                               bool* failed = nullptr);
  std::vector<HVKVStorageItemRef> dbGetItems(const std::vector<std::string>& keys,
                                             bool excludeInlineData);
  std::optional<plat::Data> dbGetValue(const std::string& key);
  std::optional<std::string> dbGetFilename(const std::string& key, bool* failed);
  std::vector<std::string> dbGetFilenames(const std::vector<std::string>& keys);
  std::vector<std::string> dbGetFilenamesWithSizeLargerThan(int64_t size);
  std::vector<std::string> dbGetFilenamesWithTimeEarlierThan(int64_t time);
  std::vector<HVKVStorageItemRef> dbGetItemSizeInfoOrderByTimeAscWithLimit(int count);
  // The count (or the sum of the sizes) of the records; -1 on an error.
  int64_t dbGetTotal(bool size);
  // The first column of the last row; -1 on an error. A non-empty key is bound to ?1.
  int64_t dbGetInt(const std::string& sql, const std::string& key, const char* fn, int line);

  bool fileWriteTemp(const plat::Data& data, std::string* tempPath);
  bool fileRenameInto(const std::string& tempPath, const std::string& filename);
  // The file's bytes when it is a regular file of exactly `size` bytes (the row's size).
  std::optional<plat::Data> fileRead(const std::string& filename, int64_t size);
  bool fileDelete(const std::string& filename);
  bool fileExists(const std::string& path);
  int fileUnlink(const std::string& path);
  int fileSync(int fd, const std::string& path);
  // Syncs "data" (a file was made or renamed in it); `path_` too when `parent`.
  bool fileSyncFolder(bool parent = false);
  // Drops rows whose temporary file an older build's table "pending_file" names (stores that
  // never took effect), then the table.
  void fileDropLegacyPending();
  // Makes "data" and "trash" again when they are missing.
  bool fileEnsureFolders();
  bool fileMoveAllToTrash();
  // Deletes the files in "data" that no row names (and stale temporary files).
  void fileRemoveUnnamedFiles();
  void fileEmptyTrashInBackground();
  // Deletes the manifest and trashes the values; false when any of them stays.
  bool reset();
  bool removeToFit(int64_t limit, bool bySize);
  void logError(const char* format, const char* fn, int line, int code);
  // Remembers damage reported by SQLite, repaired when the call ends.
  void noteResult(int code);

  // The folder lock (HVKVStorage.cpp): byte 0 of the lock file is the live lock, byte 1 the
  // work lock that each call holds through a WorkHold.
  class WorkHold;
  enum class Work { read, change, raw };
  bool lockByte(int64_t byte, short type, double timeout);
  bool workLock(bool exclusive);
  void workUnlock();
  // Within a shared hold: takes the work lock exclusively (letting go of it in between, so
  // what was read under the shared hold must be read again). False when it cannot.
  bool workEscalate();
  // True while no other storage has the folder open: the live lock is then held exclusively
  // until liveShare().
  bool liveAlone();
  void liveShare();
  // Empties the database through SQLite (other connections stay valid) and trashes the values.
  bool clearInPlace(bool damaged);
  void repairDamage();
  // The value of a row naming a file; when the file cannot be read, the row is read again
  // under the exclusive lock and dropped if its file still cannot be read.
  HVKVStorageItemRef withFileValue(HVKVStorageItemRef item);

  plat::DispatchQueueRef trashQueue_;
  std::string path_, dbPath_, dataPath_, trashPath_;
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> stmtCache_;
  double dbLastOpenErrorTime_ = 0;
  uint64_t dbOpenErrorCount_ = 0;
  bool errorLogsEnabled_ = true;
  HVStorageMode type_ = HVStorageModeFiles;
  int lastInitCode_ = 0;
  bool syncFull_ = true;
  int lockFd_ = -1;
  int workDepth_ = 0;
  bool workHeld_ = false, workExclusive_ = false;
  bool damaged_ = false;
  // The entry of this storage's last store that took effect, dropped by its next store.
  std::string doneTemp_;
  FileOps fileOps_;
};
