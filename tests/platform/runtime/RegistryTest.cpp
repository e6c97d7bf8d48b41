#include <gtest/gtest.h>

#include <functional>

#include "platform/runtime/NSObject.h"

namespace {

class RtPet : public plat::NSObject {
 public:
  std::string name;
  std::shared_ptr<RtPet> friendPet;  // refers to its own class
  PLAT_OBJECT(RtPet, plat::NSObject, PLAT_PROPERTY(name), PLAT_PROPERTY(friendPet))
};

class RtAll : public plat::NSObject {
 public:
  bool flag = false;
  char ch = 0;
  int8_t i8 = 0;
  int16_t i16 = 0;
  int32_t i32 = 0;
  int64_t i64 = 0;
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  float f = 0;
  double d = 0;
  std::string text;
  plat::Value any;
  plat::Value number;
  plat::Array list;
  plat::Dictionary dict;
  plat::Data bytes;
  plat::NSDate when;
  std::shared_ptr<RtPet> pet;
  std::vector<std::shared_ptr<RtPet>> pets;
  std::optional<int32_t> maybe;
  PLAT_OBJECT(RtAll, plat::NSObject, PLAT_PROPERTY(flag), PLAT_PROPERTY(ch), PLAT_PROPERTY(i8),
              PLAT_PROPERTY(i16), PLAT_PROPERTY(i32), PLAT_PROPERTY(i64), PLAT_PROPERTY(u8),
              PLAT_PROPERTY(u16), PLAT_PROPERTY(u32), PLAT_PROPERTY(u64), PLAT_PROPERTY(f),
              PLAT_PROPERTY(d), PLAT_PROPERTY(text), PLAT_PROPERTY(any),
              PLAT_PROPERTY_CODE(number, "@\"NSNumber\""), PLAT_PROPERTY(list), PLAT_PROPERTY(dict),
              PLAT_PROPERTY(bytes), PLAT_PROPERTY(when), PLAT_PROPERTY(pet), PLAT_PROPERTY(pets),
              PLAT_PROPERTY(maybe))
};

class RtDog : public RtPet {
 public:
  int32_t barks = 0;
  PLAT_OBJECT(RtDog, RtPet, PLAT_PROPERTY(barks))
};

class RtPuppy : public RtDog {
 public:
  PLAT_OBJECT(RtPuppy, RtDog)
};

// A chain of its own for the hooks and slots test, so that its settings reach no other test.
class RtWolf : public RtPet {
 public:
  PLAT_OBJECT(RtWolf, RtPet)
};

class RtWolfCub : public RtWolf {
 public:
  PLAT_OBJECT(RtWolfCub, RtWolf)
};

namespace other {
// A second C++ class declared under a name already taken.
class RtPet : public plat::NSObject {
 public:
  int64_t legs = 4;
  PLAT_OBJECT(RtPet, plat::NSObject, PLAT_PROPERTY(legs))
};
}  // namespace other

const plat::Property& prop(plat::Class* c, const char* name) {
  auto p = c->propertyNamed(name);
  EXPECT_NE(p, nullptr) << name;
  return *p;
}

TEST(RuntimeRegistry, ClassesRegisterOnFirstUseAndFormAChain) {
  EXPECT_EQ(plat::Runtime::classNamed("RtPuppy"), nullptr);  // never asked for yet
  plat::Class* puppy = RtPuppy::staticClass();
  ASSERT_NE(puppy, nullptr);
  EXPECT_EQ(plat::Runtime::classNamed("RtPuppy"), puppy);
  // Asking for the subclass registered its superclasses too.
  EXPECT_EQ(plat::Runtime::classNamed("RtDog"), RtDog::staticClass());
  EXPECT_EQ(puppy->superclass(), RtDog::staticClass());
  EXPECT_EQ(RtPet::staticClass()->superclass(), plat::Runtime::rootClass());
  EXPECT_EQ(plat::Runtime::rootClass()->name(), "NSObject");
  EXPECT_EQ(plat::Runtime::rootClass()->superclass(), nullptr);

  EXPECT_TRUE(puppy->isSubclassOfClass(RtPet::staticClass()));
  EXPECT_TRUE(puppy->isSubclassOfClass(puppy));
  EXPECT_FALSE(RtPet::staticClass()->isSubclassOfClass(puppy));
  EXPECT_FALSE(puppy->isSubclassOfClass(nullptr));

  auto obj = std::dynamic_pointer_cast<plat::NSObject>(puppy->createInstance());
  ASSERT_TRUE(obj);
  EXPECT_EQ(obj->className(), "RtPuppy");
  EXPECT_TRUE(obj->isKindOfClass(RtDog::staticClass()));
  EXPECT_FALSE(obj->isMemberOfClass(RtDog::staticClass()));

  // Own properties only, in declaration order; lookup by name also finds inherited ones.
  ASSERT_EQ(RtDog::staticClass()->properties().size(), 1u);
  EXPECT_EQ(puppy->propertyNamed("name")->declaringClass(), RtPet::staticClass());
  EXPECT_EQ(puppy->propertyNamed("missing"), nullptr);

  auto names = plat::Runtime::classList();
  EXPECT_NE(std::find(names.begin(), names.end(), puppy), names.end());
  EXPECT_EQ(plat::Runtime::classNamed("NoSuchClass"), nullptr);
}

TEST(RuntimeRegistry, TwoTypesUnderOneNameKeepTheirOwnClasses) {
  plat::Class* first = RtPet::staticClass();
  plat::Class* second = other::RtPet::staticClass();
  EXPECT_NE(first, second);
  EXPECT_EQ(plat::Runtime::classNamed("RtPet"), first);
  EXPECT_EQ(second->name(), "RtPet");
  ASSERT_EQ(second->properties().size(), 1u);
  EXPECT_EQ(second->properties()[0].name(), "legs");
  auto o = std::dynamic_pointer_cast<other::RtPet>(second->createInstance());
  ASSERT_TRUE(o);
  EXPECT_EQ(o->classObject(), second);
}

TEST(RuntimeRegistry, PlatformClassesAndKindsOfValues) {
  using plat::Runtime;
  for (const char* n : {"NSString", "NSMutableString", "NSNumber", "NSDecimalNumber", "NSArray",
                        "NSMutableDictionary", "NSData", "NSDate", "NSURL", "NSError",
                        "NSAttributedString", "NSValue"}) {
    ASSERT_NE(Runtime::classNamed(n), nullptr) << n;
    EXPECT_TRUE(Runtime::classNamed(n)->isFoundation()) << n;
  }
  EXPECT_FALSE(Runtime::classNamed("NSNull")->isFoundation());
  EXPECT_FALSE(RtPet::staticClass()->isFoundation());
  EXPECT_TRUE(
      Runtime::classNamed("NSDecimalNumber")->isSubclassOfClass(Runtime::classNamed("NSNumber")));

  EXPECT_TRUE(Runtime::valueIsKindOfClass(plat::Value("x"), Runtime::classNamed("NSString")));
  EXPECT_TRUE(Runtime::valueIsKindOfClass(plat::Value(true), Runtime::classNamed("NSNumber")));
  EXPECT_TRUE(Runtime::valueIsKindOfClass(plat::Value(plat::Array{}),
                                          Runtime::classNamed("NSMutableArray")));
  EXPECT_FALSE(Runtime::valueIsKindOfClass(plat::Value(1), Runtime::classNamed("NSString")));
  EXPECT_FALSE(Runtime::valueIsKindOfClass(plat::Value(), Runtime::rootClass()));
  EXPECT_EQ(Runtime::classOfValue(plat::Value::null())->name(), "NSNull");
  auto pet = std::make_shared<RtDog>();
  EXPECT_EQ(Runtime::classOfValue(plat::Value(pet)), RtDog::staticClass());
  EXPECT_TRUE(Runtime::valueIsKindOfClass(plat::Value(pet), RtPet::staticClass()));
}

TEST(RuntimeRegistry, TypeCodesFollowMemberTypes) {
  plat::Class* c = RtAll::staticClass();
  std::vector<std::pair<const char*, const char*>> expected = {{"flag", "B"},
                                                               {"ch", "c"},
                                                               {"i8", "c"},
                                                               {"i16", "s"},
                                                               {"i32", "i"},
                                                               {"i64", "q"},
                                                               {"u8", "C"},
                                                               {"u16", "S"},
                                                               {"u32", "I"},
                                                               {"u64", "Q"},
                                                               {"f", "f"},
                                                               {"d", "d"},
                                                               {"text", "@\"NSString\""},
                                                               {"any", "@"},
                                                               {"number", "@\"NSNumber\""},
                                                               {"list", "@\"NSArray\""},
                                                               {"dict", "@\"NSDictionary\""},
                                                               {"bytes", "@\"NSData\""},
                                                               {"when", "@\"NSDate\""},
                                                               {"pet", "@\"RtPet\""},
                                                               {"pets", "@\"NSArray\""},
                                                               {"maybe", "i"}};
  ASSERT_EQ(c->properties().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(c->properties()[i].name(), expected[i].first);
    EXPECT_EQ(c->properties()[i].typeCode(), expected[i].second) << expected[i].first;
  }
  EXPECT_EQ(prop(c, "pet").ensureTypeClass(), RtPet::staticClass());
  EXPECT_EQ(prop(c, "pets").ensureElementClass(), RtPet::staticClass());
  EXPECT_EQ(prop(c, "text").ensureTypeClass(), nullptr);
}

TEST(RuntimeRegistry, SettersSaturateAndReadNumericText) {
  RtAll o;
  plat::Class* c = RtAll::staticClass();
  auto set = [&](const char* name, plat::Value v) { return prop(c, name).setValue(o, v); };
  EXPECT_TRUE(set("i8", 300));
  EXPECT_EQ(o.i8, 127);
  EXPECT_TRUE(set("i32", plat::Value(int64_t{1} << 40)));
  EXPECT_EQ(o.i32, INT32_MAX);
  EXPECT_TRUE(set("i32", -1e300));
  EXPECT_EQ(o.i32, INT32_MIN);
  EXPECT_TRUE(set("u16", -5));
  EXPECT_EQ(o.u16, 0);
  EXPECT_TRUE(set("u32", plat::Value(UINT64_MAX)));
  EXPECT_EQ(o.u32, UINT32_MAX);
  EXPECT_TRUE(set("i64", plat::Value(UINT64_MAX)));
  EXPECT_EQ(o.i64, INT64_MAX);
  EXPECT_TRUE(set("u64", plat::Value(UINT64_MAX)));
  EXPECT_EQ(o.u64, UINT64_MAX);
  EXPECT_TRUE(set("i32", 7.9));
  EXPECT_EQ(o.i32, 7);
  EXPECT_TRUE(set("i64", std::nan("")));
  EXPECT_EQ(o.i64, 0);
  EXPECT_TRUE(set("i32", "  -42abc"));
  EXPECT_EQ(o.i32, -42);
  EXPECT_TRUE(set("i16", "99999999999999999999"));
  EXPECT_EQ(o.i16, INT16_MAX);
  EXPECT_TRUE(set("d", "2.5e1x"));
  EXPECT_DOUBLE_EQ(o.d, 25.0);
  EXPECT_TRUE(set("f", 1e300));
  EXPECT_EQ(o.f, std::numeric_limits<float>::max());
  EXPECT_TRUE(set("flag", "yes"));
  EXPECT_TRUE(o.flag);
  EXPECT_TRUE(set("flag", "0"));
  EXPECT_FALSE(o.flag);
  EXPECT_TRUE(set("flag", 0.5));
  EXPECT_TRUE(o.flag);
  EXPECT_TRUE(set("maybe", 3));
  ASSERT_TRUE(o.maybe);
  EXPECT_EQ(*o.maybe, 3);
  EXPECT_TRUE(prop(c, "maybe").getValue(o) == plat::Value(3));
  o.maybe.reset();
  EXPECT_TRUE(prop(c, "maybe").getValue(o).isNil());
}

TEST(RuntimeRegistry, SettersRefuseWrongKindsAndKeepTheValue) {
  RtAll o;
  o.i32 = 5;
  o.text = "keep";
  plat::Class* c = RtAll::staticClass();
  std::string reason;
  EXPECT_FALSE(prop(c, "i32").setValue(o, plat::Value(plat::Array{1}), &reason));
  EXPECT_EQ(o.i32, 5);
  EXPECT_EQ(reason, "RtAll.i32: expects a number, got array");
  EXPECT_FALSE(prop(c, "text").setValue(o, 12, &reason));
  EXPECT_EQ(o.text, "keep");
  EXPECT_EQ(reason, "RtAll.text: expects a string, got number");
  EXPECT_FALSE(prop(c, "i32").setValue(o, plat::Value::null(), &reason));
  EXPECT_FALSE(prop(c, "i32").setValue(o, plat::Value(), &reason));
  EXPECT_EQ(reason, "RtAll.i32: nil value");
  EXPECT_FALSE(prop(c, "dict").setValue(o, "x", &reason));
  EXPECT_FALSE(prop(c, "pet").setValue(o, plat::Value(plat::Dictionary{}), &reason));

  // Typed arrays take only arrays of the element class, all or nothing.
  auto a = std::make_shared<RtPet>();
  auto b = std::make_shared<RtDog>();
  EXPECT_TRUE(prop(c, "pets").setValue(o, plat::Value(plat::Array{a, b})));
  ASSERT_EQ(o.pets.size(), 2u);
  EXPECT_EQ(o.pets[1], b);
  EXPECT_FALSE(prop(c, "pets").setValue(o, plat::Value(plat::Array{a, "x"}), &reason));
  EXPECT_EQ(o.pets.size(), 2u);
  EXPECT_EQ(reason, "RtAll.pets: expects an array of RtPet, got string");

  // Objects of a subclass fit a property of the superclass.
  EXPECT_TRUE(prop(c, "pet").setValue(o, b));
  EXPECT_EQ(o.pet, b);
  EXPECT_TRUE(prop(c, "pet").getValue(o).isIdenticalTo(plat::Value(b)));
  o.pet.reset();
  EXPECT_TRUE(prop(c, "pet").getValue(o).isNil());
  EXPECT_TRUE(prop(c, "any").setValue(o, plat::Value::null()));
  EXPECT_TRUE(o.any.isNull());
}

TEST(RuntimeRegistry, HooksInheritAndSlotsDoNot) {
  plat::Class* pet = RtPet::staticClass();
  plat::Class* dog = RtWolf::staticClass();
  plat::Class* puppy = RtWolfCub::staticClass();
  pet->setHook("greeting", std::function<std::string()>([] { return std::string("hi"); }));
  auto h = puppy->hook("greeting");
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(std::any_cast<std::function<std::string()>>(h)(), "hi");
  dog->setHook("greeting", std::function<std::string()>([] { return std::string("woof"); }));
  EXPECT_EQ(std::any_cast<std::function<std::string()>>(puppy->hook("greeting"))(), "woof");
  dog->setHook("greeting", std::any());
  EXPECT_EQ(std::any_cast<std::function<std::string()>>(puppy->hook("greeting"))(), "hi");
  EXPECT_FALSE(plat::Runtime::rootClass()->respondsToHook("greeting"));

  pet->setSlot("level", 3);
  EXPECT_EQ(std::any_cast<int>(pet->slot("level")), 3);
  EXPECT_FALSE(dog->slot("level").has_value());
  pet->setSlot("level", std::any());
  EXPECT_FALSE(pet->slot("level").has_value());

  // The same by class name; unknown names store nothing.
  EXPECT_TRUE(plat::Runtime::setSlotForClassName("RtWolf", "level", 5));
  EXPECT_EQ(std::any_cast<int>(plat::Runtime::slotForClassName("RtWolf", "level")), 5);
  EXPECT_FALSE(plat::Runtime::setSlotForClassName("Nobody", "level", 5));
  EXPECT_FALSE(plat::Runtime::slotForClassName("Nobody", "level").has_value());
  EXPECT_TRUE(plat::Runtime::hookForClassName("RtWolfCub", "greeting").has_value());
  EXPECT_FALSE(plat::Runtime::hookForClassName("Nobody", "greeting").has_value());
  pet->setHook("greeting", std::any());
  dog->setSlot("level", std::any());
}

}  // namespace
