#include "net/SDPCompoundResponseSerializer.h"

#include <unordered_set>
#include <vector>

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

namespace {
const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass(
      "SDPCompoundResponseSerializer", [] { return std::make_shared<SDPCompoundResponseSerializer>(); },
      {"SDPHTTPResponseSerializer"});
  return true;
}();
// Whether `member` is `target` or holds it somewhere among its (nested) members. Walked
// without recursion and each compound once, so deep or widely shared nesting stays cheap.
bool reaches(const SDPURLResponseSerialization* member, const SDPURLResponseSerialization* target) {
  std::vector<const SDPURLResponseSerialization*> pending{member};
  std::unordered_set<const SDPURLResponseSerialization*> seen;
  while (!pending.empty()) {
    const SDPURLResponseSerialization* next = pending.back();
    pending.pop_back();
    if (next == target) return true;
    auto compound = dynamic_cast<const SDPCompoundResponseSerializer*>(next);
    if (!compound || !seen.insert(next).second) continue;
    for (const auto& inner : compound->responseSerializers()) pending.push_back(inner.get());
  }
  return false;
}

}  // namespace

void SDPCompoundResponseSerializer::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  SDPHTTPResponseSerializer::encodeWithCoder(coder);
  plat::Array members;
  for (const auto& member : responseSerializers_) {
    if (auto object = std::dynamic_pointer_cast<plat::Object>(member);
        object && std::dynamic_pointer_cast<plat::NSCoding>(member)) {
      members.emplace_back(object);
    }
  }
  coder.encodeObjectForKey(plat::Value(std::move(members)), "responseSerializers");
}

bool SDPCompoundResponseSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  if (!SDPHTTPResponseSerializer::initWithCoder(coder)) return false;
  responseSerializers_.clear();
  plat::Value members = coder.decodeObjectForKey("responseSerializers");
  if (const plat::Array* list = members.array()) {
    for (const auto& member : *list) {
      auto serializer = member.objectAs<SDPHTTPResponseSerializer>();
      // A damaged or hostile archive may list this serializer among its own members, directly
      // or through another compound: that member is refused, as using it would recurse without
      // end (and the cycle would never be freed).
      if (serializer && !reaches(serializer.get(), this)) responseSerializers_.push_back(serializer);
    }
  }
  return true;
}

SDPCompoundResponseSerializer::SDPCompoundResponseSerializer() {
  setAcceptableContentTypes(std::nullopt);
}

std::shared_ptr<SDPCompoundResponseSerializer>
SDPCompoundResponseSerializer::compoundSerializerWithResponseSerializers(Serializers serializers) {
  auto s = std::make_shared<SDPCompoundResponseSerializer>();
  s->setResponseSerializers(std::move(serializers));
  return s;
}

plat::Value SDPCompoundResponseSerializer::responseObjectForResponseDataError(
    const plat::NSURLResponseRef& response, const plat::Data* data, plat::NSErrorRef* error) const {
  for (const auto& member : responseSerializers_) {
    if (!dynamic_cast<const SDPHTTPResponseSerializer*>(member.get())) continue;
    plat::NSErrorRef memberError;
    plat::Value object = member->responseObjectForResponseDataError(response, data, &memberError);
    if (!object.isNil()) {
      if (error) *error = SDPAttachUnderlyingError(memberError, *error);
      return object;
    }
  }
  return SDPHTTPResponseSerializer::responseObjectForResponseDataError(response, data, error);
}

std::shared_ptr<SDPURLResponseSerialization> SDPCompoundResponseSerializer::copyWithZone() const {
  return compoundSerializerWithResponseSerializers(responseSerializers_);
}
