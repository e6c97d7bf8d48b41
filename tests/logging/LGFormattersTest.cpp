// Formatter chains, context filters, the queue formatter and the atomic counter.

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <limits>
#include <optional>
#include <thread>

#include "logging/LGAtomicCounter.h"
#include "logging/LGContextFilterLogFormatter.h"
#include "logging/LGDispatchQueueLogFormatter.h"
#include "logging/LGMultiFormatter.h"
#include "platform/foundation/NSTimeZone.h"
#include "tests/logging/LGTestSupport.h"

namespace {

// Applies a text change and remembers what it saw.
class StepFormatter : public LGLogFormatter {
 public:
  explicit StepFormatter(std::function<LGText(const LGLogMessage&)> step)
      : step_(std::move(step)) {}
  LGText formatLogMessage(const LGLogMessage& m) override {
    ++calls;
    seen.push_back(m);
    return step_(m);
  }
  int calls = 0;
  std::vector<LGLogMessage> seen;

 private:
  std::function<LGText(const LGLogMessage&)> step_;
};

LGLogMessage message(const std::string& text, int64_t context = 0) {
  return LGLogMessage(LGMakeText(text), 3, LGLogFlagWarning, context, "/src/File.mm", "fn", 9,
                      plat::Value(), 0, plat::NSDate::fromNanoseconds1970(1714979289010000000LL));
}

LGLogMessage withFacts(const std::string& label, const std::string& threadName,
                       const std::string& threadID, uint64_t qos) {
  return message("text").withCallerFacts({threadID, threadName, label, qos});
}

}  // namespace

TEST(LGFormattersTest, ChainAppliesFormattersInOrderAndStopsOnADrop) {
  LGMultiFormatter chain;
  LGLogMessage m = message("abc", 4);
  EXPECT_EQ(chain.formatLogMessage(m), m.message());  // no formatters: the same text object

  auto upper = std::make_shared<StepFormatter>([](const LGLogMessage& in) {
    std::string s = in.text();
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return LGMakeText(s);
  });
  auto prefix = std::make_shared<StepFormatter>(
      [](const LGLogMessage& in) { return LGMakeText("> " + in.text()); });
  chain.addFormatter(upper);
  chain.addFormatter(prefix);  // used by the very next call on this thread
  EXPECT_EQ(*chain.formatLogMessage(m), "> ABC");
  ASSERT_EQ(prefix->seen.size(), 1u);
  EXPECT_EQ(prefix->seen[0].text(), "ABC");
  EXPECT_EQ(prefix->seen[0].context(), 4);
  EXPECT_EQ(prefix->seen[0].timestamp(), m.timestamp());
  EXPECT_EQ(prefix->seen[0].fileName(), "File");

  auto drop = std::make_shared<StepFormatter>([](const LGLogMessage&) { return LGText(); });
  LGMultiFormatter dropping;
  dropping.addFormatter(drop);
  dropping.addFormatter(prefix);
  EXPECT_EQ(dropping.formatLogMessage(m), nullptr);
  EXPECT_EQ(prefix->calls, 1);

  chain.addFormatter(upper);
  EXPECT_EQ(chain.formatters().size(), 3u);
  EXPECT_TRUE(chain.isFormattingWithFormatter(upper));
  chain.removeFormatter(upper);  // every entry of it
  EXPECT_EQ(chain.formatters(), (std::vector<LGLogFormatterRef>{prefix}));
  EXPECT_FALSE(chain.isFormattingWithFormatter(upper));
  chain.removeAllFormatters();
  EXPECT_TRUE(chain.formatters().empty());
}

TEST(LGFormattersTest, ContextFiltersPassTheMessagesOwnTextOrDropIt) {
  LGContextAllowlistFilterLogFormatter allow;
  LGLogMessage two = message("two", 2), three = message("three", 3);
  EXPECT_EQ(allow.formatLogMessage(two), nullptr);  // an empty allow list drops everything
  allow.addToAllowlist(1);
  allow.addToWhitelist(2);
  EXPECT_EQ(allow.formatLogMessage(two), two.message());
  EXPECT_EQ(allow.formatLogMessage(three), nullptr);
  EXPECT_TRUE(allow.isOnWhitelist(1));
  allow.removeFromAllowlist(1);
  EXPECT_EQ(allow.allowlist(), (std::vector<int64_t>{2}));

  LGContextDenylistFilterLogFormatter deny;
  EXPECT_EQ(deny.formatLogMessage(two), two.message());
  deny.addToDenylist(2);
  EXPECT_EQ(deny.formatLogMessage(two), nullptr);
  EXPECT_EQ(deny.formatLogMessage(three), three.message());
  EXPECT_TRUE(deny.isOnBlacklist(2));
  deny.removeFromBlacklist(2);
  EXPECT_TRUE(deny.denylist().empty());
}

