#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/model/HVKeyValue.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "testing/model/ModelKeyValues.h"

namespace {

plat::Value json(const char* text) {
  return plat::NSJSONSerialization::JSONObjectWithString(
      text, plat::NSJSONSerialization::NSJSONReadingFragmentsAllowed);
}

class KvCoupon : public plat::NSObject {
 public:
  plat::Value Id;
  std::string code;
  HV_MODEL(KvCoupon, plat::NSObject, PLAT_PROPERTY(Id), PLAT_PROPERTY(code))
  static plat::Dictionary kv_replacedKeyFromPropertyName() { return {{"Id", "id"}}; }
};

class KvTextId : public plat::NSObject {
 public:
  std::string Id;
  HV_MODEL(KvTextId, plat::NSObject, PLAT_PROPERTY(Id))
  static plat::Dictionary kv_replacedKeyFromPropertyName() { return {{"Id", "id"}}; }
};

class KvScalars : public plat::NSObject {
 public:
  bool flag = false;
  int32_t small = 0;
  int8_t tiny = 0;
  uint32_t unsignedNumber = 0;
  double ratio = 0;
  std::string text;
  plat::Value number;
  plat::Dictionary dict;
  HV_MODEL(KvScalars, plat::NSObject, PLAT_PROPERTY(flag), PLAT_PROPERTY(small),
           PLAT_PROPERTY(tiny), PLAT_PROPERTY(unsignedNumber), PLAT_PROPERTY(ratio),
           PLAT_PROPERTY(text), PLAT_PROPERTY_CODE(number, "@\"NSNumber\""), PLAT_PROPERTY(dict))
};

class KvUser : public plat::NSObject {
 public:
  std::string name;
  int64_t age = 0;
  HV_MODEL(KvUser, plat::NSObject, PLAT_PROPERTY(name), PLAT_PROPERTY(age))
};

class KvPage : public plat::NSObject {
 public:
  std::string title;
  std::shared_ptr<KvUser> owner;
  plat::Array users;
  std::vector<std::shared_ptr<KvUser>> typedUsers;
  std::string firstName;
  int64_t total = 0;
  HV_MODEL(KvPage, plat::NSObject, PLAT_PROPERTY(title), PLAT_PROPERTY(owner), PLAT_PROPERTY(users),
           PLAT_PROPERTY(typedUsers), PLAT_PROPERTY(firstName), PLAT_PROPERTY(total))
  static plat::Dictionary kv_objectClassInArray() {
    return {{"users", "KvUser"}, {"typedUsers", KvUser::staticClass()->value()}};
  }
  static plat::Dictionary kv_replacedKeyFromPropertyName() {
    return {{"firstName", "data.list[0].name"}, {"total", plat::Array{"count", "data.total"}}};
  }
};

class KvPath : public plat::NSObject {
 public:
  std::string value;
  std::string other;
  HV_MODEL(KvPath, plat::NSObject, PLAT_PROPERTY(value), PLAT_PROPERTY(other))
  static plat::Dictionary kv_replacedKeyFromPropertyName() {
    return {{"value", "a.b[2]"}, {"other", "a.b.c"}};
  }
};

class KvFar : public plat::NSObject {
 public:
  std::string far = "f";
  std::string negative = "n";
  std::string near = "ok";
  HV_MODEL(KvFar, plat::NSObject, PLAT_PROPERTY(far), PLAT_PROPERTY(negative), PLAT_PROPERTY(near))
  static plat::Dictionary kv_replacedKeyFromPropertyName() {
    return {{"far", "list[99999999]"}, {"negative", "neg[-1]"}, {"near", "list[1]"}};
  }
};

class KvHooked : public plat::NSObject {
 public:
  std::string name;
  std::string note;
  int finished = 0;
  int serialized = 0;
  HV_MODEL(KvHooked, plat::NSObject, PLAT_PROPERTY(name), PLAT_PROPERTY(note))
  plat::Value kv_newValueFromOldValueProperty(const plat::Value& old, HVProperty* p) {
    if (p->name() == "note" && old.isNil()) return "default";
    return old;
  }
  void kv_keyValuesDidFinishConvertingToObject() { ++finished; }
  void kv_objectDidFinishConvertingToKeyValues() { ++serialized; }
  static std::vector<std::string> kv_ignoredPropertyNames() { return {"secret"}; }
};

class KvNode : public plat::NSObject {
 public:
  std::string name;
  std::shared_ptr<KvNode> next;
  HV_MODEL(KvNode, plat::NSObject, PLAT_PROPERTY(name), PLAT_PROPERTY(next))
};

// Named by text only, as the element class of KvShelf's array.
class KvShelfItem : public plat::NSObject {
 public:
  std::string label;
  HV_MODEL(KvShelfItem, plat::NSObject, PLAT_PROPERTY(label))
};

class KvShelf : public plat::NSObject {
 public:
  plat::Array items;
  HV_MODEL(KvShelf, plat::NSObject, PLAT_PROPERTY(items))
  static plat::Dictionary kv_objectClassInArray() { return {{"items", "KvShelfItem"}}; }
};

// A typed array of models with no element class configured.
class KvCrate : public plat::NSObject {
 public:
  std::vector<std::shared_ptr<KvShelfItem>> items;
  HV_MODEL(KvCrate, plat::NSObject, PLAT_PROPERTY(items))
};

std::string errorText(plat::Class* c) {
  auto e = kv_error(c);
  return e ? e->domain() : "";
}

TEST(KeyValueMapping, ArrayOfModelsFromJsonTextWithReplacedId) {
  auto coupons = kv_objectArrayWithKeyValuesArray(KvCoupon::staticClass(),
                                                  plat::Value(R"([{"id":5,"code":"X"}])"));
  ASSERT_EQ(coupons.count(), 1u);
  auto c = coupons[0].objectAs<KvCoupon>();
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Id, plat::Value(5));
  EXPECT_EQ(c->code, "X");
  EXPECT_EQ(kv_error(KvCoupon::staticClass()), nullptr);

