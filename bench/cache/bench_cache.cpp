// The caches beside hand-written baselines doing the same work:
// - memory: 1M operations (90% reads, 10% stores) over 100k keys with a count limit of 50k,
//   HVMemoryCache beside an unordered_map + list LRU under one std::mutex, same eviction;
// - key-value storage: 20k inline stores of 2 KiB and 2k file stores of 64 KiB, then 50k
//   random reads, HVKVStorage beside raw sqlite3 with the same schema, pragmas and statements
//   (prepared once; autocommit insert-or-replace; select plus access-time update per read)
//   and plain write()/read() of the value files.
// Prints operations per second; the last line is "ratio: R", the lower system-over-baseline
// figure.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <list>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/RateReporter.h"
#include "image/cache/HVKVStorage.h"
#include "image/cache/HVMemoryCache.h"
#include "platform/foundation/NSLog.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMemoryOps = 1000000;
constexpr int kMemoryKeys = 100000;
constexpr uint64_t kCountLimit = 50000;
constexpr int kInlineStores = 20000;
constexpr size_t kInlineSize = 2048;
constexpr int kFileStores = 2000;
constexpr size_t kFileSize = 64 * 1024;
constexpr int kReads = 50000;

// ---- memory ----

struct MemoryOp {
  bool write;
  int key;
};

const std::vector<std::string>& memoryKeys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k;
    for (int i = 0; i < kMemoryKeys; i++) k.push_back("key-" + std::to_string(i));
    return k;
  }();
  return keys;
}

const std::vector<MemoryOp>& memoryOps() {
  static const std::vector<MemoryOp> ops = [] {
    std::mt19937 rng(1);
    std::vector<MemoryOp> o;
    for (int i = 0; i < kMemoryOps; i++)
      o.push_back({rng() % 10 == 0, static_cast<int>(rng() % kMemoryKeys)});
    return o;
  }();
  return ops;
}

// The baseline LRU: most recent at the front; a store beyond the count limit drops the back.
class BaselineLRU {
 public:
  plat::Value get(const std::string& key) {
    std::lock_guard<std::mutex> hold(m_);
    auto it = map_.find(key);
    if (it == map_.end()) return plat::Value();
    list_.splice(list_.begin(), list_, it->second);
    return it->second->second;
  }
  void set(const plat::Value& v, const std::string& key) {
    std::lock_guard<std::mutex> hold(m_);
    auto it = map_.find(key);
    if (it != map_.end()) {
      it->second->second = v;
      list_.splice(list_.begin(), list_, it->second);
      return;
    }
    list_.emplace_front(key, v);
    map_[key] = list_.begin();
    if (map_.size() > kCountLimit) {
      map_.erase(list_.back().first);
      list_.pop_back();
    }
  }

 private:
  std::mutex m_;
  std::list<std::pair<std::string, plat::Value>> list_;
  std::unordered_map<std::string, std::list<std::pair<std::string, plat::Value>>::iterator> map_;
};

