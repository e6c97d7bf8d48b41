#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "net/model/HVKeyValue.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace {

class HpLink : public plat::NSObject {
 public:
  plat::NSURLRef url;
  std::string text;
  plat::Array mirrors;
  HV_MODEL(HpLink, plat::NSObject, PLAT_PROPERTY(url), PLAT_PROPERTY(text), PLAT_PROPERTY(mirrors))
  static plat::Dictionary kv_objectClassInArray() { return {{"mirrors", "NSURL"}}; }
};

class HpUser : public plat::NSObject {
 public:
  std::string name;
  HV_MODEL(HpUser, plat::NSObject, PLAT_PROPERTY(name))
};

TEST(ModelNameHelpers, CaseConversions) {
  EXPECT_EQ(kv_underlineFromCamel("userName"), "user_name");
  EXPECT_EQ(kv_underlineFromCamel("URL"), "_u_r_l");
  EXPECT_EQ(kv_underlineFromCamel(""), "");
  EXPECT_EQ(kv_camelFromUnderline("user_name"), "userName");
  EXPECT_EQ(kv_camelFromUnderline("a__b"), "aB");
  EXPECT_EQ(kv_camelFromUnderline("_x"), "X");
  EXPECT_EQ(kv_camelFromUnderline("plain"), "plain");
  EXPECT_EQ(kv_firstCharLower("ABc"), "aBc");
  EXPECT_EQ(kv_firstCharUpper("aBc"), "ABc");
  EXPECT_EQ(kv_firstCharUpper(""), "");
  // Bytes outside ASCII pass through.
  EXPECT_EQ(kv_underlineFromCamel("名Name"), "名_name");
}

TEST(ModelNameHelpers, PureIntegers) {
  EXPECT_TRUE(kv_isPureInt("42"));
  EXPECT_TRUE(kv_isPureInt(" 42"));
  EXPECT_TRUE(kv_isPureInt("-7"));
  EXPECT_FALSE(kv_isPureInt("42a"));
  EXPECT_FALSE(kv_isPureInt("4.2"));
  EXPECT_TRUE(kv_isPureInt("42 \n"));  // the scanner skips white space before its end
  EXPECT_FALSE(kv_isPureInt("42 a"));
  EXPECT_FALSE(kv_isPureInt(" "));
  EXPECT_FALSE(kv_isPureInt(""));
  EXPECT_FALSE(kv_isPureInt("-"));
}