  // A string property takes the number as its text.
  auto ids = kv_objectArrayWithKeyValuesArray<KvTextId>(plat::Value(R"([{"id":5}])"));
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0]->Id, "5");

  // String elements are dropped; array elements give nested arrays.
  auto mixed = kv_objectArrayWithKeyValuesArray(KvTextId::staticClass(),
                                                json(R"([{"id":"a"},"str",[{"id":"b"}],7])"));
  ASSERT_EQ(mixed.count(), 2u);
  EXPECT_EQ(mixed[0].objectAs<KvTextId>()->Id, "a");
  ASSERT_TRUE(mixed[1].isArray());
  EXPECT_EQ(mixed[1][0].objectAs<KvTextId>()->Id, "b");

  // Not an array: nil and the class's error.
  EXPECT_TRUE(
      kv_objectArrayWithKeyValuesArray(KvTextId::staticClass(), json(R"({"id":1})")).isNil());
  auto e = kv_error(KvTextId::staticClass());
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 250);
  EXPECT_EQ(e->domain(), "keyValuesArray参数不是一个数组");
  EXPECT_TRUE(e->userInfo().empty());
  // A platform class gets the array back untouched.
  plat::Value raw = json(R"([1,"a"])");
  EXPECT_EQ(kv_objectArrayWithKeyValuesArray(plat::Runtime::classNamed("NSString"), raw), raw);
}

// Servers send long numeric ids: an integer beyond 64 bits keeps every digit in a text
// property, from JSON text and from the decoded JSON alike, and a number property still
// takes the number.
TEST(KeyValueMapping, IntegersBeyond64BitsKeepEveryDigitAsText) {
  const char* text =
      R"([{"id":12345678901234567890123},{"id":-98765432109876543210},{"id":1.5e300}])";
  for (const plat::Value& input : {plat::Value(text), json(text)}) {
    auto ids = kv_objectArrayWithKeyValuesArray<KvTextId>(input);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0]->Id, "12345678901234567890123");
    EXPECT_EQ(ids[1]->Id, "-98765432109876543210");
    EXPECT_EQ(ids[2]->Id, "1.5e+300");
  }
  auto numbers = kv_objectArrayWithKeyValuesArray<KvScalars>(
      plat::Value(R"([{"number":12345678901234567890123,"ratio":12345678901234567890123,)"
                  R"("small":12345678901234567890123}])"));
  ASSERT_EQ(numbers.size(), 1u);
  EXPECT_EQ(numbers[0]->number.description(), "12345678901234567890123");
  EXPECT_DOUBLE_EQ(numbers[0]->ratio, 1.2345678901234568e22);
  EXPECT_EQ(numbers[0]->small, INT32_MAX);

  // Integers too long for a double keep their digits too, and a NUL byte never ends the text
  // early (what follows it would be dropped).
  const std::string digits309 = "9" + std::string(308, '8');
  auto longIds = kv_objectArrayWithKeyValuesArray<KvTextId>(
      plat::Value("[{\"id\":" + digits309 + "},{\"id\":1}]"));
  ASSERT_EQ(longIds.size(), 2u);
  EXPECT_EQ(longIds[0]->Id, digits309);
  EXPECT_TRUE(kv_objectArrayWithKeyValuesArray<KvTextId>(
                  plat::Value(std::string("[{\"id\":1}]\0[{\"id\":2}]", 21)))
                  .empty());
}