TEST(LGFormattersTest, QueueLabelsAreReplacedAndFittedToTheirWidths) {
  LGDispatchQueueLogFormatter f;
  // A message made on the main thread.
  EXPECT_EQ(f.queueThreadLabelForLogMessage(message("x")), "main");
  f.setReplacementStringForQueueLabel("", "com.apple.main-thread");
  EXPECT_EQ(f.queueThreadLabelForLogMessage(message("x")), "com.apple.main-thread");
  EXPECT_EQ(f.replacementStringForQueueLabel("com.apple.main-thread"), "");
  f.setReplacementStringForQueueLabel("main", "com.apple.main-thread");

  // A worker of a shared global queue: its thread name, else its id (never replaced).
  f.setReplacementStringForQueueLabel("replaced", "4242");
  EXPECT_EQ(
      f.queueThreadLabelForLogMessage(withFacts("com.apple.root.default-qos", "", "4242", 21)),
      "4242");
  EXPECT_EQ(f.queueThreadLabelForLogMessage(withFacts("com.apple.root.utility-qos", "io", "1", 17)),
            "io");
  EXPECT_EQ(f.queueThreadLabelForLogMessage(withFacts("", "", "77", 0)), "77");
  EXPECT_EQ(f.queueThreadLabelForLogMessage(withFacts("my.queue", "io", "1", 0)), "my.queue");

  f.setMinQueueLength(8);
  EXPECT_EQ(f.queueThreadLabelForLogMessage(message("x")), "main    ");
  f.setMaxQueueLength(3);
  EXPECT_EQ(f.queueThreadLabelForLogMessage(message("x")), "mai");
  EXPECT_EQ(f.queueThreadLabelForLogMessage(withFacts("my.queue", "", "1", 0)), "my.");
  f.setMaxQueueLength(0);
  f.setMinQueueLength(0);
  // Widths count UTF-16 units.
  f.setMaxQueueLength(2);
  EXPECT_EQ(f.queueThreadLabelForLogMessage(withFacts("日本語", "", "1", 0)), "日本");
}

TEST(LGFormattersTest, WorkOnAGlobalQueueOrAThreadOfNoQueueShowsItsThread) {
  LGDispatchQueueLogFormatter f;
  auto isDecimal = [](const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
  };
  // A worker of a global queue, which nobody named: its thread id.
  std::optional<LGLogMessage> fromQueue;
  std::atomic<bool> done{false};
  plat::dispatch_async(plat::dispatch_get_global_queue(plat::QOS_CLASS_UTILITY, 0), [&] {
    fromQueue = message("on a global queue");
    done = true;
  });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done.load(); }));
  EXPECT_EQ(fromQueue->threadName(), "");
  EXPECT_TRUE(isDecimal(fromQueue->threadID())) << fromQueue->threadID();
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*fromQueue), fromQueue->threadID());

  // Threads that run no queue: a named one shows its name, an unnamed one its id.
  std::optional<LGLogMessage> named, unnamed;
  std::thread([&] {
    pthread_setname_np(pthread_self(), "io-worker");
    named = message("named");
  }).join();
  std::thread([&] { unnamed = message("unnamed"); }).join();
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*named), "io-worker");
  EXPECT_EQ(unnamed->threadName(), "");
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*unnamed), unnamed->threadID());
}

TEST(LGFormattersTest, QueueFormatterLineCarriesTimeLabelAndQualityOfService) {
  plat::NSTimeZone::setDefaultTimeZone(plat::NSTimeZone::GMT());
  LGDispatchQueueLogFormatter f;
  EXPECT_EQ(*f.formatLogMessage(withFacts("io.queue", "", "1", 25)),
            "2024-05-06 07:08:09:010 [io.queue (QOS:IN)] text");
  EXPECT_EQ(*f.formatLogMessage(withFacts("io.queue", "", "1", 0)),
            "2024-05-06 07:08:09:010 [io.queue (QOS:UN)] text");
  const std::pair<uint64_t, const char*> table[] = {{33, "UI"}, {25, "IN"}, {21, "DF"},
                                                    {17, "UT"}, {9, "BG"},  {5, "UN"}};
  for (auto [qos, abbreviation] : table)
    EXPECT_STREQ(LGDispatchQueueLogFormatter::qosAbbreviation(qos), abbreviation);
  plat::NSTimeZone::setDefaultTimeZone(std::nullopt);
}

TEST(LGFormattersTest, AtomicCounterCountsUpAndDownAcrossThreads) {
  LGAtomicCounter counter(5);
  EXPECT_EQ(counter.increment(), 6);
  EXPECT_EQ(counter.decrement(), 5);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) counter.increment();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter.value(), 40005);
}

TEST(LGFormattersTest, AtomicCounterWrapsAtBothEnds) {
  LGAtomicCounter high(std::numeric_limits<int32_t>::max());
  EXPECT_EQ(high.increment(), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(high.decrement(), std::numeric_limits<int32_t>::max());
  LGAtomicCounter low(std::numeric_limits<int32_t>::min());
  EXPECT_EQ(low.decrement(), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(low.value(), std::numeric_limits<int32_t>::max());
}
