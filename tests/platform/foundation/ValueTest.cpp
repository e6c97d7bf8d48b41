#include "platform/foundation/Value.h"

#include <gtest/gtest.h>

using plat::Array;
using plat::Dictionary;
using plat::Value;

TEST(Value, KindsAndEquality) {
  EXPECT_TRUE(Value().isNil());
  EXPECT_TRUE(Value::null().isNull());
  EXPECT_TRUE(Value("x").isString());
  EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNil());
  EXPECT_EQ(Value(true), Value(1));  // YES equals 1, as the platform's numbers do
  EXPECT_EQ(Value(2.0), Value(2));
  EXPECT_FALSE(Value(-1) == Value(static_cast<unsigned long long>(UINT64_MAX)));
  EXPECT_FALSE(Value("1") == Value(1));
}

TEST(Value, ContainersAreCopyOnWrite) {
  Value a(Array{1, "two", Value::null()});
  Value b = a;
  b.mutableArray()->push_back(4);
  EXPECT_EQ(a.count(), 3u);
  EXPECT_EQ(b.count(), 4u);
  EXPECT_EQ(a[1], Value("two"));
  EXPECT_TRUE(a[7].isNil());
}

TEST(Dictionary, KeepsInsertionOrderAndIndexesLargeOnes) {
  Dictionary d{{"b", 1}, {"a", 2}};
  d.set("b", 3);  // replaced in place
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a"}));
  d.set("a", Value());  // nil removes
  EXPECT_FALSE(d.contains("a"));
  for (int i = 0; i < 100; ++i) d.set("k" + std::to_string(i), i);
  EXPECT_EQ(d.get("k57"), Value(57));
  d.remove("k10");
  EXPECT_EQ(d.get("k99"), Value(99));
  EXPECT_EQ(d.keys()[1], "k0");
  Dictionary e = d;
  e.set("k0", -1);
  EXPECT_EQ(d.get("k0"), Value(0));
  EXPECT_FALSE(d == e);
}