TEST(KeyValueMapping, ElementClassNamedByTextBeforeItIsUsed) {
  auto shelf = kv_objectWithKeyValues<KvShelf>(json(R"({"items":[{"label":"a"},{"label":"b"}]})"));
  ASSERT_TRUE(shelf);
  ASSERT_EQ(shelf->items.size(), 2u);
  auto second = shelf->items[1].objectAs<KvShelfItem>();
  ASSERT_TRUE(second) << shelf->items[1].description();
  EXPECT_EQ(second->label, "b");

  // A vector of model pointers needs no configured element class: its type names it.
  auto crate = kv_objectWithKeyValues<KvCrate>(json(R"({"items":[{"label":"c"},"junk"]})"));
  ASSERT_TRUE(crate);
  ASSERT_EQ(crate->items.size(), 1u);
  EXPECT_EQ(crate->items[0]->label, "c");
  EXPECT_EQ(kv_error(KvCrate::staticClass()), nullptr);
}

TEST(KeyValueMapping, ScalarConversions) {
  auto one = [](const char* text) { return kv_objectWithKeyValues<KvScalars>(json(text)); };
  EXPECT_TRUE(one(R"({"flag":"true"})")->flag);
  EXPECT_TRUE(one(R"({"flag":"YES"})")->flag);
  EXPECT_TRUE(one(R"({"flag":"1"})")->flag);
  auto o = std::make_shared<KvScalars>();
  o->flag = true;
  kv_setKeyValues(o, json(R"({"flag":"no"})"));
  EXPECT_FALSE(o->flag);
  kv_setKeyValues(o, json(R"({"flag":"maybe"})"));
  EXPECT_FALSE(o->flag);  // unchanged
  o->flag = true;
  kv_setKeyValues(o, json(R"({"flag":"maybe"})"));
  EXPECT_TRUE(o->flag);  // unchanged

  // Numeric text into numbers; text that is not a number leaves the property alone.
  o = one(R"({"small":"42","ratio":"2.5","number":"-7","text":12})");
  EXPECT_EQ(o->small, 42);
  EXPECT_DOUBLE_EQ(o->ratio, 2.5);
  EXPECT_EQ(o->number, plat::Value(-7));
  EXPECT_EQ(o->text, "12");
  o->small = 3;
  kv_setKeyValues(o, json(R"({"small":"42abc","number":"1e3"})"));
  EXPECT_EQ(o->small, 3);
  EXPECT_EQ(o->number, plat::Value(1000.0));
  EXPECT_EQ(one(R"({"text":2.5})")->text, "2.5");
  EXPECT_EQ(one(R"({"text":true})")->text, "1");

  // Saturation into narrower integers.
  o = one(R"({"small":1e20,"tiny":-1000,"unsignedNumber":-5})");
  EXPECT_EQ(o->small, INT32_MAX);
  EXPECT_EQ(o->tiny, INT8_MIN);
  EXPECT_EQ(o->unsignedNumber, 0u);

  // Wrong kinds for object properties are dropped without an error.
  o = one(R"({"dict":"x","number":[1],"text":{"a":1}})");
  EXPECT_TRUE(o->dict.empty());
  EXPECT_TRUE(o->number.isNil());
  EXPECT_EQ(o->text, "");
  EXPECT_EQ(kv_error(KvScalars::staticClass()), nullptr);

  // A value a scalar cannot hold records the setter's reason and mapping goes on.
  o = one(R"({"small":{"a":1},"ratio":1.5})");
  EXPECT_EQ(o->small, 0);
  EXPECT_DOUBLE_EQ(o->ratio, 1.5);
  EXPECT_EQ(errorText(KvScalars::staticClass()),
            "KvScalars.small: expects a number, got dictionary");
  // Null and missing keys leave properties as they were.
  o->small = 9;
  kv_setKeyValues(o, json(R"({"small":null})"));
  EXPECT_EQ(o->small, 9);
}

