// Drives a mixed-mode key-value storage for tests that hurt it from outside.
//
//   kv_crash_helper run <folder> <round> <fd> [slow-rename]
//     Runs a script seeded by <round> until killed: stores of 1 B to 200 KiB (inline or in
//     files, same or new file names, each with extended data naming the store), removals and
//     trims over a fixed set of keys. On <fd> it writes "R" once the storage is open, then for
//     every call "B <call>" before it and "E <result> [<keys present>]" after it returns, one
//     line each. With slow-rename every rename(2) of the process first waits 100 ms, which
//     widens the moments between a value's row and its file; the script then works on the
//     first 4 keys only and stores every value in a file, each key keeping one file name, as
//     the disk cache does.
//   kv_crash_helper renamefail <folder>
//     Stores values, then makes every rename(2) fail and checks that file stores answer NO and
//     leave the old value and its extended data readable. Exits 0 when all was as expected.
//   kv_crash_helper readonly <folder>
//     Stores values, then makes every removal and rename under the folder fail as on a
//     read-only file system (root ignores permissions) and checks that removing everything
//     answers NO and keeps what it could not remove readable. Exits 0 when all was as expected.
//   kv_crash_helper fsize <folder>
//     Stores values, then lowers RLIMIT_FSIZE to 64 KiB and checks that stores growing a file
//     past it answer NO. Exits 0 when every answer was as expected.
//
// Second processes on one folder, for the tests of storages side by side:
//   kv_crash_helper writer <folder>
//     Writes "R" once the storage is open, then makes stores over 8 keys (mostly value files
//     under one of three names per key), writing "E <key> <generation> <size> <result>" after
//     each, until its standard input ends. Exits 0.
//   kv_crash_helper hold <folder>
//     Writes "R" once the storage is open, then for each line "S <n>" on its standard input
//     stores n values (keys "h0" to "h<n-1>", one in every four in a file) and writes
//     "E <stores answered YES>". Exits 0 at the end of its input.
//   kv_crash_helper open <folder>
//     Writes "W", waits for a byte (or the end) on its standard input, then opens the storage.
//     Exits 0 when it opened, 1 when not.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>
#include <string>

#include "image/cache/HVKVStorage.h"
#include "testing/cache/CrashScript.h"

namespace {

enum class RenameMode { normal, slow, fail };
std::atomic<RenameMode> renameMode{RenameMode::normal};
// While set, removals and renames of paths under it fail with EROFS.
std::string readOnlyFolder;
std::atomic<bool> readOnly{false};

bool refusedAsReadOnly(const char* path) {
  if (!readOnly.load() || !path) return false;
  if (std::string(path).rfind(readOnlyFolder, 0) != 0) return false;
  errno = EROFS;
  return true;
}

}  // namespace

// Every rename of the process (the storage's, the standard library's) passes here.
extern "C" int rename(const char* from, const char* to) __THROW {
  if (refusedAsReadOnly(from)) return -1;
  switch (renameMode.load()) {
    case RenameMode::fail:
      errno = EIO;
      return -1;
    case RenameMode::slow: {
      struct timespec pause = {0, 100 * 1000 * 1000};
      while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
      }
      break;
    }
    case RenameMode::normal:
      break;
  }
  return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

extern "C" int unlink(const char* path) __THROW {
  if (refusedAsReadOnly(path)) return -1;
  return ::unlinkat(AT_FDCWD, path, 0);
}

extern "C" int rmdir(const char* path) __THROW {
  if (refusedAsReadOnly(path)) return -1;
  return ::unlinkat(AT_FDCWD, path, AT_REMOVEDIR);
}

// The standard library's file removal calls remove(3), which does not go through unlink(2).
extern "C" int remove(const char* path) __THROW {
  if (refusedAsReadOnly(path)) return -1;
  if (::unlinkat(AT_FDCWD, path, 0) == 0) return 0;
  if (errno != EISDIR && errno != EPERM) return -1;
  return ::unlinkat(AT_FDCWD, path, AT_REMOVEDIR);
}

namespace {

void writeLine(int fd, const std::string& line) {
  std::string s = line + "\n";
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::write(fd, s.data() + off, s.size() - off);
    if (n <= 0) std::_Exit(3);
    off += static_cast<size_t>(n);
  }
}

std::string presentKeys(HVKVStorage& kv) {
  std::string keys;
  for (int i = 0; i < crash_script::kKeyCount; i++) {
    std::string k = crash_script::keyName(i);
    if (kv.itemExistsForKey(k)) keys += (keys.empty() ? "" : ",") + k;
  }
  return keys.empty() ? "-" : keys;
}

