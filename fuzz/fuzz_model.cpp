// The dictionary-to-model mapper over arbitrary JSON: models with scalars of every width,
// text, numbers, nested models (also of their own class), typed arrays and key paths. Mapping
// never crashes, a mapped model converts back to key values and JSON, and JSON text (mapped
// straight from its parsed document) gives the same models and errors as its decoded value.

#include "fuzz/FuzzSupport.h"
#include "net/model/HVKeyValue.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "testing/model/ModelKeyValues.h"

namespace {

class FzUser : public plat::NSObject {
 public:
  plat::Value Id;
  std::string name;
  int64_t age = 0;
  int8_t tiny = 0;
  uint32_t count = 0;
  float ratio = 0;
  double score = 0;
  bool flag = false;
  plat::Array tags;
  plat::Dictionary meta;
  HV_MODEL(FzUser, plat::NSObject, PLAT_PROPERTY(Id), PLAT_PROPERTY(name), PLAT_PROPERTY(age),
           PLAT_PROPERTY(tiny), PLAT_PROPERTY(count), PLAT_PROPERTY(ratio), PLAT_PROPERTY(score),
           PLAT_PROPERTY(flag), PLAT_PROPERTY(tags), PLAT_PROPERTY(meta))
  static plat::Dictionary kv_replacedKeyFromPropertyName() { return {{"Id", "id"}}; }
};

class FzPage : public plat::NSObject {
 public:
  std::string title;
  std::shared_ptr<FzUser> owner;
  std::shared_ptr<FzPage> next;
  plat::Array users;
  std::vector<std::shared_ptr<FzUser>> typedUsers;
  std::vector<std::shared_ptr<FzPage>> pages;
  std::string firstName;
  int64_t total = 0;
  plat::Value number;
  HV_MODEL(FzPage, plat::NSObject, PLAT_PROPERTY(title), PLAT_PROPERTY(owner), PLAT_PROPERTY(next),
           PLAT_PROPERTY(users), PLAT_PROPERTY(typedUsers), PLAT_PROPERTY(pages),
           PLAT_PROPERTY(firstName), PLAT_PROPERTY(total),
           PLAT_PROPERTY_CODE(number, "@\"NSNumber\""))
  static plat::Dictionary kv_objectClassInArray() {
    return {{"users", "FzUser"},
            {"typedUsers", FzUser::staticClass()->value()},
            {"pages", "FzPage"}};
  }
  static plat::Dictionary kv_replacedKeyFromPropertyName() {
    return {{"firstName", "data.list[0].name"},
            {"total", plat::Array{"count", "data.total", "data.list[3].n"}}};
  }
};

// The models as key values (nested arrays kept) and the errors of the model classes.
std::string outcome(const plat::Value& mapped) {
  std::string r;
  for (plat::Class* c : {FzPage::staticClass(), FzUser::staticClass()}) {
    auto e = kv_error(c);
    r += c->name() + ": " + (e ? e->domain() : "") + "\n";
  }
  return r + testing_model::keyValuesThroughout(mapped).description();
}

void clearErrors() {
  setKv_error(FzPage::staticClass(), nullptr);
  setKv_error(FzUser::staticClass(), nullptr);
}

void checkTextMapsAsDecoded(std::string_view text, const plat::Value& decoded, bool asArray) {
  auto map = [&](const plat::Value& input) {
    clearErrors();
    plat::Value mapped = asArray ? kv_objectArrayWithKeyValuesArray(FzPage::staticClass(), input)
                                 : plat::Value(kv_objectWithKeyValues<FzPage>(input));
    return outcome(mapped);
  };
  std::string straight = map(plat::Value(std::string(text)));
  std::string fromDecoded = map(decoded);
  FUZZ_CHECK(straight == fromDecoded, std::string(text) + "\n--- straight ---\n" + straight +
                                          "\n--- decoded ---\n" + fromDecoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t choice = in.byte();
  const std::string_view text = in.rest();
  plat::Value json = plat::NSJSONSerialization::JSONObjectWithString(
      text, plat::NSJSONSerialization::NSJSONReadingFragmentsAllowed);
  if (json.isNil()) return 0;
  if (json.isDictionary() || json.isArray()) checkTextMapsAsDecoded(text, json, choice & 1);

  if (choice & 1) {
    plat::Value objects = kv_objectArrayWithKeyValuesArray(FzPage::staticClass(), json);
    (void)kv_keyValuesArrayWithObjectArray(FzPage::staticClass(), objects);
    return 0;
  }
  auto page = kv_objectWithKeyValues<FzPage>(json);
  if (!page) return 0;
  plat::Value keyValues = kv_keyValues(plat::Value(page));
  (void)kv_JSONString(plat::Value(page));
  // Mapping the model's own key values again gives a model without trouble.
  (void)kv_objectWithKeyValues<FzPage>(keyValues);
  if (choice & 2) kv_setKeyValues(page, json);
  return 0;
}
