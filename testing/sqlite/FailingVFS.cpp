#include "testing/sqlite/FailingVFS.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>

namespace testing_sqlite {

namespace {

std::atomic<FailingVFSScope*> gScope{nullptr};

// The real file lives right behind the wrapper in the memory SQLite allocates for it.
struct WrappedFile {
  sqlite3_file base;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

WrappedFile* wrapped(sqlite3_file* f) { return reinterpret_cast<WrappedFile*>(f); }
sqlite3_file* realOf(sqlite3_file* f) { return wrapped(f)->real(); }

int xClose(sqlite3_file* f) { return realOf(f)->pMethods->xClose(realOf(f)); }
int xRead(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
  return realOf(f)->pMethods->xRead(realOf(f), buf, n, off);
}
int xWrite(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
  if (auto* s = gScope.load(); s && s->failWrites_) {
    s->failedWrites_++;
    return SQLITE_FULL;
  }
  if (auto* s = gScope.load(); s && s->observer_) s->observer_("write");
  return realOf(f)->pMethods->xWrite(realOf(f), buf, n, off);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) {
  return realOf(f)->pMethods->xTruncate(realOf(f), size);
}
int xSync(sqlite3_file* f, int flags) {
  if (auto* s = gScope.load(); s && s->failSyncs_) return SQLITE_IOERR_FSYNC;
  if (auto* s = gScope.load(); s && s->observer_) s->observer_("sync");
  return realOf(f)->pMethods->xSync(realOf(f), flags);
}
int xFileSize(sqlite3_file* f, sqlite3_int64* size) {
  return realOf(f)->pMethods->xFileSize(realOf(f), size);
}
int xLock(sqlite3_file* f, int l) { return realOf(f)->pMethods->xLock(realOf(f), l); }
int xUnlock(sqlite3_file* f, int l) { return realOf(f)->pMethods->xUnlock(realOf(f), l); }
int xCheckReservedLock(sqlite3_file* f, int* out) {
  return realOf(f)->pMethods->xCheckReservedLock(realOf(f), out);
}
int xFileControl(sqlite3_file* f, int op, void* arg) {
  return realOf(f)->pMethods->xFileControl(realOf(f), op, arg);
}
int xSectorSize(sqlite3_file* f) { return realOf(f)->pMethods->xSectorSize(realOf(f)); }
int xDeviceCharacteristics(sqlite3_file* f) {
  return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f));
}
int xShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return realOf(f)->pMethods->xShmMap(realOf(f), region, size, extend, out);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return realOf(f)->pMethods->xShmLock(realOf(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) { realOf(f)->pMethods->xShmBarrier(realOf(f)); }
int xShmUnmap(sqlite3_file* f, int deleteFlag) {
  return realOf(f)->pMethods->xShmUnmap(realOf(f), deleteFlag);
}
int xFetch(sqlite3_file* f, sqlite3_int64 off, int n, void** out) {
  return realOf(f)->pMethods->xFetch(realOf(f), off, n, out);
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 off, void* p) {
  return realOf(f)->pMethods->xUnfetch(realOf(f), off, p);
}

// Memory-mapped reads and writes would bypass xWrite, so the wrapper offers version 2 methods
// (no xFetch) whatever the real file supports.
const sqlite3_io_methods kMethods = {
    2,         xClose,          xRead,        xWrite,   xTruncate,
    xSync,     xFileSize,       xLock,        xUnlock,  xCheckReservedLock,
    xFileControl, xSectorSize,  xDeviceCharacteristics,
    xShmMap,   xShmLock,        xShmBarrier,  xShmUnmap, xFetch,
    xUnfetch};

int xOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  auto* scope = static_cast<FailingVFSScope*>(vfs->pAppData);
  sqlite3_vfs* real = scope->real_;
  file->pMethods = nullptr;
  if (flags & SQLITE_OPEN_MAIN_DB) {
    scope->mainDbOpens_++;
    if (scope->failOpens_) return SQLITE_CANTOPEN;
  }
  sqlite3_file* inner = wrapped(file)->real();
  int rc = real->xOpen(real, name, inner, flags, outFlags);
  if (rc == SQLITE_OK && inner->pMethods) file->pMethods = &kMethods;
  return rc;
}

int xDelete(sqlite3_vfs* v, const char* n, int sync) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xDelete(real, n, sync);
}
int xAccess(sqlite3_vfs* v, const char* n, int flags, int* out) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xAccess(real, n, flags, out);
}
int xFullPathname(sqlite3_vfs* v, const char* n, int size, char* out) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xFullPathname(real, n, size, out);
}
void* xDlOpen(sqlite3_vfs* v, const char* n) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xDlOpen(real, n);
}
void xDlError(sqlite3_vfs* v, int n, char* out) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  real->xDlError(real, n, out);
}
void (*xDlSym(sqlite3_vfs* v, void* h, const char* s))(void) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xDlSym(real, h, s);
}
void xDlClose(sqlite3_vfs* v, void* h) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  real->xDlClose(real, h);
}
int xRandomness(sqlite3_vfs* v, int n, char* out) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xRandomness(real, n, out);
}
int xSleep(sqlite3_vfs* v, int us) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xSleep(real, us);
}
int xCurrentTime(sqlite3_vfs* v, double* out) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xCurrentTime(real, out);
}
int xGetLastError(sqlite3_vfs* v, int n, char* out) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xGetLastError ? real->xGetLastError(real, n, out) : 0;
}
int xCurrentTimeInt64(sqlite3_vfs* v, sqlite3_int64* out) {
  auto* real = static_cast<FailingVFSScope*>(v->pAppData)->real_;
  return real->xCurrentTimeInt64(real, out);
}

}  // namespace

FailingVFSScope* FailingVFSScope::current() { return gScope.load(); }

FailingVFSScope::FailingVFSScope() {
  sqlite3_initialize();
  real_ = sqlite3_vfs_find(nullptr);
  if (!real_) std::abort();
  vfs_ = new sqlite3_vfs();
  vfs_->iVersion = 2;
  vfs_->szOsFile = static_cast<int>(sizeof(WrappedFile)) + real_->szOsFile;
  vfs_->mxPathname = real_->mxPathname;
  vfs_->zName = "lumora-failing";
  vfs_->pAppData = this;
  vfs_->xOpen = xOpen;
  vfs_->xDelete = xDelete;
  vfs_->xAccess = xAccess;
  vfs_->xFullPathname = xFullPathname;
  vfs_->xDlOpen = xDlOpen;
  vfs_->xDlError = xDlError;
  vfs_->xDlSym = xDlSym;
  vfs_->xDlClose = xDlClose;
  vfs_->xRandomness = xRandomness;
  vfs_->xSleep = xSleep;
  vfs_->xCurrentTime = xCurrentTime;
  vfs_->xGetLastError = xGetLastError;
  vfs_->xCurrentTimeInt64 = xCurrentTimeInt64;
  gScope = this;
  sqlite3_vfs_register(vfs_, 1);
}

FailingVFSScope::~FailingVFSScope() {
  sqlite3_vfs_unregister(vfs_);
  sqlite3_vfs_register(real_, 1);
  gScope = nullptr;
  delete vfs_;
}

}  // namespace testing_sqlite
