#pragma once
// A fixture for tests of the storage: a fresh folder per test (removed afterwards), NSLog lines
// captured, and reproducible value bytes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSLog.h"
#include "testing/loop/Pump.h"

class StorageFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("storage-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    plat::setNSLogCaptureForTesting([this](const std::string& line) { logs_.push_back(line); });
  }
  void TearDown() override {
    EXPECT_TRUE(testing_loop::runUntilIdle());
    plat::setNSLogCaptureForTesting(nullptr);
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  // n bytes from a seed: different seeds give different values.
  static plat::Data bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = seed, seed = static_cast<uint8_t>(seed * 31 + 7);
    return plat::Data(std::move(v));
  }
  std::filesystem::path dir_;
  std::vector<std::string> logs_;
};
