#include "platform/device/UIPasteboard.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class UIPasteboardTest : public ::testing::Test {
 protected:
  void TearDown() override { plat::UIPasteboard::generalPasteboard().resetForTesting(); }
};

TEST_F(UIPasteboardTest, HoldsOneStringAndCountsChanges) {
  auto& board = plat::UIPasteboard::generalPasteboard();
  board.resetForTesting();
  EXPECT_FALSE(board.string().has_value());
  EXPECT_FALSE(board.hasStrings());

  board.setString("héllo 🙂");
  EXPECT_EQ(board.string(), "héllo 🙂");
  board.setString(std::string());  // an empty string is still a string
  EXPECT_TRUE(board.hasStrings());
  EXPECT_EQ(board.string(), "");
  board.setString(std::nullopt);
  EXPECT_FALSE(board.hasStrings());
  EXPECT_EQ(board.changeCount(), 3);
}

TEST_F(UIPasteboardTest, ConcurrentWritersLeaveOneWholeString) {
  auto& board = plat::UIPasteboard::generalPasteboard();
  board.resetForTesting();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&board, t] {
      const std::string text(1000, static_cast<char>('a' + t));
      for (int i = 0; i < 200; ++i) {
        board.setString(text);
        auto read = board.string();
        ASSERT_TRUE(read.has_value());
        ASSERT_EQ(read->size(), 1000u);
        ASSERT_EQ(read->find_first_not_of((*read)[0]), std::string::npos);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(board.changeCount(), 800);
}

}  // namespace
