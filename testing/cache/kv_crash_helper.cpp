// Drives a mixed-mode key-value storage for tests that hurt it from outside.
//
//   kv_crash_helper run <folder> <round> <fd>
//     Runs a script seeded by <round> until killed: stores of 1 B to 200 KiB (inline or in
//     files, same or new file names), removals and trims over a fixed set of keys. On <fd> it
//     writes "R" once the storage is open, then for every call "B <call>" before it and
//     "E <result> [<keys present>]" after it returns, one line each.
//   kv_crash_helper fsize <folder>
//     Stores values, then lowers RLIMIT_FSIZE to 64 KiB and checks that stores growing a file
//     past it answer NO. Exits 0 when every answer was as expected.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "image/cache/HVKVStorage.h"
#include "testing/cache/CrashScript.h"

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
    std::string key = crash_script::keyName(static_cast<int>(rng() % crash_script::kKeyCount));
    int what = static_cast<int>(rng() % 100);
    if (what < 80) {
      uint64_t gen = round * 1000000 + op;
      size_t size = (rng() % 2) ? 1 + rng() % 4096 : 20 * 1024 + rng() % (180 * 1024);
      std::string file = size > 16 * 1024 ? std::string("f-") + key + "-" + std::to_string(rng() % 3) : "";
      writeLine(fd, std::string("B S ") + key + " " + std::to_string(gen) + " " + std::to_string(size));
      bool ok = kv->saveItemWithKeyValueFilenameExtendedData(
          key, crash_script::value(key, gen, size), file, plat::Data());
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
  expect(kv->saveItemWithKeyValueFilenameExtendedData(
             "big", crash_script::value("big", 1, 40000), "big", plat::Data()),
         true, "file store");
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {64 * 1024, 64 * 1024};
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
  expect(kv->saveItemWithKeyValueFilenameExtendedData(
             "big", crash_script::value("big", 2, 100000), "big", plat::Data()),
         false, "file overwrite past the limit");
  expect(kv->saveItemWithKeyValueFilenameExtendedData(
             "big", crash_script::value("big", 3, 100000), "other", plat::Data()),
         false, "file store under a new name past the limit");
  expect(kv->saveItemWithKeyValue("small", crash_script::value("small", 2, 300000)), false,
         "inline store past the limit");
  return bad;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "run") {
    return run(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]));
  }
  if (argc == 3 && std::string(argv[1]) == "fsize") return fsize(argv[2]);
  std::fprintf(stderr, "usage: kv_crash_helper run <folder> <round> <fd> | fsize <folder>\n");
  return 2;
}