TEST(ModelNameHelpers, UrlsFromLooseText) {
  auto u = kv_url("http://h.example/a b?q=中#f");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->absoluteString(), "http://h.example/a%20b?q=%E4%B8%AD#f");
  ASSERT_TRUE(kv_url("http://h/x%20y"));
  EXPECT_EQ(kv_url("http://h/x%20y")->absoluteString(), "http://h/x%20y");
  EXPECT_FALSE(kv_url("http://h:99999999/"));

  auto link = kv_objectWithKeyValues<HpLink>(plat::NSJSONSerialization::JSONObjectWithString(
      R"({"url":"http://h/p q","text":"t","mirrors":["http://m/1",5,"http://m/2"]})"));
  ASSERT_TRUE(link && link->url);
  EXPECT_EQ(link->url->absoluteString(), "http://h/p%20q");
  ASSERT_EQ(link->mirrors.size(), 2u);
  EXPECT_EQ(link->mirrors[1].objectAs<plat::NSURL>()->absoluteString(), "http://m/2");
  // URLs go back out as their text.
  plat::Value d = kv_keyValues(plat::Value(link));
  EXPECT_EQ(d["url"], plat::Value("http://h/p%20q"));
  // A URL object into a string property becomes its text.
  plat::Dictionary in{{"text", plat::Value(kv_url("http://x/"))}};
  EXPECT_EQ(kv_objectWithKeyValues<HpLink>(plat::Value(in))->text, "http://x/");
}

TEST(ModelFileLoaders, PropertyListFiles) {
  namespace fs = std::filesystem;
  const char* out = std::getenv("LUMORA_TEST_OUTPUT");
  fs::path dir = fs::path(out ? out : fs::temp_directory_path().string()) / "model_file_loaders";
  fs::create_directories(dir);
  auto write = [&](const char* name, const plat::Value& v) {
    plat::Data d = plat::NSPropertyListSerialization::dataWithPropertyList(
        v, plat::NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(d.bytes()), d.length());
  };
  write("user.plist", plat::Value(plat::Dictionary{{"name", "ann"}}));
  write("users",
        plat::Value(plat::Array{plat::Dictionary{{"name", "a"}}, plat::Dictionary{{"name", "b"}}}));

  auto u = std::dynamic_pointer_cast<HpUser>(
      kv_objectWithFile(HpUser::staticClass(), (dir / "user.plist").string()));
  ASSERT_TRUE(u);
  EXPECT_EQ(u->name, "ann");
  plat::NSBundle::setMainBundlePath(dir.string());
  plat::Value users = kv_objectArrayWithFilename(HpUser::staticClass(), "users");
  ASSERT_EQ(users.count(), 2u);
  EXPECT_EQ(users[1].objectAs<HpUser>()->name, "b");

  EXPECT_FALSE(kv_objectWithFile(HpUser::staticClass(), ""));
  EXPECT_EQ(kv_error(HpUser::staticClass())->domain(), "file参数为nil");
  EXPECT_TRUE(kv_objectArrayWithFilename(HpUser::staticClass(), "").isNil());
  EXPECT_EQ(kv_error(HpUser::staticClass())->domain(), "filename参数为nil");
  // A missing file or a file of the other kind fails like input of the wrong kind.
  EXPECT_FALSE(kv_objectWithFile(HpUser::staticClass(), (dir / "nope").string()));
  EXPECT_EQ(kv_error(HpUser::staticClass())->domain(), "keyValues参数不是一个字典");
  EXPECT_TRUE(kv_objectArrayWithFile(HpUser::staticClass(), (dir / "user.plist").string()).isNil());
  // A path with a NUL is refused as a missing file, not read up to the NUL.
  const std::string nul(1, '\0');
  EXPECT_FALSE(
      kv_objectWithFile(HpUser::staticClass(), (dir / "user.plist").string() + nul + ".x"));
  EXPECT_EQ(kv_error(HpUser::staticClass())->domain(), "keyValues参数不是一个字典");
  EXPECT_TRUE(
      kv_objectArrayWithFile(HpUser::staticClass(), (dir / "users").string() + nul + "x").isNil());
  EXPECT_EQ(kv_error(HpUser::staticClass())->domain(),
            std::string("keyValuesArray参数不是一个数组"));
}

}  // namespace

#include "net/model/HVKeyValueDeprecated.h"

namespace {

TEST(ModelOlderNames, ForwardAndHandOutTheClassError) {
  plat::NSErrorRef error;
  EXPECT_FALSE(objectWithKeyValuesError(HpUser::staticClass(), plat::Value("[1]"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "keyValues参数不是一个字典");
  auto u = objectWithKeyValuesError(HpUser::staticClass(), plat::Value(R"({"name":"x"})"), &error);
  EXPECT_FALSE(error);
  setKeyValuesError(u, plat::Value(R"({"name":"y"})"), &error);
  EXPECT_EQ(std::dynamic_pointer_cast<HpUser>(u)->name, "y");
  EXPECT_FALSE(error);
  EXPECT_EQ(keyValuesWithError(plat::Value(u), &error)["name"], plat::Value("y"));
  EXPECT_TRUE(
      keyValuesArrayWithObjectArrayError(HpUser::staticClass(), plat::Value(1), &error).isNil());
  EXPECT_EQ(error->domain(), "objectArray参数不是一个数组");
  EXPECT_EQ(JSONString(plat::Value(u)), R"({"name":"y"})");

  // The context forms ignore the context: plain instances, the same class-wide errors.
  auto context = std::make_shared<int>(0);
  auto c = objectWithKeyValuesContextError(HpUser::staticClass(), plat::Value(R"({"name":"c"})"),
                                           context, &error);
  ASSERT_TRUE(std::dynamic_pointer_cast<HpUser>(c));
  EXPECT_FALSE(error);
  setKeyValuesContextError(c, plat::Value("[]"), context, &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "keyValues参数不是一个字典");
  EXPECT_EQ(std::dynamic_pointer_cast<HpUser>(c)->name, "c");
  plat::Value list = objectArrayWithKeyValuesArrayContextError(
      HpUser::staticClass(), plat::Value(R"([{"name":"d"},[{"name":"e"}]])"), nullptr, &error);
  EXPECT_FALSE(error);
  ASSERT_EQ(list.count(), 2u);
  EXPECT_EQ(list[1][0].objectAs<HpUser>()->name, "e");
  EXPECT_EQ(underlineFromCamel("aB"), "a_b");
  EXPECT_TRUE(isPureInt("12"));
}

}  // namespace
