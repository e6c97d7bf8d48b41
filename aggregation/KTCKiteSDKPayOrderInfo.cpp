#include "aggregation/KTCKiteSDKPayOrderInfo.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "platform/foundation/Format.h"
#include "platform/foundation/NumberText.h"

namespace {
plat::Value opt(const std::optional<std::string>& s) { return s ? plat::Value(*s) : plat::Value(); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// An exponent is counted up to here: past it, no text of kMaxAmountText characters names a
// whole number of hundredths in 64 bits but zero.
constexpr int64_t kExponentCap = 1000000;
static_assert(KTCMoney::kMaxAmountText + 19 + 2 < kExponentCap);

// The text of `cents` with both fraction digits ("6.60", "-0.05").
std::string fixedText(int64_t cents) {
  bool negative = cents < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(cents) : static_cast<uint64_t>(cents);
  uint64_t fraction = magnitude % 100;
  std::string text;
  if (negative) text += '-';
  text += std::to_string(magnitude / 100);
  text += '.';
  text += static_cast<char>('0' + fraction / 10);
  text += static_cast<char>('0' + fraction % 10);
  return text;
}

// The exact decimal text of `cents` as a number: "6.6", "6.05", "16777217".
std::string exactText(int64_t cents) {
  std::string text = fixedText(cents);
  if (text.back() == '0') text.pop_back();
  if (text.back() == '0') text.resize(text.size() - 2);
  return text;
}
}  // namespace

std::optional<int64_t> KTCMoney::centsFromText(std::string_view text) {
  if (text.size() > kMaxAmountText) return std::nullopt;
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  // The significant digits, then the power of ten they are scaled by (in hundredths).
  std::string digits;
  int64_t scale = 2;
  size_t intStart = i;
  while (i < text.size() && isDigit(text[i])) {
    if (!digits.empty() || text[i] != '0') digits += text[i];
    ++i;
  }
  if (i == intStart) return std::nullopt;
  if (i < text.size() && text[i] == '.') {
    size_t fracStart = ++i;
    while (i < text.size() && isDigit(text[i])) {
      if (!digits.empty() || text[i] != '0') digits += text[i];
      --scale;
      ++i;
    }
    if (i == fracStart) return std::nullopt;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) expNegative = text[i++] == '-';
    size_t expStart = i;
    int64_t exponent = 0;
    while (i < text.size() && isDigit(text[i])) {
      // Past the cap the number is out of reach either way: the text's own digits and zeros
      // cannot bring it back. Stop counting there.
      if (exponent < kExponentCap) exponent = exponent * 10 + (text[i] - '0');
      ++i;
    }
    if (i == expStart) return std::nullopt;
    scale += expNegative ? -exponent : exponent;
  }
  if (i != text.size()) return std::nullopt;
  if (digits.empty()) return 0;
  while (digits.back() == '0') {
    digits.pop_back();
    ++scale;
  }
  // A digit below the hundredth: not a whole number of hundredths.
  if (scale < 0) return std::nullopt;
  if (static_cast<int64_t>(digits.size()) + scale > 19) return std::nullopt;
  int64_t cents = 0;
  for (char c : digits) {
    if (__builtin_mul_overflow(cents, 10, &cents) || __builtin_add_overflow(cents, c - '0', &cents))
      return std::nullopt;
  }
  for (int64_t k = 0; k < scale; ++k) {
    if (__builtin_mul_overflow(cents, 10, &cents)) return std::nullopt;
  }
  return negative ? -cents : cents;
}

std::optional<int64_t> KTCMoney::centsFromValue(const plat::Value& v) {
  int64_t cents = 0;
  switch (v.type()) {
    case plat::Value::Type::Int:
      if (__builtin_mul_overflow(v.longLongValue(), int64_t{100}, &cents)) return std::nullopt;
      return cents;
    case plat::Value::Type::UInt:
      if (v.unsignedIntegerValue() > static_cast<uint64_t>(INT64_MAX / 100)) return std::nullopt;
      return static_cast<int64_t>(v.unsignedIntegerValue()) * 100;
    case plat::Value::Type::Double:
      if (!std::isfinite(v.doubleValue())) return std::nullopt;
      return centsFromText(plat::numtext::shortestDouble(v.doubleValue()));
    case plat::Value::Type::Decimal:
      return centsFromText(v.description());
    case plat::Value::Type::String:
      return centsFromText(*v.string());
    default:
      return std::nullopt;  // booleans, containers, null: no amount
  }
}

std::string KTCMoney::cashierText(int64_t cents) { return fixedText(cents); }

plat::Value KTCMoney::number(int64_t cents) {
  double d = static_cast<double>(cents) / 100.0;
  if (plat::numtext::shortestDouble(d) == exactText(cents)) return plat::Value(d);
  if (cents % 100 == 0) return plat::Value(static_cast<long long>(cents / 100));
  return plat::Value();
}

void KTCKiteSDKPayOrderInfo::setAmount(const plat::Value& v) {
  std::optional<int64_t> cents = KTCMoney::centsFromValue(v);
  amountCents = cents.value_or(0);
  amount = static_cast<float>(static_cast<double>(*amountCents) / 100.0);
}

int64_t KTCKiteSDKPayOrderInfo::chargedCents() const {
  if (amountCents) return *amountCents;
  if (!std::isfinite(amount)) return 0;
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, amount);
  return KTCMoney::centsFromText(std::string_view(buf, res.ptr - buf)).value_or(0);
}

plat::Value KTCKiteSDKPayOrderInfo::amountNumber() const {
  plat::Value exact = amountCents ? KTCMoney::number(*amountCents) : plat::Value();
  return exact ? exact : plat::Value(amount);
}

plat::Value KTCKiteSDKPayOrderInfo::priceNumber() const {
  plat::Value exact = priceCents ? KTCMoney::number(*priceCents) : plat::Value();
  return exact ? exact : plat::Value(price);
}

std::string KTCKiteSDKPayOrderInfo::description() const {
  return plat::format(
      "订单信息：\n商品ID:%@\n商品名称:%@\ncp订单ID:%@\n数量:%lu\n总价:%.2f\n回调地址:%@\n扩展参数:"
      "%@",
      opt(goodsID), opt(productName), opt(cpOrderID), count, static_cast<double>(amount),
      opt(callbackUrl), opt(extrasParams));
}
