#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/dispatch/NSNotificationCenter.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {
struct Listener {
  std::vector<std::string> got;
};
}  // namespace

TEST(Notifications, DeliveredInRegistrationOrderFilteredByNameAndObject) {
  NSNotificationCenter center;
  std::vector<std::string> log;
  auto sender = std::make_shared<Object>();
  center.addObserverForNameObjectQueueUsingBlock("a", Value(), nullptr, [&](const NSNotification& n) {
    log.push_back("1:" + n.name + ":" + n.userInfo["k"].stringOr());
  });
  center.addObserverForNameObjectQueueUsingBlock("", Value(), nullptr,
                                                 [&](const NSNotification& n) { log.push_back("2:" + n.name); });
  center.addObserverForNameObjectQueueUsingBlock("a", Value(sender), nullptr,
                                                 [&](const NSNotification&) { log.push_back("3"); });
  Dictionary info;
  info.set("k", Value("v"));
  center.postNotificationNameObjectUserInfo("a", Value(), Value(info));
  center.postNotificationNameObject("b", Value(sender));
  center.postNotificationNameObject("a", Value(sender));
  center.postNotificationNameObject("a", Value(std::make_shared<Object>()));
  EXPECT_EQ(log, (std::vector<std::string>{"1:a:v", "2:a", "2:b", "1:a:", "2:a", "3", "1:a:", "2:a"}));
}

TEST(Notifications, RemovalAndNestedPostsDuringAPostAreSafe) {
  NSNotificationCenter center;
  std::vector<std::string> log;
  NSNotificationCenter::ObserverToken second;
  center.addObserverForNameObjectQueueUsingBlock("x", Value(), nullptr, [&](const NSNotification&) {
    log.push_back("first");
    center.removeObserver(second);  // removed before its turn: not called
    center.addObserverForNameObjectQueueUsingBlock("x", Value(), nullptr,
                                                   [&](const NSNotification&) { log.push_back("late"); });
    center.postNotificationNameObject("y", Value());
  });
  second = center.addObserverForNameObjectQueueUsingBlock("x", Value(), nullptr,
                                                          [&](const NSNotification&) { log.push_back("second"); });
  NSNotificationCenter::ObserverToken self;
  self = center.addObserverForNameObjectQueueUsingBlock("y", Value(), nullptr, [&](const NSNotification&) {
    log.push_back("y");
    center.removeObserver(self);  // removes itself while running
  });
  center.postNotificationNameObject("x", Value());
  EXPECT_EQ(log, (std::vector<std::string>{"first", "y"}));
  log.clear();
  center.postNotificationNameObject("y", Value());
  EXPECT_TRUE(log.empty());
}

TEST(Notifications, TargetObserversAreRemovedByOwnerOrWhenGone) {
  NSNotificationCenter center;
  int calls = 0;
  auto owner = std::make_shared<Listener>();
  center.addObserverSelectorNameObject(owner, [&](const NSNotification&) { ++calls; }, "n", Value());
  center.addObserverSelectorNameObject(owner, [&](const NSNotification&) { ++calls; }, "m", Value());
  center.postNotificationNameObject("n", Value());
  EXPECT_EQ(calls, 1);
  center.removeObserverNameObject(owner.get(), "n", Value());
  center.postNotificationNameObject("n", Value());
  center.postNotificationNameObject("m", Value());
  EXPECT_EQ(calls, 2);
  center.removeObserver(owner.get());
  center.postNotificationNameObject("m", Value());
  EXPECT_EQ(calls, 2);

  // An observer that went away without removing itself is skipped, not called.
  auto gone = std::make_shared<Listener>();
  auto* raw = gone.get();
  center.addObserverSelectorNameObject(gone, [raw](const NSNotification& n) { raw->got.push_back(n.name); },
                                       "z", Value());
  gone.reset();
  center.postNotificationNameObject("z", Value());  // ASan would catch a call into freed memory
}

TEST(Notifications, QueueObserversRunOnTheirQueue) {
  auto& center = NSNotificationCenter::defaultCenter();
  bool onMain = false;
  std::string label;  // written on the queue before bgDone is set
  bool mainDone = false;
  std::atomic<bool> bgDone{false};
  center.addObserverForNameObjectQueueUsingBlock("q", Value(), dispatch_get_main_queue(),
                                                 [&](const NSNotification&) {
                                                   onMain = dispatch_is_main_thread();
                                                   mainDone = true;
                                                 });
  auto bg = dispatch_queue_create("test.observer");
  center.addObserverForNameObjectQueueUsingBlock("q", Value(), bg, [&](const NSNotification&) {
    label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
    bgDone = true;
  });
  center.postNotificationNameObject("q", Value());
  EXPECT_TRUE(mainDone) << "main-queue observer runs at once for a post on the main thread";
  ASSERT_TRUE(testing_loop::runUntil([&] { return bgDone.load(); }));
  EXPECT_TRUE(onMain);
  EXPECT_EQ(label, "test.observer");
  NSNotificationCenter::resetForTesting();
  mainDone = false;
  center.postNotificationNameObject("q", Value());
  EXPECT_FALSE(mainDone);
}
