#include "platform/foundation/Format.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/foundation/NSError.h"

using plat::Array;
using plat::Dictionary;
using plat::format;
using plat::Value;

namespace {

template <class T>
std::string cFormat(const char* fmt, T v) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

class Thing : public plat::Object {
 public:
  std::string className() const override { return "Thing"; }
  std::string description() const override { return "<thing>"; }
};

}  // namespace

TEST(Format, PrintfConversionsMatchC) {
  for (const char* f : {"%d", "%5d", "%-5d|", "%05d", "%+d", "% d", "%.3d", "%i"}) {
    EXPECT_EQ(format(f, 42), cFormat(f, 42)) << f;
    EXPECT_EQ(format(f, -42), cFormat(f, -42)) << f;
  }
  for (const char* f : {"%u", "%x", "%X", "%#x", "%o", "%#o", "%08X"})
    EXPECT_EQ(format(f, 48879u), cFormat(f, 48879u)) << f;
  for (const char* f : {"%ld", "%lld", "%lu", "%llu", "%zu"})
    EXPECT_EQ(format(f, 1234567890123LL), cFormat("%lld", 1234567890123LL)) << f;
  // Plain conversions at the edges of their types.
  for (long long v : {0LL, 7LL, -1LL, 9223372036854775807LL, -9223372036854775807LL - 1}) {
    for (const char* f : {"%lld", "%llu", "%llx", "%llX", "%llo"})
      EXPECT_EQ(format(f, v), cFormat(f, v)) << f << " " << v;
  }
  for (int v : {0, -1, -2147483647 - 1, 2147483647}) {
    for (const char* f : {"%d", "%i", "%u", "%x", "%X", "%o"})
      EXPECT_EQ(format(f, v), cFormat(f, v)) << f << " " << v;
  }
  EXPECT_EQ(format("%d|%u", 18446744073709551615ULL, 18446744073709551615ULL),
            "18446744073709551615|18446744073709551615");
  for (const char* f : {"%f", "%.2f", "%10.3f", "%-10.1f|", "%e", "%E", "%g", "%G", "%.0f", "%a",
                        "%+.1e", "%#g"}) {
    EXPECT_EQ(format(f, 3.14159), cFormat(f, 3.14159)) << f;
    EXPECT_EQ(format(f, -2.5e-7), cFormat(f, -2.5e-7)) << f;
  }
  EXPECT_EQ(format("%.0f", 1700000000.6), "1700000001");
  EXPECT_EQ(format("%s=%5s|%-5s|%.2s", "k", "ab", "cd", "xyz"), "k=   ab|cd   |xy");
  EXPECT_EQ(format("100%% of %c", 'x'), "100% of x");
  EXPECT_EQ(format("no args"), "no args");
}

TEST(Format, ObjectPlaceholderUsesTheTextForm) {
  EXPECT_EQ(format("%@ %@ %@", Value(), Value::null(), Value(true)), "(null) <null> 1");
  EXPECT_EQ(format("%@|%@|%@", 12, -7L, 18446744073709551615ULL), "12|-7|18446744073709551615");
  EXPECT_EQ(format("%@ %@ %@", 0.1, 2.0, 1e20), "0.1 2 1e+20");
  EXPECT_EQ(format("%@ %.3f", 0.1f, 0.1f), "0.1 0.100");
  EXPECT_EQ(format("%@-%@", std::string("ab"), "cd"), "ab-cd");
  EXPECT_EQ(format("%@", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(format("%@", Array{1, "a b"}), "(\n    1,\n    \"a b\"\n)");
  auto thing = std::make_shared<Thing>();
  EXPECT_EQ(format("%@ %@", thing, Value(thing)), "<thing> <thing>");
  EXPECT_EQ(format("%@", std::shared_ptr<Thing>()), "(null)");
  const Thing* raw = thing.get();
  EXPECT_EQ(format("%@ %@", raw, static_cast<Thing*>(nullptr)), "<thing> (null)");
  EXPECT_EQ(format("%p", raw), cFormat("%p", static_cast<const void*>(raw)));
  auto err = plat::NSError::make("D", 7, std::string("bad"));
  EXPECT_EQ(format("%@", err), "Error Domain=D Code=7 \"bad\" UserInfo={NSLocalizedDescription=bad}");
  EXPECT_EQ(format("[%6@][%-4@]", "ab", 1), "[    ab][1   ]");
  // Width and precision count characters, not bytes.
  EXPECT_EQ(format("[%4@][%.1@]", "\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87"), "[   \xC3\xA9][\xE4\xB8\xAD]");
}

TEST(Format, MismatchedOrMissingArgumentsAreDefined) {
  // A conversion takes what the argument holds, converted, never garbage.
  EXPECT_EQ(format("%d", 3.99), "3");
  EXPECT_EQ(format("%d", -3.99), "-3");
  EXPECT_EQ(format("%f", 2), "2.000000");
  EXPECT_EQ(format("%d", Value("42abc")), "42");
  EXPECT_EQ(format("%d %d", Value(true), Value(7.5)), "1 7");
  EXPECT_EQ(format("%s", 5), "5");
  EXPECT_EQ(format("%d", 5000000000LL), "5000000000");     // printed in full
  EXPECT_EQ(format("%d", 4294967295u), "4294967295");      // unsigned stays unsigned
  EXPECT_EQ(format("%x %lx", -1, -1L), "ffffffff ffffffffffffffff");
  EXPECT_EQ(format("%hhd %hd %hhu", 300, 70000, -1), "44 4464 255");
  // Missing arguments read as nil.
  EXPECT_EQ(format("%@ %d %s %f", 1), "1 0 (null) 0.000000");
  EXPECT_EQ(format("a%nb", 1), "ab");
  EXPECT_EQ(format("%k and %"), "%k and %");
  EXPECT_EQ(format("%999999999999d", 1).size(), 100000u);  // clamped, not gigabytes
}

TEST(Format, PositionalStarsPointersAndCharacters) {
  EXPECT_EQ(format("%2$@ %1$@", "world", "hello"), "hello world");
  EXPECT_EQ(format("%1$d-%1$d", 9), "9-9");
  EXPECT_EQ(format("[%*d][%-*d][%.*f]", 4, 7, 3, 8, 2, 3.14159), "[   7][8  ][3.14]");
  EXPECT_EQ(format("[%*d]", -3, 1), "[1  ]");
  int x = 0;
  EXPECT_EQ(format("%p", &x), cFormat("%p", static_cast<void*>(&x)));
  EXPECT_EQ(format("%p", nullptr), "0x0");
  EXPECT_EQ(format("%C%C", char16_t(0x4E2D), char16_t(0x6587)), "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_EQ(format("%c", 0x263A), "\xE2\x98\xBA");
  EXPECT_EQ(plat::stringWithFormat("%@/%@", "a", 1), "a/1");
}
