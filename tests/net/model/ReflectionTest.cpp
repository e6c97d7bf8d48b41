#include <gtest/gtest.h>

#include "net/model/HVFoundation.h"
#include "net/model/HVKeyValue.h"
#include "platform/foundation/NSJSONSerialization.h"

namespace {

class RfBase : public plat::NSObject {
 public:
  std::string Id;
  std::string title;
  HV_MODEL(RfBase, plat::NSObject, PLAT_PROPERTY(Id), PLAT_PROPERTY(title))
  static plat::Dictionary kv_replacedKeyFromPropertyName() {
    return {{"Id", "id"}, {"title", plat::Array{"t", "name"}}};
  }
};

class RfChild : public RfBase {
 public:
  int32_t count = 0;
  HV_MODEL(RfChild, RfBase, PLAT_PROPERTY(count))
};

class RfBoth : public plat::NSObject {
 public:
  std::string a;
  std::string b;
  std::string c;
  HV_MODEL(RfBoth, plat::NSObject, PLAT_PROPERTY(a), PLAT_PROPERTY(b), PLAT_PROPERTY(c))
  static plat::Value kv_replacedKeyFromPropertyName121(const std::string& n) {
    if (n == "a") return "from121";
    if (n == "b") return "b";  // its own name: the table is consulted
    return {};
  }
  static plat::Dictionary kv_replacedKeyFromPropertyName() {
    return {{"a", "fromTable"}, {"b", "tableB"}, {"c", "tableC"}};
  }
};

class RfItem : public plat::NSObject {
 public:
  std::string name;
  HV_MODEL(RfItem, plat::NSObject, PLAT_PROPERTY(name))
};

// A plain registered class (not a model): registered on first use only.
class RfLater : public plat::NSObject {
 public:
  std::string name;
  PLAT_OBJECT(RfLater, plat::NSObject, PLAT_PROPERTY(name))
};

class RfList : public plat::NSObject {
 public:
  plat::Array items;
  plat::Array others;
  plat::Array plain;
  HV_MODEL(RfList, plat::NSObject, PLAT_PROPERTY(items), PLAT_PROPERTY(others),
           PLAT_PROPERTY(plain))
  static plat::Dictionary kv_objectClassInArray() {
    return {
        {"items", "RfItem"}, {"others", RfItem::staticClass()->value()}, {"plain", "NoSuchClass"}};
  }
};

class RfNames : public RfBase {
 public:
  HV_MODEL(RfNames, RfBase)
  static std::vector<std::string> kv_ignoredPropertyNames() { return {"hooked"}; }
};

class RfDisabled : public plat::NSObject {
 public:
  int32_t handle = 7;
  HV_MODEL(RfDisabled, plat::NSObject, PLAT_PROPERTY_CODE(handle, ":"))
};

std::vector<std::string> keyNames(const HVKeyPath& path) {
  std::vector<std::string> r;
  for (auto& k : path)
    r.push_back((k.type() == HVPropertyKey::HVPropertyKeyTypeArray ? "#" : "") + k.name());
  return r;
}

TEST(ModelReflection, TypeCodesParse) {
  auto t = HVPropertyType::cachedTypeWithCode("B");
  EXPECT_TRUE(t->isNumberType());
  EXPECT_TRUE(t->isBoolType());
  t = HVPropertyType::cachedTypeWithCode("c");
  EXPECT_TRUE(t->isNumberType());
  EXPECT_TRUE(t->isBoolType());
  for (const char* code : {"i", "s", "f", "d", "l", "q", "I", "S", "L", "Q", "C"}) {
    EXPECT_TRUE(HVPropertyType::cachedTypeWithCode(code)->isNumberType()) << code;
  }
  EXPECT_FALSE(HVPropertyType::cachedTypeWithCode("I")->isBoolType());
  EXPECT_TRUE(HVPropertyType::cachedTypeWithCode("C")->isBoolType());

  t = HVPropertyType::cachedTypeWithCode("@");
  EXPECT_TRUE(t->isIdType());
  EXPECT_EQ(t->typeClass(), nullptr);
  EXPECT_FALSE(t->isNumberType());

  t = HVPropertyType::cachedTypeWithCode("@\"NSString\"");
  EXPECT_EQ(t->code(), "NSString");
  EXPECT_EQ(t->typeClass(), plat::Runtime::classNamed("NSString"));
  EXPECT_TRUE(t->isFromFoundation());
  EXPECT_FALSE(t->isNumberType());
  EXPECT_TRUE(HVPropertyType::cachedTypeWithCode("@\"NSDecimalNumber\"")->isNumberType());
  EXPECT_TRUE(HVPropertyType::cachedTypeWithCode("@\"NSMutableArray\"")->isFromFoundation());

  // A protocol list after the class name names no class.
  t = HVPropertyType::cachedTypeWithCode("@\"NSString<NSCopying>\"");
  EXPECT_EQ(t->typeClass(), nullptr);
  EXPECT_FALSE(t->isFromFoundation());

  for (const char* code : {"", ":", "^{objc_ivar=}", "^{objc_method=}"}) {
    EXPECT_TRUE(HVPropertyType::cachedTypeWithCode(code)->isKVCDisabled()) << code;
  }
  EXPECT_FALSE(HVPropertyType::cachedTypeWithCode("i")->isKVCDisabled());

  // One shared instance per code; a model class code resolves once the class is known.
  EXPECT_EQ(HVPropertyType::cachedTypeWithCode("q"), HVPropertyType::cachedTypeWithCode("q"));
  // Model classes are known from load time; other registered classes from their first use.
  t = HVPropertyType::cachedTypeWithCode("@\"RfItem\"");
  EXPECT_EQ(t->typeClass(), RfItem::staticClass());
  EXPECT_FALSE(t->isFromFoundation());
  // (Only the first run in a process sees the class still unknown.)
  static bool firstRun = true;
  t = HVPropertyType::cachedTypeWithCode("@\"RfLater\"");
  if (firstRun) EXPECT_EQ(t->typeClass(), nullptr);
  firstRun = false;
  RfLater::staticClass();
  t = HVPropertyType::cachedTypeWithCode("@\"RfLater\"");
  EXPECT_EQ(t->typeClass(), RfLater::staticClass());
}

TEST(ModelReflection, KeyPathGrammar) {
  using V = std::vector<std::string>;
  EXPECT_EQ(keyNames(HVProperty::propertyKeysWithStringKey("data.list[0].name")),
            (V{"data", "list", "#0", "name"}));
  EXPECT_EQ(keyNames(HVProperty::propertyKeysWithStringKey("a[1][2]")), (V{"a", "#1", "#2"}));
  EXPECT_EQ(keyNames(HVProperty::propertyKeysWithStringKey("a[0]b")), (V{"a", "#0"}));
  EXPECT_EQ(keyNames(HVProperty::propertyKeysWithStringKey("[0]")), V{});
  EXPECT_EQ(keyNames(HVProperty::propertyKeysWithStringKey("")), V{});
  EXPECT_EQ(keyNames(HVProperty::propertyKeysWithStringKey("x.[0].y")), (V{"x", "y"}));

  plat::Value dict = plat::NSJSONSerialization::JSONObjectWithString(
      R"({"items":[{"title":"a"},{"title":"b"}],"one":[{"title":"a"}]})");
  auto read = [&](const char* key) -> plat::Value {
    const plat::Value* cur = &dict;
    for (auto& step : HVProperty::propertyKeysWithStringKey(key)) cur = &step.valueInObject(*cur);
    return *cur;
  };
  EXPECT_EQ(read("items[1].title"), plat::Value("b"));
  EXPECT_TRUE(read("one[1].title").isNil());
  EXPECT_EQ(read("items[x].title"), plat::Value("a"));  // a non-number index reads element 0
  EXPECT_TRUE(read("items.title").isNil());             // key step into an array
  EXPECT_TRUE(read("items[0][0]").isNil());             // index step into a dictionary
  EXPECT_TRUE(HVPropertyKey(HVPropertyKey::HVPropertyKeyTypeArray, "-1")
                  .valueInObject(dict["items"])
                  .isNil());
}

TEST(ModelReflection, ReplacedKeysAndTheirPrecedence) {
  EXPECT_EQ(kv_propertyKey(RfBase::staticClass(), "Id"), plat::Value("id"));
  EXPECT_EQ(kv_propertyKey(RfBase::staticClass(), "other"), plat::Value("other"));
  // A subclass without hooks of its own answers with its superclass's table.
  EXPECT_EQ(kv_propertyKey(RfChild::staticClass(), "Id"), plat::Value("id"));
  // The 121 hook wins unless it answers nil or the name itself.
  EXPECT_EQ(kv_propertyKey(RfBoth::staticClass(), "a"), plat::Value("from121"));
  EXPECT_EQ(kv_propertyKey(RfBoth::staticClass(), "b"), plat::Value("tableB"));
  EXPECT_EQ(kv_propertyKey(RfBoth::staticClass(), "c"), plat::Value("tableC"));

  // Key paths per class, an array of keys giving one path each.
  auto props = kv_properties(RfChild::staticClass());
  ASSERT_EQ(props.size(), 3u);
  EXPECT_EQ(props[0]->name(), "count");  // own properties first
  EXPECT_EQ(props[1]->name(), "Id");
  EXPECT_EQ(props[1]->srcClass(), RfBase::staticClass());
  auto paths = props[2]->propertyKeysForClass(RfChild::staticClass());
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(keyNames(paths[0]), std::vector<std::string>{"t"});
  EXPECT_EQ(keyNames(paths[1]), std::vector<std::string>{"name"});
  // The descriptor is shared by every class that inherits it.
  EXPECT_EQ(kv_properties(RfBase::staticClass())[0], props[1]);
}

TEST(ModelReflection, SetupsApplyToTheClassAndItsSubclasses) {
  plat::Class* item = RfItem::staticClass();
  EXPECT_EQ(kv_propertyKey(item, "name"), plat::Value("name"));
  kv_setupReplacedKeyFromPropertyName(item, [] { return plat::Dictionary{{"name", "n"}}; });
  EXPECT_EQ(kv_propertyKey(item, "name"), plat::Value("n"));
  kv_setupReplacedKeyFromPropertyName121(item, [](const std::string& n) -> plat::Value {
    return n == "name" ? plat::Value("blockName") : plat::Value();
  });
  EXPECT_EQ(kv_propertyKey(item, "name"), plat::Value("blockName"));
  // The setup emptied the cached lists, so the new key reaches the descriptor.
  auto paths = kv_properties(item)[0]->propertyKeysForClass(item);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0][0].name(), "blockName");

  kv_setupIgnoredPropertyNames(RfBase::staticClass(),
                               [] { return std::vector<std::string>{"title"}; });
  kv_setupIgnoredPropertyNames(RfNames::staticClass(),
                               [] { return std::vector<std::string>{"Id"}; });
  EXPECT_EQ(kv_totalIgnoredPropertyNames(RfNames::staticClass()),
            (std::vector<std::string>{"hooked", "Id", "title"}));
  kv_setupIgnoredPropertyNames(RfBase::staticClass(), nullptr);
  EXPECT_EQ(kv_totalIgnoredPropertyNames(RfNames::staticClass()),
            (std::vector<std::string>{"hooked", "Id"}));
  EXPECT_TRUE(kv_totalAllowedPropertyNames(RfNames::staticClass()).empty());

  // Leave the classes as other tests (and a repeated run) expect them.
  kv_setupReplacedKeyFromPropertyName(item, nullptr);
  kv_setupReplacedKeyFromPropertyName121(item, nullptr);
  kv_setupIgnoredPropertyNames(RfNames::staticClass(), nullptr);
  EXPECT_EQ(kv_propertyKey(item, "name"), plat::Value("name"));
}

