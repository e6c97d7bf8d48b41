// A second process on the keychain database of a device root, for tests of two processes.
//
//   keychain_helper hold <device root>
//     Opens the database and begins a writing transaction, as a process stopped in the middle
//     of a write holds it; writes "locked" on standard output, then keeps the lock until a line
//     (or the end) arrives on standard input, commits and exits 0.
//   keychain_helper write <device root> <service> <prefix> <count>
//     Adds <count> generic passwords "<prefix><i>" of <service>, each holding "child", with
//     the keychain functions, then writes "failed <n>" with the number of adds that answered
//     an error, and exits 0.

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/foundation/DeviceRoot.h"
#include "platform/security/SecItem.h"

namespace {

int hold(const std::string& root) {
  if (!plat::DeviceRoot::setPath(root)) return 2;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(plat::keychainDatabasePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) !=
      SQLITE_OK) {
    return 3;
  }
  sqlite3_busy_timeout(db, 60000);
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return 4;
  std::printf("locked\n");
  std::fflush(stdout);
  char line[64];
  (void)std::fgets(line, sizeof line, stdin);
  int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc == SQLITE_OK ? 0 : 5;
}

int write(const std::string& root, const std::string& service, const std::string& prefix,
          int count) {
  if (!plat::DeviceRoot::setPath(root)) return 2;
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    plat::Dictionary item{{plat::kSecClass, plat::kSecClassGenericPassword},
                          {plat::kSecAttrService, service},
                          {plat::kSecAttrAccount, prefix + std::to_string(i)},
                          {plat::kSecAttrAccessible, plat::kSecAttrAccessibleAfterFirstUnlock},
                          {plat::kSecValueData, plat::Data::fromString("child")}};
    if (plat::SecItemAdd(item) != plat::errSecSuccess) ++failed;
  }
  std::printf("failed %d\n", failed);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hold" && argc == 3) return hold(argv[2]);
  if (mode == "write" && argc == 6) return write(argv[2], argv[3], argv[4], std::atoi(argv[5]));
  std::fprintf(stderr, "usage: keychain_helper hold ROOT | write ROOT SERVICE PREFIX COUNT\n");
  return 1;
}