TEST(KeyValueMapping, NestedModelsAndKeyPaths) {
  const char* text = R"({"title":"T","owner":{"name":"ann","age":"30"},
      "users":[{"name":"a"},{"name":"b"},"junk"],"typedUsers":[{"name":"c"}],
      "data":{"list":[{"name":"first"}],"total":12}})";
  // JSON text, JSON data and a dictionary give the same model.
  for (plat::Value input :
       {plat::Value(text), plat::Value(plat::Data::fromString(text)), json(text)}) {
    auto page = kv_objectWithKeyValues<KvPage>(input);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->title, "T");
    ASSERT_TRUE(page->owner);
    EXPECT_EQ(page->owner->name, "ann");
    EXPECT_EQ(page->owner->age, 30);
    ASSERT_EQ(page->users.size(), 2u);
    EXPECT_EQ(page->users[1].objectAs<KvUser>()->name, "b");
    ASSERT_EQ(page->typedUsers.size(), 1u);
    EXPECT_EQ(page->typedUsers[0]->name, "c");
    EXPECT_EQ(page->firstName, "first");
    EXPECT_EQ(page->total, 12);  // the second key path answers
  }
  // A nested value that is not JSON leaves the property unchanged and records the error on
  // the nested class.
  auto page = kv_objectWithKeyValues<KvPage>(json(R"({"owner":"not json","title":"x"})"));
  ASSERT_TRUE(page);
  EXPECT_FALSE(page->owner);
  EXPECT_EQ(page->title, "x");
  EXPECT_EQ(errorText(KvUser::staticClass()), "keyValues参数不是一个字典");

  EXPECT_FALSE(kv_objectWithKeyValues<KvPage>(plat::Value("[1]")));
  EXPECT_EQ(errorText(KvPage::staticClass()), "keyValues参数不是一个字典");
  EXPECT_FALSE(kv_objectWithKeyValues<KvPage>(plat::Value("{oops")));
  EXPECT_FALSE(kv_objectWithKeyValues(plat::Runtime::classNamed("NSString"), plat::Value("{}")));
  EXPECT_NE(errorText(plat::Runtime::classNamed("NSString")).find("cannot be instantiated"),
            std::string::npos);
  EXPECT_FALSE(kv_objectWithKeyValues(nullptr, plat::Value("{}")));
  EXPECT_TRUE(kv_objectWithKeyValues<KvPage>(plat::Value("{}")));
  EXPECT_EQ(kv_error(KvPage::staticClass()), nullptr);  // cleared by the next operation
}

TEST(KeyValueMapping, HooksAndIgnoredNames) {
  auto o = kv_objectWithKeyValues<KvHooked>(json(R"({"name":"n"})"));
  EXPECT_EQ(o->note, "default");
  EXPECT_EQ(o->finished, 1);
  plat::Value d = kv_keyValues(plat::Value(o));
  EXPECT_EQ(o->serialized, 1);
  EXPECT_EQ(d["note"], plat::Value("default"));

  kv_setupAllowedPropertyNames(KvHooked::staticClass(),
                               [] { return std::vector<std::string>{"note"}; });
  o = kv_objectWithKeyValues<KvHooked>(json(R"({"name":"n","note":"x"})"));
  EXPECT_EQ(o->name, "");
  EXPECT_EQ(o->note, "x");
  kv_setupAllowedPropertyNames(KvHooked::staticClass(), nullptr);
  kv_setupIgnoredPropertyNames(KvHooked::staticClass(),
                               [] { return std::vector<std::string>{"note"}; });
  o = kv_objectWithKeyValues<KvHooked>(json(R"({"name":"n","note":"x"})"));
  EXPECT_EQ(o->name, "n");
  EXPECT_EQ(o->note, "");
  kv_setupIgnoredPropertyNames(KvHooked::staticClass(), nullptr);

  // A new-value block on a class without an instance hook replaces values.
  kv_setupNewValueFromOldValue(
      KvUser::staticClass(), [](plat::Object&, const plat::Value& old, HVProperty* p) {
        return p->name() == "name" && old.isString() ? plat::Value(*old.string() + "!") : old;
      });
  auto u = kv_objectWithKeyValues<KvUser>(json(R"({"name":"bo","age":3})"));
  EXPECT_EQ(u->name, "bo!");
  EXPECT_EQ(u->age, 3);
  kv_setupNewValueFromOldValue(KvUser::staticClass(), nullptr);
  EXPECT_EQ(kv_objectWithKeyValues<KvUser>(json(R"({"name":"bo"})"))->name, "bo");
}

