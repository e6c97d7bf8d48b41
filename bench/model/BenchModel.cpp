// Maps 10,000 dictionaries of a ten-property model (strings, integers, a double, a BOOL, a
// nested model and an array of models) from one JSON text, through the reflection-based
// mapper and, as the baseline, through a hand-written nlohmann from_json of the same model.
// Prints objects per second of each and, last, "ratio: R" (mapper / hand-written).
//
// The mapper reads the text with simdjson and maps straight from the parsed document: no
// plat::Value tree is built for the dictionaries and arrays. Its time goes to creating each
// instance through its class, looking up each property's keys in the document, boxing the
// leaves for the setters, and a few short lock holds per object for the class's cached tables
// and last errors; the parse itself is a small share. The baseline spends most of its time
// in nlohmann's parse and its tree. Reflection is done once per class, not per object.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/RateReporter.h"
#include "net/model/HVKeyValue.h"

namespace {

constexpr int kObjects = 10000;

// The model, declared for the mapper.
class BmOrder : public plat::NSObject {
 public:
  std::string orderId;
  int64_t amount = 0;
  HV_MODEL(BmOrder, plat::NSObject, PLAT_PROPERTY(orderId), PLAT_PROPERTY(amount))
};

class BmProfile : public plat::NSObject {
 public:
  std::string nickname;
  std::string avatar;
  HV_MODEL(BmProfile, plat::NSObject, PLAT_PROPERTY(nickname), PLAT_PROPERTY(avatar))
};

class BmUser : public plat::NSObject {
 public:
  int64_t Id = 0;
  std::string name;
  std::string email;
  int32_t age = 0;
  double score = 0;
  bool vip = false;
  int32_t level = 0;
  std::string city;
  std::shared_ptr<BmProfile> profile;
  std::vector<std::shared_ptr<BmOrder>> orders;
  HV_MODEL(BmUser, plat::NSObject, PLAT_PROPERTY(Id), PLAT_PROPERTY(name), PLAT_PROPERTY(email),
           PLAT_PROPERTY(age), PLAT_PROPERTY(score), PLAT_PROPERTY(vip), PLAT_PROPERTY(level),
           PLAT_PROPERTY(city), PLAT_PROPERTY(profile), PLAT_PROPERTY(orders))
  static plat::Dictionary kv_replacedKeyFromPropertyName() { return {{"Id", "id"}}; }
  static plat::Dictionary kv_objectClassInArray() { return {{"orders", "BmOrder"}}; }
};

// The same model, plain, with hand-written mapping.
struct PlainOrder {
  std::string orderId;
  int64_t amount = 0;
};
struct PlainProfile {
  std::string nickname;
  std::string avatar;
};
struct PlainUser {
  int64_t id = 0;
  std::string name, email;
  int32_t age = 0;
  double score = 0;
  bool vip = false;
  int32_t level = 0;
  std::string city;
  std::shared_ptr<PlainProfile> profile;
  std::vector<std::shared_ptr<PlainOrder>> orders;
};

void from_json(const nlohmann::json& j, PlainOrder& o) {
  o.orderId = j.value("orderId", "");
  o.amount = j.value("amount", int64_t{0});
}
void from_json(const nlohmann::json& j, PlainProfile& p) {
  p.nickname = j.value("nickname", "");
  p.avatar = j.value("avatar", "");
}
void from_json(const nlohmann::json& j, PlainUser& u) {
  u.id = j.value("id", int64_t{0});
  u.name = j.value("name", "");
  u.email = j.value("email", "");
  u.age = j.value("age", 0);
  u.score = j.value("score", 0.0);
  u.vip = j.value("vip", false);
  u.level = j.value("level", 0);
  u.city = j.value("city", "");
  if (auto it = j.find("profile"); it != j.end() && it->is_object()) {
    u.profile = std::make_shared<PlainProfile>(it->get<PlainProfile>());
  }
  if (auto it = j.find("orders"); it != j.end() && it->is_array()) {
    for (auto& o : *it) u.orders.push_back(std::make_shared<PlainOrder>(o.get<PlainOrder>()));
  }
}

const std::string& inputText() {
  static const std::string text = [] {
    nlohmann::json a = nlohmann::json::array();
    auto numbered = [](const char* prefix, int i, const char* suffix = "") {
      std::string s(prefix);
      s += std::to_string(i);
      s += suffix;
      return s;
    };
    for (int i = 0; i < kObjects; ++i) {
      a.push_back({{"id", 100000 + i},
                   {"name", numbered("user", i)},
                   {"email", numbered("user", i, "@mail.example")},
                   {"age", 18 + i % 50},
                   {"score", i * 0.25},
                   {"vip", i % 3 == 0},
                   {"level", i % 10},
                   {"city", numbered("city", i % 100)},
                   {"profile", {{"nickname", numbered("nick", i)}, {"avatar", "a.png"}}},
                   {"orders",
                    {{{"orderId", numbered("o", i)}, {"amount", i}},
                     {{"orderId", numbered("p", i)}, {"amount", 2 * i}}}}});
    }
    return a.dump();
  }();
  return text;
}

void BM_Mapper(benchmark::State& state) {
  const plat::Value text(inputText());
  plat::Class* cls = BmUser::staticClass();
  for (auto _ : state) {
    plat::Value users = kv_objectArrayWithKeyValuesArray(cls, text);
    if (users.count() != kObjects) state.SkipWithError("wrong count");
    benchmark::DoNotOptimize(users);
  }
  state.SetItemsProcessed(state.iterations() * kObjects);
}

void BM_HandWritten(benchmark::State& state) {
  const std::string& text = inputText();
  for (auto _ : state) {
    auto users = nlohmann::json::parse(text).get<std::vector<PlainUser>>();
    if (users.size() != kObjects) state.SkipWithError("wrong count");
    benchmark::DoNotOptimize(users);
  }
  state.SetItemsProcessed(state.iterations() * kObjects);
}

BENCHMARK(BM_Mapper)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_HandWritten)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench_support::RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double mapper = reporter.rate("BM_Mapper");
  double baseline = reporter.rate("BM_HandWritten");
  std::printf("mapper: %.0f objects/s\nhand-written: %.0f objects/s\n", mapper, baseline);
  double ratio = baseline > 0 ? mapper / baseline : 0.0;
  std::printf("figure: mapper / hand-written nlohmann | %.3f | >= 1.0\n", ratio);
  std::printf("ratio: %.3f\n", ratio);
  benchmark::Shutdown();
  return 0;
}
