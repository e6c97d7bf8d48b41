#include <gtest/gtest.h>

#include "net/model/HVKeyValue.h"
#include "net/model/NSObject+HVCoding.h"

namespace {

class CdPet : public plat::NSObject, public plat::NSCoding {
 public:
  std::string name;
  HV_MODEL(CdPet, plat::NSObject, PLAT_PROPERTY(name))
  HV_CODING_IMPLEMENTATION
};

class CdUser : public plat::NSObject, public plat::NSCoding {
 public:
  std::string name;
  int32_t age = 0;
  double score = 0;
  bool vip = false;
  std::shared_ptr<CdPet> pet;
  std::vector<std::shared_ptr<CdPet>> pets;
  std::string password;
  int32_t handle = 1;
  HV_MODEL(CdUser, plat::NSObject, PLAT_PROPERTY(name), PLAT_PROPERTY(age), PLAT_PROPERTY(score),
           PLAT_PROPERTY(vip), PLAT_PROPERTY(pet), PLAT_PROPERTY(pets), PLAT_PROPERTY(password),
           PLAT_PROPERTY_CODE(handle, "^{objc_ivar=}"))
  HV_CODING_IMPLEMENTATION
  static std::vector<std::string> kv_ignoredCodingPropertyNames() { return {"password"}; }
};

// Writes an archive of class "CdUser" whose values stand under "_" + the property names.
class CdLegacyWriter : public plat::Object, public plat::NSCoding {
 public:
  std::string className() const override { return "CdUser"; }
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override {
    coder.encodeObjectForKey("old", "_name");
    coder.encodeIntegerForKey(41, "_score");
    coder.encodeObjectForKey(plat::Value(plat::Dictionary{{"a", 1}}), "age");
  }
  bool initWithCoder(plat::NSKeyedUnarchiver&) override { return false; }
};

// A model that nothing in this file uses before reading it back from an archive, as a
// program does that reads what an earlier run saved.
class CdStored : public plat::NSObject, public plat::NSCoding {
 public:
  std::string name;
  HV_MODEL(CdStored, plat::NSObject, PLAT_PROPERTY(name))
  HV_CODING_IMPLEMENTATION
};

class CdStoredWriter : public plat::Object, public plat::NSCoding {
 public:
  std::string className() const override { return "CdStored"; }
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override {
    coder.encodeObjectForKey("kept", "name");
  }
  bool initWithCoder(plat::NSKeyedUnarchiver&) override { return false; }
};

TEST(ModelCoding, ArchivedModelsReadBackBeforeTheirClassIsUsed) {
  plat::Data data =
      plat::NSKeyedArchiver::archivedDataWithRootObject(plat::Value(std::make_shared<CdStoredWriter>()));
  ASSERT_FALSE(data.empty());
  plat::NSErrorRef error;
  auto back = plat::NSKeyedUnarchiver::unarchiveObjectWithData(data, &error).objectAs<CdStored>();
  ASSERT_TRUE(back) << (error ? error->description() : "");
  EXPECT_EQ(back->name, "kept");
}

TEST(ModelCoding, ArchiveAndUnarchiveAModel) {
  auto u = std::make_shared<CdUser>();
  u->name = "ann";
  u->age = 30;
  u->score = 2.5;
  u->vip = true;
  u->pet = std::make_shared<CdPet>();
  u->pet->name = "rex";
  u->pets = {u->pet, std::make_shared<CdPet>()};
  u->password = "secret";
  u->handle = 9;
  plat::NSErrorRef error;
  plat::Data data = plat::NSKeyedArchiver::archivedDataWithRootObject(plat::Value(u), &error);
  ASSERT_FALSE(data.empty()) << (error ? error->description() : "");

  auto back = plat::NSKeyedUnarchiver::unarchiveObjectWithData(data, &error).objectAs<CdUser>();
  ASSERT_TRUE(back) << (error ? error->description() : "");
  EXPECT_EQ(back->name, "ann");
  EXPECT_EQ(back->age, 30);
  EXPECT_DOUBLE_EQ(back->score, 2.5);
  EXPECT_TRUE(back->vip);
  ASSERT_TRUE(back->pet);
  EXPECT_EQ(back->pet->name, "rex");
  ASSERT_EQ(back->pets.size(), 2u);
  EXPECT_EQ(back->pets[0], back->pet);  // a shared object stays one object
  EXPECT_EQ(back->password, "");        // ignored for coding
  EXPECT_EQ(back->handle, 1);           // KVC-disabled: written as null, never set

  auto reader = plat::NSKeyedUnarchiver::unarchiverForReadingFromData(data);
  ASSERT_TRUE(reader);
}

TEST(ModelCoding, ValuesUnderUnderscoredNamesAndWrongKinds) {
  CdUser::staticClass();
  auto writer = std::make_shared<CdLegacyWriter>();
  plat::Data data = plat::NSKeyedArchiver::archivedDataWithRootObject(plat::Value(writer));
  ASSERT_FALSE(data.empty());
  auto back = plat::NSKeyedUnarchiver::unarchiveObjectWithData(data).objectAs<CdUser>();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name, "old");
  EXPECT_DOUBLE_EQ(back->score, 41);  // an integer reads back into a double property
  // A value the property cannot hold is skipped and recorded.
  EXPECT_EQ(back->age, 0);
  ASSERT_TRUE(kv_error(CdUser::staticClass()));
  EXPECT_EQ(kv_error(CdUser::staticClass())->domain(),
            "CdUser.age: expects a number, got dictionary");

  // An object that only names a model class is not taken for one.
  EXPECT_EQ(plat::Runtime::classOfValue(plat::Value(writer)), plat::Runtime::rootClass());
  EXPECT_TRUE(kv_keyValues(plat::Value(writer)).isIdenticalTo(plat::Value(writer)));
  kv_setKeyValues(plat::ObjectRef(writer), plat::Value(R"({"name":"x"})"));
}

}  // namespace