TEST(KeyValueMapping, ModelsBackToDictionaries) {
  auto page = kv_objectWithKeyValues<KvPage>(json(
      R"({"title":"T","owner":{"name":"ann","age":3},"users":[{"name":"a","age":1}],
          "data":{"list":[{"name":"first"}],"total":12}})"));
  plat::Value d = kv_keyValues(plat::Value(page));
  EXPECT_EQ(d["title"], plat::Value("T"));
  EXPECT_EQ(d["owner"]["name"], plat::Value("ann"));
  EXPECT_EQ(d["users"][0]["age"], plat::Value(1));
  // Written back at the replaced key paths, first path of several.
  EXPECT_EQ(d["data"]["list"][0]["name"], plat::Value("first"));
  EXPECT_EQ(d["count"], plat::Value(12));
  EXPECT_EQ(kv_JSONObject(plat::Value(page)), d);

  plat::Value only = kv_keyValuesWithKeys(plat::Value(page), {"title"});
  EXPECT_EQ(only.count(), 1u);
  plat::Value without = kv_keyValuesWithIgnoredKeys(plat::Value(page), {"title", "owner"});
  EXPECT_FALSE(without.dictionary()->contains("title"));
  EXPECT_TRUE(without.dictionary()->contains("users"));

  // With the reference flag off, values go under the property names.
  kv_referenceReplacedKeyWhenCreatingKeyValues(KvPage::staticClass(), false);
  EXPECT_FALSE(kv_isReferenceReplacedKeyWhenCreatingKeyValues(KvPage::staticClass()));
  EXPECT_TRUE(kv_isReferenceReplacedKeyWhenCreatingKeyValues(KvUser::staticClass()));
  d = kv_keyValues(plat::Value(page));
  EXPECT_EQ(d["firstName"], plat::Value("first"));
  EXPECT_EQ(d["total"], plat::Value(12));
  kv_referenceReplacedKeyWhenCreatingKeyValues(KvPage::staticClass(), true);

  // Platform values come back as themselves, with the error on their class.
  EXPECT_EQ(kv_keyValues(plat::Value("text")), plat::Value("text"));
  EXPECT_EQ(errorText(plat::Runtime::classOfValue(plat::Value("text"))), "不是自定义的模型类");

  plat::Value arr =
      kv_keyValuesArrayWithObjectArray(KvPage::staticClass(), plat::Value(plat::Array{page, "s"}));
  ASSERT_EQ(arr.count(), 2u);
  EXPECT_EQ(arr[0]["title"], plat::Value("T"));
  EXPECT_EQ(arr[1], plat::Value("s"));
  EXPECT_TRUE(kv_keyValuesArrayWithObjectArray(KvPage::staticClass(), plat::Value("x")).isNil());
  EXPECT_EQ(errorText(KvPage::staticClass()), "objectArray参数不是一个数组");

  std::string text =
      kv_JSONString(plat::Value(kv_objectWithKeyValues<KvUser>(json(R"({"name":"a/b","age":2})"))));
  EXPECT_EQ(text, R"({"name":"a\/b","age":2})");
  EXPECT_EQ(kv_JSONString(plat::Value(plat::Data::fromString("raw"))), "raw");
}