int run(const std::string& folder, uint64_t round, int fd) {
  auto kv = HVKVStorage::initWithPathType(folder, HVStorageModeMixed);
  if (!kv) return 2;
  writeLine(fd, "R");
  std::mt19937_64 rng(round * 7919 + 17);
  for (uint64_t op = 0;; op++) {
    int keys = renameMode == RenameMode::slow ? 4 : crash_script::kKeyCount;
    std::string key = crash_script::keyName(static_cast<int>(rng() % keys));
    int what = static_cast<int>(rng() % 100);
    if (what < 80) {
      uint64_t gen = round * 1000000 + op;
      bool slow = renameMode == RenameMode::slow;
      size_t size = (rng() % 2) ? 1 + rng() % 4096 : 20 * 1024 + rng() % (180 * 1024);
      std::string file;
      if (size > 16 * 1024 || slow) {
        file = std::string("f-") + key;
        uint64_t variant = rng() % 3;
        if (!slow) file += "-" + std::to_string(variant);
      }
      writeLine(fd,
                std::string("B S ") + key + " " + std::to_string(gen) + " " + std::to_string(size));
      bool ok = kv->saveItemWithKeyValueFilenameExtendedData(
          key, crash_script::value(key, gen, size), file, crash_script::extended(key, gen));
      writeLine(fd, std::string("E ") + (ok ? "1" : "0"));
    } else if (what < 95) {
      writeLine(fd, std::string("B R ") + key);
      bool ok = kv->removeItemForKey(key);
      writeLine(fd, std::string("E ") + (ok ? "1" : "0"));
    } else {
      writeLine(fd, "B T");
      bool ok = (rng() % 2) ? kv->removeItemsToFitCount(12 + rng() % 12)
                            : kv->removeItemsToFitSize(1024 * 1024 + rng() % (1024 * 1024));
      writeLine(fd, std::string("E ") + (ok ? "1 " : "0 ") + presentKeys(*kv));
    }
  }
}

// A check that prints what went wrong and counts it.
std::function<void(bool, const char*)> expecter(int* bad) {
  return [bad](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "%s\n", what);
      (*bad)++;
    }
  };
}

int renameFails(const std::string& folder) {
  auto kv = HVKVStorage::initWithPathType(folder, HVStorageModeMixed);
  if (!kv) return 2;
  int bad = 0;
  auto expect = expecter(&bad);
  auto holds = [&kv](const std::string& key, uint64_t gen, size_t size) {
    auto item = kv->getItemForKey(key);
    return item && item->value == crash_script::value(key, gen, size) &&
           item->extendedData == crash_script::extended(key, gen);
  };
  auto store = [&kv](const std::string& key, uint64_t gen, size_t size, const char* file) {
    return kv->saveItemWithKeyValueFilenameExtendedData(key, crash_script::value(key, gen, size),
                                                        file, crash_script::extended(key, gen));
  };
  expect(store("file", 1, 30000, "f"), "first file store");
  expect(
      kv->saveItemWithKeyValueFilenameExtendedData("inline", crash_script::value("inline", 1, 50),
                                                   "", crash_script::extended("inline", 1)),
      "first inline store");
  renameMode = RenameMode::fail;
  expect(!store("file", 2, 40000, "f"), "store under the same file name answered YES");
  expect(holds("file", 1, 30000), "the same-name store lost the old value");
  expect(!store("file", 3, 40000, "g"), "store under a new file name answered YES");
  expect(holds("file", 1, 30000), "the new-name store lost the old value");
  expect(!store("inline", 2, 40000, "h"), "file store over an inline value answered YES");
  expect(holds("inline", 1, 50), "the file store lost the inline value");
  expect(!store("new", 1, 40000, "n"), "store of a new key answered YES");
  expect(!kv->itemExistsForKey("new"), "the failed store of a new key left a row");
  renameMode = RenameMode::normal;
  expect(kv->getItemsCount() == 2, "count after the failed stores");
  expect(store("file", 4, 20000, "f"), "store once rename works again");
  expect(holds("file", 4, 20000), "value once rename works again");
  return bad;
}

int readOnlyFolderRemoval(const std::string& folder) {
  auto kv = HVKVStorage::initWithPathType(folder, HVStorageModeMixed);
  if (!kv) return 2;
  int bad = 0;
  auto expect = expecter(&bad);
  expect(kv->saveItemWithKeyValueFilenameExtendedData("file", crash_script::value("file", 1, 30000),
                                                      "f", plat::Data()),
         "file store");
  expect(kv->saveItemWithKeyValue("inline", crash_script::value("inline", 1, 50)), "inline store");
  readOnlyFolder = folder;
  readOnly = true;
  expect(!kv->removeAllItems(), "removing everything from a read-only folder answered YES");
  expect(kv->getItemsCount() == 2, "the kept values are no longer counted");
  expect(kv->getItemValueForKey("file") == crash_script::value("file", 1, 30000),
         "the kept file value is unreadable");
  readOnly = false;
  expect(kv->removeAllItems(), "removing everything once the folder is writable");
  expect(kv->getItemsCount() == 0, "count after removing everything");
  return bad;
}