void BM_System_Memory(benchmark::State& state) {
  const auto& keys = memoryKeys();
  const auto& ops = memoryOps();
  for (auto _ : state) {
    auto cache = HVMemoryCache::create();
    cache->setCountLimit(kCountLimit);
    plat::Value v(int64_t{42});
    for (const auto& op : ops) {
      if (op.write) {
        cache->setObjectForKey(v, keys[op.key]);
      } else {
        benchmark::DoNotOptimize(cache->objectForKey(keys[op.key]));
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kMemoryOps);
}

void BM_Baseline_Memory(benchmark::State& state) {
  const auto& keys = memoryKeys();
  const auto& ops = memoryOps();
  for (auto _ : state) {
    BaselineLRU cache;
    plat::Value v(int64_t{42});
    for (const auto& op : ops) {
      if (op.write) {
        cache.set(v, keys[op.key]);
      } else {
        benchmark::DoNotOptimize(cache.get(keys[op.key]));
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kMemoryOps);
}

// ---- key-value storage ----

constexpr int kKVOps = kInlineStores + kFileStores + kReads;

plat::Data filled(size_t n, uint8_t b) { return plat::Data(std::vector<uint8_t>(n, b)); }

std::string freshFolder(const char* what) {
  static int n = 0;
  fs::path dir = fs::temp_directory_path() /
                 ("bench-cache-" + std::to_string(::getpid()) + "-" + what + std::to_string(n++));
  fs::remove_all(dir);
  return dir.string();
}

std::vector<int> readOrder() {
  std::mt19937 rng(2);
  std::vector<int> order;
  for (int i = 0; i < kReads; i++) order.push_back(static_cast<int>(rng() % (kInlineStores + kFileStores)));
  return order;
}

std::string kvKey(int i) { return "key-" + std::to_string(i); }

void BM_System_KV(benchmark::State& state) {
  plat::Data small = filled(kInlineSize, 1), large = filled(kFileSize, 2);
  auto order = readOrder();
  for (auto _ : state) {
    std::string dir = freshFolder("system");
    {
      auto kv = HVKVStorage::initWithPathType(dir, HVStorageModeMixed);
      for (int i = 0; i < kInlineStores; i++) kv->saveItemWithKeyValue(kvKey(i), small);
      for (int i = kInlineStores; i < kInlineStores + kFileStores; i++) {
        std::string key = kvKey(i);
        kv->saveItemWithKeyValueFilenameExtendedData(key, large, key, plat::Data());
      }
      for (int i : order) {
        auto v = kv->getItemValueForKey(kvKey(i));
        if (!v) state.SkipWithError("read failed");
      }
    }
    state.PauseTiming();
    fs::remove_all(dir);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kKVOps);
}

bool writeFile(const std::string& path, const plat::Data& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, data.bytes(), data.length()) == static_cast<ssize_t>(data.length());
  return (::close(fd) == 0) && ok;
}

bool readFile(const std::string& path, std::vector<uint8_t>* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->resize(kFileSize);
  ssize_t n = ::read(fd, out->data(), out->size());
  ::close(fd);
  return n == static_cast<ssize_t>(kFileSize);
}

void BM_Baseline_KV(benchmark::State& state) {
  plat::Data small = filled(kInlineSize, 1), large = filled(kFileSize, 2);
  auto order = readOrder();
  for (auto _ : state) {
    std::string dir = freshFolder("baseline");
    fs::create_directories(fs::path(dir) / "data");
    sqlite3* db = nullptr;
    sqlite3_open((fs::path(dir) / "manifest.sqlite").c_str(), &db);
    sqlite3_exec(db,
                 "pragma journal_mode = wal; pragma synchronous = normal; create table if not "
                 "exists manifest (key text, filename text, size integer, inline_data blob, "
                 "modification_time integer, last_access_time integer, extended_data blob, "
                 "primary key(key)); create index if not exists last_access_time_idx on "
                 "manifest(last_access_time);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *insert, *select, *touch;
    sqlite3_prepare_v2(db,
                       "insert or replace into manifest (key, filename, size, inline_data, "
                       "modification_time, last_access_time, extended_data) values (?1, ?2, ?3, "
                       "?4, ?5, ?6, ?7);",
                       -1, &insert, nullptr);
    sqlite3_prepare_v2(db, "select filename, inline_data from manifest where key = ?1;", -1,
                       &select, nullptr);
    sqlite3_prepare_v2(db, "update manifest set last_access_time = ?1 where key = ?2;", -1,
                       &touch, nullptr);
    auto store = [&](const std::string& key, const plat::Data& value, bool inFile) {
      sqlite3_bind_text(insert, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
      if (inFile) {
        writeFile((fs::path(dir) / "data" / key).string(), value);
        sqlite3_bind_text(insert, 2, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        sqlite3_bind_null(insert, 4);
      } else {
        sqlite3_bind_null(insert, 2);
        sqlite3_bind_blob(insert, 4, value.bytes(), static_cast<int>(value.length()),
                          SQLITE_STATIC);
      }
      sqlite3_bind_int64(insert, 3, static_cast<sqlite3_int64>(value.length()));
      sqlite3_bind_int64(insert, 5, 1);
      sqlite3_bind_int64(insert, 6, 1);
      sqlite3_bind_null(insert, 7);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    };
    for (int i = 0; i < kInlineStores; i++) store(kvKey(i), small, false);
    for (int i = kInlineStores; i < kInlineStores + kFileStores; i++) store(kvKey(i), large, true);
    std::vector<uint8_t> buffer;
    for (int i : order) {
      std::string key = kvKey(i);
      sqlite3_bind_text(select, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
      bool ok = false;
      if (sqlite3_step(select) == SQLITE_ROW) {
        if (sqlite3_column_type(select, 0) != SQLITE_NULL) {
          ok = readFile((fs::path(dir) / "data" /
                         reinterpret_cast<const char*>(sqlite3_column_text(select, 0)))
                            .string(),
                        &buffer);
        } else {
          plat::Data v(sqlite3_column_blob(select, 1),
                       static_cast<size_t>(sqlite3_column_bytes(select, 1)));
          ok = !v.empty();
        }
      }
      sqlite3_reset(select);
      sqlite3_bind_int64(touch, 1, 2);
      sqlite3_bind_text(touch, 2, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
      sqlite3_step(touch);
      sqlite3_reset(touch);
      if (!ok) state.SkipWithError("read failed");
    }
    sqlite3_finalize(insert);
    sqlite3_finalize(select);
    sqlite3_finalize(touch);
    sqlite3_close(db);
    state.PauseTiming();
    fs::remove_all(dir);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kKVOps);
}

}  // namespace

int main(int argc, char** argv) {
  memoryKeys();
  memoryOps();
  plat::setNSLogCaptureForTesting([](const std::string&) {});
  benchmark::RegisterBenchmark("System/Memory", BM_System_Memory)->Iterations(3)->UseRealTime();
  benchmark::RegisterBenchmark("Baseline/Memory", BM_Baseline_Memory)->Iterations(3)->UseRealTime();
  benchmark::RegisterBenchmark("System/KV", BM_System_KV)->Iterations(1)->UseRealTime();
  benchmark::RegisterBenchmark("Baseline/KV", BM_Baseline_KV)->Iterations(1)->UseRealTime();
  benchmark::Initialize(&argc, argv);
  bench_support::RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const std::string& what) {
    return reporter.ratio("System/" + what, "Baseline/" + what);
  };
  std::printf("memory: system %.0f ops/s, baseline %.0f ops/s, ratio %.3f (goal 0.5)\n",
              reporter.rate("System/Memory"), reporter.rate("Baseline/Memory"), ratio("Memory"));
  std::printf("key-value: system %.0f ops/s, baseline %.0f ops/s, ratio %.3f (goal 0.8)\n",
              reporter.rate("System/KV"), reporter.rate("Baseline/KV"), ratio("KV"));
  plat::setNSLogCaptureForTesting(nullptr);
  std::printf("ratio: %.3f\n", std::min(ratio("Memory"), ratio("KV")));
  return 0;
}
