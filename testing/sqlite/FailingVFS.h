#pragma once
// A SQLite VFS for tests that wraps the real one and fails on demand: opening a database
// file, writing or syncing. While a FailingVFSScope lives it is SQLite's default VFS, so code
// that opens databases with sqlite3_open goes through it unchanged.
//
// Thread-safety: the switches may be flipped from any thread.

#include <atomic>
#include <functional>

struct sqlite3_vfs;

namespace testing_sqlite {

class FailingVFSScope {
 public:
  // REQUIRES: no other FailingVFSScope is alive.
  FailingVFSScope();
  // Unregisters the VFS; the real VFS is the default again. Connections opened through this
  // VFS must be closed first.
  ~FailingVFSScope();
  FailingVFSScope(const FailingVFSScope&) = delete;
  FailingVFSScope& operator=(const FailingVFSScope&) = delete;

  // Opens of main database files fail (SQLITE_CANTOPEN) while set.
  void setFailOpens(bool on) { failOpens_ = on; }
  // Writes to any file fail with SQLITE_FULL while set.
  void setFailWrites(bool on) { failWrites_ = on; }
  // Syncs fail with SQLITE_IOERR_FSYNC while set.
  void setFailSyncs(bool on) { failSyncs_ = on; }
  // How many opens of main database files were attempted (failed ones included).
  int mainDbOpens() const { return mainDbOpens_; }
  int failedWrites() const { return failedWrites_; }
  // Called with "write" before every write and "sync" before every sync of a database file
  // (the database, its journal or write-ahead log), on the thread making it. Set it while no
  // statement runs.
  void setObserver(std::function<void(const char* event)> observer) {
    observer_ = std::move(observer);
  }

  // Used by the VFS's functions.
  static FailingVFSScope* current();
  std::atomic<bool> failOpens_{false}, failWrites_{false}, failSyncs_{false};
  std::atomic<int> mainDbOpens_{0}, failedWrites_{0};
  sqlite3_vfs* real_ = nullptr;
  std::function<void(const char*)> observer_;

 private:
  sqlite3_vfs* vfs_ = nullptr;
};

}  // namespace testing_sqlite
