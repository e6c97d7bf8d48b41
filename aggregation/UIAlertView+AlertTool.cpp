#include "aggregation/UIAlertView+AlertTool.h"
#include "platform/runtime/AssociatedObjects.h"

namespace {

const char kClickBlockKey = 0;

// The copied block, as an object an association can hold.
class ClickBlockBox : public plat::Object {
 public:
  explicit ClickBlockBox(UIAlertViewClickBlock block) : block_(std::move(block)) {}
  std::string className() const override { return "ClickBlockBox"; }
  const UIAlertViewClickBlock& block() const { return block_; }

 private:
  const UIAlertViewClickBlock block_;
};

}  // namespace

UIAlertViewClickBlock clickBlock(const plat::UIAlertViewRef& alertView) {
  if (!alertView) return {};
  auto box = std::dynamic_pointer_cast<ClickBlockBox>(
      plat::objc_getAssociatedObject(alertView, &kClickBlockKey).object());
  return box ? box->block() : UIAlertViewClickBlock();
}

void setClickBlock(const plat::UIAlertViewRef& alertView, UIAlertViewClickBlock block) {
  if (!alertView) return;
  plat::Value value;
  if (block)
    value = plat::Value(plat::ObjectRef(std::make_shared<ClickBlockBox>(std::move(block))));
  plat::objc_setAssociatedObject(alertView, &kClickBlockKey, value);
}
