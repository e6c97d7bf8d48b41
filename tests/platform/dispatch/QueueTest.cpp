#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "testing/loop/Pump.h"

using namespace plat;

TEST(Queue, SerialKeepsOrderUnderContention) {
  auto q = dispatch_queue_create("test.serial");
  std::vector<int> seen;
  std::atomic<int> producersDone{0};
  constexpr int kPerProducer = 2000;
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) dispatch_async(q, [&seen, p, i] { seen.push_back(p * 100000 + i); });
      producersDone++;
    });
  }
  for (auto& t : producers) t.join();
  dispatch_sync(q, [] {});
  ASSERT_EQ(seen.size(), 4u * kPerProducer);
  std::vector<int> last(4, -1);
  for (int v : seen) {
    int p = v / 100000, i = v % 100000;
    EXPECT_EQ(i, last[p] + 1);
    last[p] = i;
  }
}
