#include "platform/foundation/Data.h"

#include <gtest/gtest.h>

#include <cstring>

using plat::Data;

namespace {

std::vector<uint8_t> iota(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7);
  return v;
}

}  // namespace

// Data keeps its bytes whatever buffer it started from: an adopted vector, a copy, or an
// unset buffer that was filled.
TEST(Data, EveryKindOfBufferGrowsAndCopiesByValue) {
  auto bytes = iota(1000);
  Data adopted(bytes);
  Data filled = Data::uninitialized(bytes.size());
  std::memcpy(filled.mutableBytes(), bytes.data(), bytes.size());
  Data copied(bytes.data(), bytes.size());
  for (Data* d : {&adopted, &filled, &copied}) {
    ASSERT_EQ(d->length(), 1000u);
    EXPECT_EQ(*d, Data(bytes));
    Data before = *d;
    d->append("tail");
    d->append(Data(bytes));
    ASSERT_EQ(d->length(), 2004u);
    EXPECT_EQ(std::memcmp(d->bytes(), bytes.data(), 1000), 0);
    EXPECT_EQ(d->subdata(1000, 4).toString(), "tail");
    EXPECT_EQ(d->subdata(1004, 5000), Data(bytes));
    EXPECT_EQ(before, Data(bytes));  // the copy kept its own bytes
  }
}

TEST(Data, AppendingItselfRepeatsTheBytes) {
  Data unset = Data::uninitialized(300);
  std::memset(unset.mutableBytes(), 0x33, unset.length());  // compared below: every byte set
  for (Data d : {Data(iota(300)), unset, Data(iota(300).data(), 300)}) {
    std::memset(d.mutableBytes(), 0x5a, 10);
    Data expected = d;
    expected.append(Data(d));
    d.append(d);
    EXPECT_EQ(d, expected);
    d.append(d.bytes() + 5, 3);
    EXPECT_EQ(d.length(), 603u);
    EXPECT_EQ(d.bytes()[600], 0x5a);
  }
}

// Bytes uncovered again by setLength are zero, not what the buffer held before.
TEST(Data, LengthenedDataIsZeroFilled) {
  Data d = Data::uninitialized(64 << 10);
  std::memset(d.mutableBytes(), 0xff, d.length());
  d.setLength(10);
  d.setLength(20);
  for (size_t i = 10; i < 20; ++i) ASSERT_EQ(d.bytes()[i], 0) << i;
  d.setLength(3 << 20);  // past the buffer
  EXPECT_EQ(d.bytes()[0], 0xff);
  EXPECT_EQ(d.bytes()[(3 << 20) - 1], 0);
}

TEST(Data, MovesHandOverTheBufferAndFreeTheOldTarget) {
  Data a = Data::uninitialized(4096);
  const uint8_t* buffer = a.bytes();
  Data b(iota(10));
  b = std::move(a);  // b's vector is freed (the leak checker sees it otherwise)
  EXPECT_EQ(b.bytes(), buffer);
  EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): a moved-from data is empty
  Data c(std::move(b));
  EXPECT_EQ(c.bytes(), buffer);
  EXPECT_EQ(b.length(), 0u);  // NOLINT(bugprone-use-after-move)
  Data& same = c;
  c = same;
  EXPECT_EQ(c.length(), 4096u);
  EXPECT_TRUE(Data::uninitialized(0).empty());
  EXPECT_EQ(Data(std::vector<uint8_t>()), Data());
}

// Buffers larger than the pooled sizes, and many at once, are handed out and freed.
TEST(Data, UnsetBuffersOfAnySize) {
  std::vector<Data> held;
  for (size_t n : {size_t{1}, size_t{4095}, size_t{4097}, size_t{1} << 20, (size_t{1} << 20) + 1,
                   size_t{5} << 20}) {
    for (int i = 0; i < 20; ++i) {
      Data d = Data::uninitialized(n);
      ASSERT_EQ(d.length(), n);
      d.mutableBytes()[n - 1] = 1;
      held.push_back(std::move(d));
    }
  }
  held.clear();
  Data again = Data::uninitialized(70000);
  again.mutableBytes()[69999] = 2;
  EXPECT_EQ(again.length(), 70000u);
}