TEST(ModelReflection, ArrayElementClassesByClassOrName) {
  plat::Class* list = RfList::staticClass();
  EXPECT_EQ(kv_propertyObjectClassInArray(list, "items"), RfItem::staticClass());
  EXPECT_EQ(kv_propertyObjectClassInArray(list, "others"), RfItem::staticClass());
  EXPECT_EQ(kv_propertyObjectClassInArray(list, "plain"), nullptr);
  EXPECT_EQ(kv_propertyObjectClassInArray(list, "missing"), nullptr);
  plat::Class* item = RfItem::staticClass();
  kv_setupObjectClassInArray(item, [] { return plat::Dictionary{{"name", "RfList"}}; });
  EXPECT_EQ(kv_propertyObjectClassInArray(item, "name"), list);
}

TEST(ModelReflection, ClassWalksStopAtPlatformClasses) {
  std::vector<std::string> seen;
  kv_enumerateClasses(RfNames::staticClass(),
                      [&](plat::Class* c, bool&) { seen.push_back(c->name()); });
  EXPECT_EQ(seen, (std::vector<std::string>{"RfNames", "RfBase"}));
  seen.clear();
  kv_enumerateAllClasses(RfNames::staticClass(),
                         [&](plat::Class* c, bool&) { seen.push_back(c->name()); });
  EXPECT_EQ(seen, (std::vector<std::string>{"RfNames", "RfBase", "NSObject"}));
  seen.clear();
  kv_enumerateAllClasses(RfNames::staticClass(), [&](plat::Class* c, bool& stop) {
    seen.push_back(c->name());
    stop = true;
  });
  EXPECT_EQ(seen.size(), 1u);

  EXPECT_TRUE(HVFoundation::isClassFromFoundation(plat::Runtime::rootClass()));
  EXPECT_TRUE(HVFoundation::isClassFromFoundation(plat::Runtime::classNamed("NSMutableString")));
  EXPECT_FALSE(HVFoundation::isClassFromFoundation(plat::Runtime::classNamed("NSNull")));
  EXPECT_FALSE(HVFoundation::isClassFromFoundation(RfBase::staticClass()));
  EXPECT_FALSE(HVFoundation::isClassFromFoundation(nullptr));
  EXPECT_TRUE(kv_properties(plat::Runtime::classNamed("NSString")).empty());
}

}  // namespace

namespace {

TEST(ModelReflection, KVCDisabledPropertiesAreNeverWritten) {
  auto props = kv_properties(RfDisabled::staticClass());
  ASSERT_EQ(props.size(), 1u);
  RfDisabled o;
  EXPECT_TRUE(props[0]->valueForObject(o).isNull());
  EXPECT_TRUE(props[0]->setValueForObject(plat::Value(1), o));
  EXPECT_EQ(o.handle, 7);
  auto made = kv_objectWithKeyValues<RfDisabled>(plat::Value(R"({"handle":3})"));
  EXPECT_EQ(made->handle, 7);
  EXPECT_TRUE(kv_keyValues(plat::Value(made))["handle"].isNull());
}

}  // namespace
