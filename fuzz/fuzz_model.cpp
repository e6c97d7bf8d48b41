// The dictionary-to-model mapper over arbitrary JSON: models with scalars of every width,
// text, numbers, nested models (also of their own class), typed arrays and key paths. Mapping
// never crashes, and a mapped model converts back to key values and JSON.

#include "fuzz/FuzzSupport.h"
#include "net/model/HVKeyValue.h"
#include "platform/foundation/NSJSONSerialization.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t choice = in.byte();
  plat::Value json = plat::NSJSONSerialization::JSONObjectWithString(
      in.rest(), plat::NSJSONSerialization::NSJSONReadingFragmentsAllowed);
  if (json.isNil()) return 0;

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
