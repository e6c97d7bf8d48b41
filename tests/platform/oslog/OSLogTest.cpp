// The unified system log, the legacy log store with its queries, and the notify layer.

#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "platform/oslog/ASLStore.h"
#include "platform/oslog/Notify.h"
#include "platform/oslog/OSLog.h"
#include "testing/loop/Pump.h"

TEST(OSLogTest, HandlesWriteThroughTheInstalledBackend) {
  auto recording = std::make_shared<plat::RecordingOSLogBackend>();
  plat::setOSLogBackend(recording);
  auto named = plat::OSLog::create("com.example.game", "net");
  named->write(plat::OSLogType::Error, "100% %s %n failed");
  plat::OSLog::defaultLog()->write(plat::OSLogType::Debug, "plain");
  auto records = recording->records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_FALSE(records[0].isDefault);
  EXPECT_EQ(records[0].subsystem, "com.example.game");
  EXPECT_EQ(records[0].category, "net");
  EXPECT_EQ(records[0].type, plat::OSLogType::Error);
  EXPECT_EQ(records[0].text, "100% %s %n failed");
  EXPECT_TRUE(records[1].isDefault);
  EXPECT_EQ(records[1].type, plat::OSLogType::Debug);
  plat::setOSLogBackend(nullptr);
  EXPECT_NE(dynamic_cast<plat::SyslogOSLogBackend*>(plat::currentOSLogBackend().get()), nullptr);
  // The syslog backend takes any text without reading it as a format.
  plat::OSLog::create("s", "c")->write(plat::OSLogType::Info, "%s%s%s%n");
}

TEST(OSLogTest, SyslogPrioritiesFollowTheLogType) {
  using B = plat::SyslogOSLogBackend;
  EXPECT_EQ(B::priorityForType(plat::OSLogType::Error), LOG_ERR);
  EXPECT_EQ(B::priorityForType(plat::OSLogType::Fault), LOG_ERR);
  EXPECT_EQ(B::priorityForType(plat::OSLogType::Info), LOG_INFO);
  EXPECT_EQ(B::priorityForType(plat::OSLogType::Default), LOG_INFO);
  EXPECT_EQ(B::priorityForType(plat::OSLogType::Debug), LOG_DEBUG);
}

TEST(OSLogTest, SyslogLinesKeepTheTextAfterANulByte) {
  std::vector<std::pair<int, std::string>> sent;
  auto backend = std::make_shared<plat::SyslogOSLogBackend>(
      [&](int priority, const char* line) { sent.emplace_back(priority, line); });
  plat::setOSLogBackend(backend);
  using namespace std::string_literals;
  plat::OSLog::create("s", "c")->write(plat::OSLogType::Error, "before\0after\0\0end"s);
  plat::OSLog::defaultLog()->write(plat::OSLogType::Info, "\0"s);
  plat::setOSLogBackend(nullptr);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].first, LOG_ERR);
  EXPECT_EQ(sent[0].second, "[s:c] before\\0after\\0\\0end");
  EXPECT_EQ(sent[1].second, "\\0");
}

TEST(OSLogTest, StoreNumbersMessagesAndAnswersQueries) {
  plat::ASLStore& store = plat::ASLStore::shared();
  store.resetForTesting();
  auto client = plat::ASLClient::open("test", "com.apple.console");
  plat::ASLMessage noText;
  noText.set("Level", "3");
  EXPECT_FALSE(client->send(noText));

  for (int level = 0; level < 8; ++level) {
    plat::ASLMessage m;
    m.set("Level", std::to_string(level));
    m.set("Message", "level " + std::to_string(level));
    if (level == 5) m.set("LGLog", "1");
    EXPECT_TRUE(client->send(m));
  }
  plat::ASLMessage timed;
  timed.set("Message", "timed");
  timed.set("Time", "1000");
  store.save(timed);
  EXPECT_EQ(store.count(), 9u);

  auto all = store.search(plat::ASLQuery());
  ASSERT_EQ(all.size(), 9u);
  EXPECT_EQ(*all[0].get("ASLMessageID"), "1");
  EXPECT_EQ(*all[8].get("ASLMessageID"), "9");
  EXPECT_NE(all[0].get("Time"), nullptr);
  EXPECT_NE(all[0].get("TimeNanoSec"), nullptr);
  EXPECT_EQ(*all[0].get("Facility"), "com.apple.console");
  // A sender's own time is kept, and no nanoseconds are invented for it.
  EXPECT_EQ(*all[8].get("Time"), "1000");
  EXPECT_EQ(all[8].get("TimeNanoSec"), nullptr);

  plat::ASLQuery q;
  q.setQuery("Level", "4", plat::ASLQueryOp::NumericLessEqual);
  q.setQuery("LGLog", "1", plat::ASLQueryOp::NotEqual);
  EXPECT_EQ(store.search(q).size(), 5u);  // levels 0-4; the message without Level fails
  plat::ASLQuery after;
  after.setQuery("ASLMessageID", "6", plat::ASLQueryOp::NumericGreater);
  EXPECT_EQ(store.search(after).size(), 3u);
  plat::ASLQuery since;
  since.setQuery("Time", "1000", plat::ASLQueryOp::NumericGreaterEqual);
  EXPECT_EQ(store.search(since).size(), 9u);
  plat::ASLQuery notNumber;
  notNumber.setQuery("Message", "1", plat::ASLQueryOp::NumericGreater);
  EXPECT_TRUE(store.search(notNumber).empty());
}