TEST(KeyValueMapping, KeyPathWriteBack) {
  auto o = std::make_shared<KvPath>();
  o->value = "v";
  kv_setupIgnoredPropertyNames(KvPath::staticClass(),
                               [] { return std::vector<std::string>{"other"}; });
  plat::Value d = kv_keyValues(plat::Value(o));
  ASSERT_EQ(d["a"]["b"].count(), 3u);
  EXPECT_TRUE(d["a"]["b"][0].isNull());
  EXPECT_TRUE(d["a"]["b"][1].isNull());
  EXPECT_EQ(d["a"]["b"][2], plat::Value("v"));
  EXPECT_EQ(kv_error(KvPath::staticClass()), nullptr);

  // "a.b.c" meets the array already written at "a.b": that property is skipped with an
  // error, the other stays.
  kv_setupIgnoredPropertyNames(KvPath::staticClass(), nullptr);
  o->other = "o";
  d = kv_keyValues(plat::Value(o));
  EXPECT_EQ(d["a"]["b"][2], plat::Value("v"));
  EXPECT_EQ(d["a"]["b"].count(), 3u);
  EXPECT_NE(errorText(KvPath::staticClass()).find("KvPath.other"), std::string::npos);
}

TEST(KeyValueMapping, WriteBackRefusesOutOfRangeIndexes) {
  auto o = std::make_shared<KvFar>();
  plat::Value d = kv_keyValues(plat::Value(o));
  EXPECT_EQ(d["list"].count(), 2u);
  EXPECT_EQ(d["list"][1], plat::Value("ok"));
  EXPECT_FALSE(d.dictionary()->contains("neg"));
  EXPECT_NE(kv_error(KvFar::staticClass()), nullptr);
}

// The models (as key values, nested arrays kept) and the errors of the classes involved.
std::string outcome(const plat::Value& mapped, const std::vector<plat::Class*>& classes) {
  std::string errors;
  for (plat::Class* c : classes) errors += c->name() + ": " + errorText(c) + "\n";
  return errors + testing_model::keyValuesThroughout(mapped).description();
}

TEST(KeyValueMapping, TextMapsAsItsDecodedDictionaryWould) {
  // JSON text is mapped straight from the parsed document; every model and error must be
  // what mapping the decoded dictionary gives.
  std::vector<plat::Class*> classes = {KvPage::staticClass(),
                                       KvUser::staticClass(),
                                       KvScalars::staticClass(),
                                       KvHooked::staticClass(),
                                       plat::Runtime::classOfValue(plat::Value(plat::Array{})),
                                       plat::Runtime::classNamed("NSNumber")};
  auto both = [&](plat::Class* cls, const std::string& text, auto map) {
    plat::Value input = json(text.c_str());
    // Only a decoded array given to map notes the array class, as text does not.
    std::vector<plat::Class*> seen = classes;
    if (input.isArray()) seen.erase(seen.begin() + 4);
    for (plat::Class* c : classes) setKv_error(c, nullptr);
    std::string straight = outcome(map(cls, plat::Value(text)), seen);
    for (plat::Class* c : classes) setKv_error(c, nullptr);
    std::string decoded = outcome(map(cls, input), seen);
    EXPECT_EQ(straight, decoded) << text;
  };
  auto object = [](plat::Class* cls, const plat::Value& in) {
    return plat::Value(kv_objectWithKeyValues(cls, in));
  };
  auto array = [](plat::Class* cls, const plat::Value& in) {
    return kv_objectArrayWithKeyValuesArray(cls, in);
  };
  auto set = [](plat::Class*, const plat::Value& in) {
    auto s = std::make_shared<KvScalars>();
    s->small = 5;
    return plat::Value(kv_setKeyValues(s, in));
  };
  for (const char* text : {
           R"({"title":"a","title":"b","owner":{"name":"x","name":"y","age":"7"}})",
           R"({"count":null,"data":{"total":3,"list":[{"name":"n"}]}})",
           R"({"data":{"list":{"0":{"name":"n"}},"total":"12"}})",
           R"({"data":{"list":[],"total":true}})",
           R"({"owner":"{\"name\":\"inner\",\"age\":2}","title":7})",
           R"({"owner":[1],"users":{"name":"u"},"typedUsers":"x","title":null})",
           R"({"owner":null,"users":[null,1,"s",[{"name":"deep"}],[[]],{"name":"u"}]})",
           R"({"typedUsers":[[{"name":"n"}]]})",
           R"({"typedUsers":[{"name":"ok"},{"age":1e3}],"users":["{\"name\":\"t\"}"]})",
       }) {
    both(KvPage::staticClass(), text, object);
  }
  for (const char* text : {
           R"([{"title":"a"},[{"title":"b"},[]],7,null,"x",{"owner":{"age":-1}}])",
           R"([])",
           R"({"title":"not an array"})",
       }) {
    both(KvPage::staticClass(), text, array);
  }
  for (const char* text : {
           R"({"flag":"yes","small":"42abc","tiny":300,"unsignedNumber":-1,"ratio":"2.5"})",
           R"({"text":12,"number":"1e3","dict":{"k":[1,{"a":null}]},"small":{"a":1}})",
           R"({"text":-0,"number":18446744073709551615,"small":9223372036854775808})",
       }) {
    both(KvScalars::staticClass(), text, object);
    both(KvScalars::staticClass(), text, set);
  }
  both(KvHooked::staticClass(), R"({"name":"n","secret":1})", object);

  // Data and a byte order mark read as the text does.
  auto fromData = kv_objectWithKeyValues<KvUser>(
      plat::Value(plat::Data::fromString("\xEF\xBB\xBF{\"name\":\"d\",\"age\":4}")));
  ASSERT_TRUE(fromData);
  EXPECT_EQ(fromData->name, "d");
  EXPECT_EQ(fromData->age, 4);
}

