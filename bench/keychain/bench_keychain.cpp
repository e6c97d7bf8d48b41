// Reads and updates one item of a keychain of 10,000 generic passwords of one service, through
// the keychain functions and, as the baseline, through SQLite itself: one connection and its
// prepared statements kept, a table of the same items with an index on (service, account), the
// same journal mode, one transaction a call. Prints calls per second of each and, last, "ratio: R"
// (the geometric mean of keychain / SQLite for reads and for updates).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/RateReporter.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/security/SecItem.h"

namespace {

constexpr int kItems = 10000;

std::string account(int i) { return "account-" + std::to_string(i); }

plat::Dictionary query(int i) {
  return plat::Dictionary{{plat::kSecClass, plat::kSecClassGenericPassword},
                          {plat::kSecAttrService, "game"},
                          {plat::kSecAttrAccount, account(i)}};
}

const std::string& folder() {
  static const std::string* f = [] {
    char tmpl[] = "/tmp/bench_keychain.XXXXXX";
    return new std::string(mkdtemp(tmpl));
  }();
  return *f;
}

// The keychain of the device root, filled once.
void fillKeychain() {
  static bool done = [] {
    plat::DeviceRoot::setPath(folder() + "/device");
    for (int i = 0; i < kItems; ++i) {
      plat::Dictionary item = query(i);
      item.set(plat::kSecAttrAccessible, plat::kSecAttrAccessibleAfterFirstUnlock);
      item.set(plat::kSecValueData, plat::Data::fromString("value " + std::to_string(i)));
      plat::SecItemAdd(item);
    }
    return true;
  }();
  (void)done;
}

// The baseline's database, filled once.
sqlite3* baseline() {
  static sqlite3* db = [] {
    sqlite3* d = nullptr;
    sqlite3_open((folder() + "/baseline.db").c_str(), &d);
    sqlite3_exec(d,
                 "PRAGMA journal_mode=WAL;"
                 "CREATE TABLE items(id INTEGER PRIMARY KEY, svce TEXT, acct TEXT, data BLOB,"
                 " mdat REAL);"
                 "CREATE UNIQUE INDEX items_key ON items(svce, acct);",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(d, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(d, "INSERT INTO items(svce, acct, data) VALUES('game', ?, ?)", -1, &st,
                       nullptr);
    for (int i = 0; i < kItems; ++i) {
      std::string a = account(i), v = "value " + std::to_string(i);
      sqlite3_bind_text(st, 1, a.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_blob(st, 2, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(d, "COMMIT", nullptr, nullptr, nullptr);
    return d;
  }();
  return db;
}

void BM_KeychainRead(benchmark::State& state) {
  fillKeychain();
  int i = 0;
  for (auto _ : state) {
    plat::Dictionary q = query(i++ * 7919 % kItems);
    q.set(plat::kSecReturnData, true);
    plat::Value out;
    if (plat::SecItemCopyMatching(q, &out) != plat::errSecSuccess) state.SkipWithError("read");
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_KeychainUpdate(benchmark::State& state) {
  fillKeychain();
  int i = 0;
  for (auto _ : state) {
    plat::Dictionary change{{plat::kSecValueData, plat::Data::fromString(std::to_string(i))}};
    if (plat::SecItemUpdate(query(i++ * 7919 % kItems), change) != plat::errSecSuccess)
      state.SkipWithError("update");
  }
  state.SetItemsProcessed(state.iterations());
}

// One baseline call: `st` (prepared once) in a transaction of its own, for item `i`, with
// `value` bound first when given; answers sqlite3_step's result, the row's column 0 in `out`.
int baselineCall(sqlite3* db, sqlite3_stmt* st, bool write, int i, const std::string* value,
                 std::string* out) {
  sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
  int idx = 1;
  if (value) {
    sqlite3_bind_blob(st, idx++, value->data(), static_cast<int>(value->size()), SQLITE_TRANSIENT);
  }
  std::string a = account(i);
  sqlite3_bind_text(st, idx++, "game", -1, SQLITE_STATIC);
  sqlite3_bind_text(st, idx, a.c_str(), -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW && out) {
    out->assign(static_cast<const char*>(sqlite3_column_blob(st, 0)),
                static_cast<size_t>(sqlite3_column_bytes(st, 0)));
  }
  sqlite3_reset(st);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  return rc;
}

void BM_SQLiteRead(benchmark::State& state) {
  sqlite3* db = baseline();
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT data FROM items WHERE svce = ? AND acct = ?", -1, &st, nullptr);
  int i = 0;
  for (auto _ : state) {
    std::string data;
    if (baselineCall(db, st, false, i++ * 7919 % kItems, nullptr, &data) != SQLITE_ROW)
      state.SkipWithError("read");
    benchmark::DoNotOptimize(data);
  }
  sqlite3_finalize(st);
  state.SetItemsProcessed(state.iterations());
}

void BM_SQLiteUpdate(benchmark::State& state) {
  sqlite3* db = baseline();
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "UPDATE items SET data = ?, mdat = 0 WHERE svce = ? AND acct = ?", -1, &st,
                     nullptr);
  int i = 0;
  for (auto _ : state) {
    std::string v = std::to_string(i);
    if (baselineCall(db, st, true, i++ * 7919 % kItems, &v, nullptr) != SQLITE_DONE)
      state.SkipWithError("update");
  }
  sqlite3_finalize(st);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_KeychainRead)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SQLiteRead)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_KeychainUpdate)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SQLiteUpdate)->MinTime(1.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench_support::RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double read = reporter.ratio("BM_KeychainRead", "BM_SQLiteRead");
  double update = reporter.ratio("BM_KeychainUpdate", "BM_SQLiteUpdate");
  std::printf("keychain reads: %.0f/s\nSQLite reads: %.0f/s\n", reporter.rate("BM_KeychainRead"),
              reporter.rate("BM_SQLiteRead"));
  std::printf("keychain updates: %.0f/s\nSQLite updates: %.0f/s\n",
              reporter.rate("BM_KeychainUpdate"), reporter.rate("BM_SQLiteUpdate"));
  std::printf("figure: keychain / SQLite reads, 10,000 items | %.3f\n", read);
  std::printf("figure: keychain / SQLite updates, 10,000 items | %.3f\n", update);
  std::printf("ratio: %.3f\n", std::sqrt(read * update));
  benchmark::Shutdown();
  std::filesystem::remove_all(folder());
  return 0;
}
