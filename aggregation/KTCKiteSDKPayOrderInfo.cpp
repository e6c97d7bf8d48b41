#include "aggregation/KTCKiteSDKPayOrderInfo.h"

#include "platform/foundation/Format.h"

namespace {
plat::Value opt(const std::optional<std::string>& s) { return s ? plat::Value(*s) : plat::Value(); }
}  // namespace

std::string KTCKiteSDKPayOrderInfo::description() const {
  return plat::format("订单信息：\n商品ID:%@\n商品名称:%@\ncp订单ID:%@\n数量:%lu\n总价:%.2f\n回调地址:%@\n扩展参数:%@",
                      opt(goodsID), opt(productName), opt(cpOrderID), count,
                      static_cast<double>(amount), opt(callbackUrl), opt(extrasParams));
}
