// Associated objects: held strongly, replaced and removed values let go, everything released
// with the owner, and safe from several threads.

#include <gtest/gtest.h>

#include <thread>

#include "platform/runtime/AssociatedObjects.h"

using namespace plat;

namespace {

struct Counted : Object {
  explicit Counted(int* deaths) : deaths_(deaths) {}
  ~Counted() override { ++*deaths_; }
  int* deaths_;
};

const char kKeyA = 0;
const char kKeyB = 0;

TEST(AssociatedObjectsTest, StrongUntilReplacedRemovedOrOwnerDies) {
  int deaths = 0;
  auto owner = std::make_shared<Object>();
  objc_setAssociatedObject(owner, &kKeyA, Value(std::make_shared<Counted>(&deaths)));
  objc_setAssociatedObject(owner, &kKeyB, Value("b"));
  EXPECT_TRUE(objc_getAssociatedObject(owner, &kKeyA).objectAs<Counted>());
  EXPECT_EQ(objc_getAssociatedObject(owner, &kKeyB), Value("b"));
  EXPECT_EQ(deaths, 0);
  objc_setAssociatedObject(owner, &kKeyA, Value(std::make_shared<Counted>(&deaths)));
  EXPECT_EQ(deaths, 1);
  objc_setAssociatedObject(owner, &kKeyA, Value());
  EXPECT_EQ(deaths, 2);
  EXPECT_TRUE(objc_getAssociatedObject(owner, &kKeyA).isNil());
  objc_setAssociatedObject(owner, &kKeyA, Value(std::make_shared<Counted>(&deaths)));
  owner.reset();
  EXPECT_EQ(deaths, 3);
  EXPECT_TRUE(objc_getAssociatedObject(nullptr, &kKeyA).isNil());
}

TEST(AssociatedObjectsTest, ConcurrentSetsAndGets) {
  auto owner = std::make_shared<Object>();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([owner, t] {
      for (int i = 0; i < 2000; i++) {
        objc_setAssociatedObject(owner, t % 2 ? &kKeyA : &kKeyB, Value(i));
        objc_getAssociatedObject(owner, t % 2 ? &kKeyB : &kKeyA);
        if (i % 100 == 0) objc_removeAssociatedObjects(owner);
      }
    });
  }
  for (auto& th : threads) th.join();
  objc_setAssociatedObject(owner, &kKeyA, Value(1));
  EXPECT_EQ(objc_getAssociatedObject(owner, &kKeyA), Value(1));
}

}  // namespace