TEST(KeyValueMapping, ConcurrentMappingOfOneClass) {
  // Several threads build the class's cached tables and map at the same time.
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        std::string text = R"({"title":"t)" + std::to_string(t) +
                           R"(","owner":{"name":"o","age":)" + std::to_string(i) +
                           R"(},"users":[{"name":"u"}]})";
        auto p = kv_objectWithKeyValues<KvPage>(plat::Value(text));
        if (p && p->title == "t" + std::to_string(t) && p->owner && p->owner->age == i &&
            p->users.size() == 1 &&
            kv_keyValues(plat::Value(p))["owner"]["age"] == plat::Value(i)) {
          ++good;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 300);
}

TEST(KeyValueMapping, TooDeepFailsTheWholeMappingAndValidDepthsMapWhole) {
  // A reference cycle is no model: the mapping fails instead of handing out a cut dictionary.
  auto a = std::make_shared<KvNode>();
  a->name = "a";
  a->next = a;
  EXPECT_TRUE(kv_keyValues(plat::Value(a)).isNil());
  EXPECT_EQ(errorText(KvNode::staticClass()), "模型嵌套过深");
  a->next.reset();
  EXPECT_EQ(kv_keyValues(plat::Value(a))["name"], plat::Value("a"));
  EXPECT_FALSE(kv_error(KvNode::staticClass()));

  // Any chain that the JSON reader accepts maps node for node.
  auto chain = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += R"({"name":"n","next":)";
    text += "{}";
    for (int i = 0; i < depth; ++i) text += "}";
    return text;
  };
  for (int depth : {70, 400}) {
    auto n = kv_objectWithKeyValues<KvNode>(plat::Value(chain(depth)));
    ASSERT_TRUE(n) << depth;
    int nodes = 0;
    for (auto p = n; p; p = p->next) ++nodes;
    EXPECT_EQ(nodes, depth + 1);
    EXPECT_FALSE(kv_error(KvNode::staticClass()));
  }

  // Deeper decoded input fails as a whole, also inside an array.
  plat::Value deep{plat::Dictionary{}};
  for (int i = 0; i < 600; ++i) deep = plat::Value(plat::Dictionary{{"name", "n"}, {"next", deep}});
  EXPECT_FALSE(kv_objectWithKeyValues<KvNode>(deep));
  EXPECT_EQ(errorText(KvNode::staticClass()), "模型嵌套过深");
  EXPECT_TRUE(
      kv_objectArrayWithKeyValuesArray(KvNode::staticClass(), plat::Value(plat::Array{deep}))
          .isNil());
  EXPECT_EQ(errorText(KvNode::staticClass()), "模型嵌套过深");
  // The next mapping on the same thread starts afresh.
  EXPECT_TRUE(kv_objectWithKeyValues<KvNode>(plat::Value(chain(3))));
  EXPECT_FALSE(kv_error(KvNode::staticClass()));
}

TEST(KeyValueMapping, DataThatIsNotUTF8HasNoJSONString) {
  EXPECT_EQ(kv_JSONString(plat::Value(plat::Data::fromString("caf\xc3\xa9"))), "caf\xc3\xa9");
  EXPECT_EQ(kv_JSONString(plat::Value(plat::Data::fromString("ab\xff\xfe"))), "");
  EXPECT_EQ(kv_JSONString(plat::Value(plat::Data::fromString("\xc3"))), "");
}

}  // namespace
