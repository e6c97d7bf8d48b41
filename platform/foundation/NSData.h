#pragma once
// plat::NSData: an object holding bytes, for places that need bytes with identity (an object
// that can carry associated objects). Immutable after creation; safe to share between threads.

#include <memory>

#include "platform/foundation/Data.h"
#include "platform/foundation/Object.h"

namespace plat {

class NSData : public Object {
 public:
  explicit NSData(Data bytes) : bytes_(std::move(bytes)) {}
  static std::shared_ptr<NSData> dataWithData(Data bytes) {
    return std::make_shared<NSData>(std::move(bytes));
  }

  std::string className() const override { return "NSData"; }
  bool isEqual(const Object& other) const override {
    auto* o = dynamic_cast<const NSData*>(&other);
    return o && o->bytes_ == bytes_;
  }

  const Data& data() const { return bytes_; }
  size_t length() const { return bytes_.length(); }

 private:
  const Data bytes_;
};

}  // namespace plat
