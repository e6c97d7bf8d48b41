#pragma once
// KTCKiteSDKPayOrderInfo: the game's order as the aggregation SDK takes it, and
// KTCKiteSDKShareInfo, a share request. goodsID, productName and cpOrderID keep the text
// form of what they are set to; quantifier keeps "" for null and the text form otherwise.
// Unset texts, and texts set to nil (or, but for quantifier, null), are nullopt: a missing
// value is never sent as its "(null)" text. Plain values, not synchronized.
//
// Money is held exactly beside the floats: an amount set from the page's value keeps its
// hundredths in amountCents, so that what is charged is what was asked to the cent.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

class KTCKiteSDKPayOrderInfo {
 public:
  static std::shared_ptr<KTCKiteSDKPayOrderInfo> info() {
    return std::make_shared<KTCKiteSDKPayOrderInfo>();
  }

  std::optional<std::string> goodsID, productName, cpOrderID;
  uint64_t count = 0;
  float amount = 0;  // total amount of the order
  std::optional<std::string> callbackUrl, extrasParams;
  float price = 0;  // unit price
  // The amount exactly, in hundredths: set by setAmount (0 when its value named no whole
  // number of hundredths); unset for an amount set as a float alone.
  std::optional<int64_t> amountCents;
  // The unit price exactly, in hundredths, when the amount divides evenly by the count.
  std::optional<int64_t> priceCents;
  std::optional<std::string> productDesc;
  std::optional<std::string> quantifier;

  void setGoodsID(const plat::Value& v) { goodsID = text(v); }
  void setProductName(const plat::Value& v) { productName = text(v); }
  void setCpOrderID(const plat::Value& v) { cpOrderID = text(v); }
  void setQuantifier(const plat::Value& v) {
    quantifier = v.isNull() ? std::optional<std::string>("") : text(v);
  }

  // Sets amount and amountCents from a number or a text that is wholly a decimal number; any
  // other value, or one that is not a whole number of hundredths (0.001) or beyond what 64
  // bits of hundredths hold, is no amount: amount and amountCents 0.
  void setAmount(const plat::Value& v);
  // The hundredths to charge: amountCents, or the float amount's shortest decimal form; 0
  // when that is no whole number of hundredths.
  int64_t chargedCents() const;

  // The amount and the unit price as they are sent: their exact hundredths when held (and
  // carried by a JSON number), else the floats.
  plat::Value amountNumber() const;
  plat::Value priceNumber() const;

  // The multi-line description used in log lines.
  std::string description() const;

 private:
  static std::optional<std::string> text(const plat::Value& v) {
    if (v.isNil() || v.isNull()) return std::nullopt;
    return v.description();
  }
};
using KTCKiteSDKPayOrderInfoRef = std::shared_ptr<KTCKiteSDKPayOrderInfo>;

// Exact money in hundredths of the currency unit. Thread-safe (pure functions).
namespace KTCMoney {
// The longest amount text read: a price has no business being longer.
inline constexpr size_t kMaxAmountText = 64;
// The hundredths `text` names when it is wholly a decimal number (optional sign, digits with
// an optional fraction, an optional exponent) of at most kMaxAmountText characters whose exact
// value is a whole number of hundredths that 64 bits hold; nullopt otherwise.
std::optional<int64_t> centsFromText(std::string_view text);
// The hundredths a value names: an integer, a double (by its shortest decimal form), a long
// decimal number, or a text as above; nullopt for anything else (booleans included).
std::optional<int64_t> centsFromValue(const plat::Value& v);
// "6.60" for 660: the text a cashier charges.
std::string cashierText(int64_t cents);
// A JSON number that writes exactly `cents` ("6.6", "16777217"): a double whose shortest form
// reads as them, else an integer for a whole amount; nil when neither can carry them.
plat::Value number(int64_t cents);
}  // namespace KTCMoney

class KTCKiteSDKShareInfo {
 public:
  std::string type, title, content, imgPath, filePath, imgUrl, sencetype, url, shareTo, extenal;
  float width = 0, height = 0;
};
using KTCKiteSDKShareInfoRef = std::shared_ptr<KTCKiteSDKShareInfo>;