TEST(OSLogTest, StoreDropsTheOldestBeyondItsCapacity) {
  plat::ASLStore& store = plat::ASLStore::shared();
  store.resetForTesting();
  for (size_t i = 0; i < plat::ASLStore::kCapacity + 3; ++i) {
    plat::ASLMessage m;
    m.set("Message", "m");
    store.save(m);
  }
  auto all = store.search(plat::ASLQuery());
  ASSERT_EQ(all.size(), plat::ASLStore::kCapacity);
  EXPECT_EQ(*all.front().get("ASLMessageID"), "4");
  EXPECT_EQ(*all.back().get("ASLMessageID"), std::to_string(plat::ASLStore::kCapacity + 3));
}

TEST(OSLogTest, SearchesFromAMessageNumberReadOnlyTheMessagesAfterIt) {
  plat::ASLStore& store = plat::ASLStore::shared();
  store.resetForTesting();
  for (size_t i = 0; i < plat::ASLStore::kCapacity + 500; ++i) {
    plat::ASLMessage m;
    m.set("Message", "m");
    store.save(m);
  }
  uint64_t before = store.messagesExaminedForTesting();
  plat::ASLQuery after;
  after.setQuery("ASLMessageID", std::to_string(plat::ASLStore::kCapacity + 490),
                 plat::ASLQueryOp::NumericGreater);
  auto found = store.search(after);
  ASSERT_EQ(found.size(), 10u);
  EXPECT_EQ(*found.front().get("ASLMessageID"), std::to_string(plat::ASLStore::kCapacity + 491));
  plat::ASLQuery from;
  from.setQuery("ASLMessageID", std::to_string(plat::ASLStore::kCapacity + 496),
                plat::ASLQueryOp::NumericGreaterEqual);
  EXPECT_EQ(store.search(from).size(), 5u);
  EXPECT_EQ(store.messagesExaminedForTesting() - before, 15u);
  // Numbers before the oldest kept message, or past the newest, read what is there.
  plat::ASLQuery old;
  old.setQuery("ASLMessageID", "3", plat::ASLQueryOp::NumericGreater);
  EXPECT_EQ(store.search(old).size(), plat::ASLStore::kCapacity);
  plat::ASLQuery future;
  future.setQuery("ASLMessageID", "99999999", plat::ASLQueryOp::NumericGreater);
  EXPECT_TRUE(store.search(future).empty());
  store.resetForTesting();
}

TEST(OSLogTest, PostsWhileADeliveryWaitsJoinItAndNoneIsMissed) {
  auto queue = plat::dispatch_queue_create("test.notify.burst");
  std::atomic<int> deliveries{0};
  std::atomic<bool> postInHandler{true};
  int token = 0;
  ASSERT_EQ(plat::notify_register_dispatch("test.burst", &token, queue,
                                           [&](int) {
                                             ++deliveries;
                                             // A post during a delivery gives another one.
                                             if (postInHandler.exchange(false)) {
                                               plat::notify_post("test.burst");
                                             }
                                           }),
            plat::NOTIFY_STATUS_OK);
  plat::dispatch_suspend(queue);
  for (int i = 0; i < 1000; ++i) plat::notify_post("test.burst");
  plat::dispatch_resume(queue);
  EXPECT_TRUE(testing_loop::runUntil([&] { return deliveries.load() == 2; }));
  plat::dispatch_sync(queue, [] {});
  testing_loop::runUntilIdle();
  EXPECT_EQ(deliveries.load(), 2);
  plat::notify_cancel(token);
}

TEST(OSLogTest, NotificationsReachRegistrationsUntilCancelled) {
  auto queue = plat::dispatch_queue_create("test.notify");
  std::atomic<int> a{0}, b{0};
  int tokenA = 0, tokenB = 0;
  EXPECT_EQ(plat::notify_register_dispatch("test.one", &tokenA, queue,
                                           [&](int t) {
                                             EXPECT_EQ(t, tokenA);
                                             ++a;
                                           }),
            plat::NOTIFY_STATUS_OK);
  EXPECT_EQ(plat::notify_register_dispatch("test.two", &tokenB, queue, [&](int) { ++b; }),
            plat::NOTIFY_STATUS_OK);
  EXPECT_EQ(plat::notify_register_dispatch("", &tokenB, queue, [](int) {}),
            plat::NOTIFY_STATUS_INVALID_NAME);
  plat::notify_post("test.one");
  EXPECT_TRUE(testing_loop::runUntil([&] { return a.load() == 1; }));
  plat::notify_post("test.one");
  EXPECT_TRUE(testing_loop::runUntil([&] { return a.load() == 2; }));
  EXPECT_EQ(b.load(), 0);
  EXPECT_EQ(plat::notify_cancel(tokenA), plat::NOTIFY_STATUS_OK);
  EXPECT_EQ(plat::notify_cancel(tokenA), plat::NOTIFY_STATUS_INVALID_TOKEN);
  plat::notify_post("test.one");
  plat::notify_post("test.two");
  EXPECT_TRUE(testing_loop::runUntil([&] { return b.load() == 1; }));
  testing_loop::runUntilIdle();
  EXPECT_EQ(a.load(), 2);

  // Saving into the store posts its notification.
  std::atomic<int> saved{0};
  int tokenC = 0;
  plat::notify_register_dispatch(plat::kNotifyASLMessage, &tokenC, queue, [&](int) { ++saved; });
  plat::ASLMessage m;
  m.set("Message", "x");
  plat::ASLStore::shared().save(m);
  EXPECT_TRUE(testing_loop::runUntil([&] { return saved.load() == 1; }));
  plat::notify_cancel(tokenC);
  plat::notify_cancel(tokenB);
  plat::dispatch_sync(queue, [] {});  // no handler of this test runs after it
}