int fsize(const std::string& folder) {
  auto kv = HVKVStorage::initWithPathType(folder, HVStorageModeMixed);
  if (!kv) return 2;
  int bad = 0;
  auto expect = [&bad](bool got, bool want, const char* what) {
    if (got != want) {
      std::fprintf(stderr, "%s: answered %d\n", what, got);
      bad++;
    }
  };
  expect(kv->saveItemWithKeyValue("small", crash_script::value("small", 1, 100)), true,
         "inline store");
  expect(kv->saveItemWithKeyValueFilenameExtendedData("big", crash_script::value("big", 1, 40000),
                                                      "big", plat::Data()),
         true, "file store");
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {64 * 1024, 64 * 1024};
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
  expect(kv->saveItemWithKeyValueFilenameExtendedData("big", crash_script::value("big", 2, 100000),
                                                      "big", plat::Data()),
         false, "file overwrite past the limit");
  expect(kv->saveItemWithKeyValueFilenameExtendedData("big", crash_script::value("big", 3, 100000),
                                                      "other", plat::Data()),
         false, "file store under a new name past the limit");
  expect(kv->saveItemWithKeyValue("small", crash_script::value("small", 2, 300000)), false,
         "inline store past the limit");
  return bad;
}

int writer(const std::string& folder) {
  auto kv = HVKVStorage::initWithPathType(folder, HVStorageModeMixed);
  if (!kv) return 2;
  writeLine(1, "R");
  std::mt19937_64 rng(static_cast<uint64_t>(::getpid()));
  for (int op = 0;; op++) {
    pollfd input{0, POLLIN, 0};
    if (::poll(&input, 1, 0) != 0) return 0;  // the end of the input (or anything on it)
    std::string key = crash_script::numbered("w", op % 8);
    bool inFile = op % 4 != 0;
    size_t size = inFile ? 20 * 1024 + rng() % (40 * 1024) : 1 + rng() % 4096;
    uint64_t gen = static_cast<uint64_t>(op) + 1;
    bool ok = kv->saveItemWithKeyValueFilenameExtendedData(
        key, crash_script::value(key, gen, size),
        inFile ? "wf-" + key + "-" + std::to_string(rng() % 3) : std::string(),
        crash_script::extended(key, gen));
    writeLine(1, "E " + key + " " + std::to_string(gen) + " " + std::to_string(size) +
                     (ok ? " 1" : " 0"));
  }
  return 0;
}

int hold(const std::string& folder) {
  auto kv = HVKVStorage::initWithPathType(folder, HVStorageModeMixed);
  if (!kv) return 2;
  writeLine(1, "R");
  char command = 0;
  int n = 0;
  while (std::scanf(" %c %d", &command, &n) == 2 && command == 'S') {
    int stored = 0;
    for (int i = 0; i < n; i++) {
      std::string key = crash_script::numbered("h", i);
      size_t size = i % 4 == 0 ? 30000 : 100;
      stored += kv->saveItemWithKeyValueFilenameExtendedData(
          key, crash_script::value(key, 1, size), i % 4 == 0 ? "hf-" + key : std::string(),
          crash_script::extended(key, 1));
    }
    writeLine(1, "E " + std::to_string(stored));
  }
  return 0;
}

int openWhenTold(const std::string& folder) {
  writeLine(1, "W");
  char go;
  if (::read(0, &go, 1) < 0) return 2;
  return HVKVStorage::initWithPathType(folder, HVStorageModeMixed) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 5 || argc == 6) && std::string(argv[1]) == "run") {
    if (argc == 6 && std::string(argv[5]) == "slow-rename") renameMode = RenameMode::slow;
    return run(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]));
  }
  if (argc == 3 && std::string(argv[1]) == "renamefail") return renameFails(argv[2]);
  if (argc == 3 && std::string(argv[1]) == "fsize") return fsize(argv[2]);
  if (argc == 3 && std::string(argv[1]) == "readonly") return readOnlyFolderRemoval(argv[2]);
  if (argc == 3 && std::string(argv[1]) == "writer") return writer(argv[2]);
  if (argc == 3 && std::string(argv[1]) == "hold") return hold(argv[2]);
  if (argc == 3 && std::string(argv[1]) == "open") return openWhenTold(argv[2]);
  std::fprintf(stderr,
               "usage: kv_crash_helper run <folder> <round> <fd> [slow-rename] | "
               "renamefail <folder> | readonly <folder> | fsize <folder> | "
               "writer <folder> | hold <folder> | open <folder>\n");
  return 2;
}
