#pragma once
// KTCKiteSDKPayOrderInfo: the game's order as the aggregation SDK takes it, and
// KTCKiteSDKShareInfo, a share request. goodsID, productName and cpOrderID keep the text
// form of what they are set to; quantifier keeps "" for null and the text form otherwise.
// Unset texts, and texts set to nil (or, but for quantifier, null), are nullopt: a missing
// value is never sent as its "(null)" text. Plain values, not synchronized.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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
  std::optional<std::string> productDesc;
  std::optional<std::string> quantifier;

  void setGoodsID(const plat::Value& v) { goodsID = text(v); }
  void setProductName(const plat::Value& v) { productName = text(v); }
  void setCpOrderID(const plat::Value& v) { cpOrderID = text(v); }
  void setQuantifier(const plat::Value& v) {
    quantifier = v.isNull() ? std::optional<std::string>("") : text(v);
  }

  // The multi-line description used in log lines.
  std::string description() const;

 private:
  static std::optional<std::string> text(const plat::Value& v) {
    if (v.isNil() || v.isNull()) return std::nullopt;
    return v.description();
  }
};
using KTCKiteSDKPayOrderInfoRef = std::shared_ptr<KTCKiteSDKPayOrderInfo>;

class KTCKiteSDKShareInfo {
 public:
  std::string type, title, content, imgPath, filePath, imgUrl, sencetype, url, shareTo, extenal;
  float width = 0, height = 0;
};
using KTCKiteSDKShareInfoRef = std::shared_ptr<KTCKiteSDKShareInfo>;
