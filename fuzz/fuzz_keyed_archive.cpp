// The keyed unarchiver over arbitrary bytes, with the HTTP client's archivable classes (but the
// session managers, which live until their session is invalidated), URLs, session
// configurations and models registered: decoding never crashes, and whatever decodes can be
// used (serializers answer a response, request serializers build a request) and archived again.

#include <tuple>

#include "fuzz/FuzzSupport.h"
#include "net/SDPCompoundResponseSerializer.h"
#include "net/SDPImageResponseSerializer.h"
#include "net/SDPHTTPRequestSerializer.h"
#include "net/SDPJSONRequestSerializer.h"
#include "net/SDPJSONResponseSerializer.h"
#include "net/SDPPropertyListRequestSerializer.h"
#include "net/SDPPropertyListResponseSerializer.h"
#include "net/SDPSecurityPolicy.h"
#include "net/SDPXMLParserResponseSerializer.h"
#include "net/model/HVKeyValue.h"
#include "net/model/NSObject+HVCoding.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/network/NSURLResponse.h"
#include "platform/network/NSURLSessionConfiguration.h"

namespace {

// Keeps the archivable classes (which register themselves) linked in.
[[maybe_unused]] const auto kClasses = std::make_tuple(
    &SDPCompoundResponseSerializer::compoundSerializerWithResponseSerializers,
    &SDPJSONResponseSerializer::serializer, &SDPPropertyListResponseSerializer::serializer,
    &SDPJSONRequestSerializer::serializer, &SDPPropertyListRequestSerializer::serializer,
    &SDPSecurityPolicy::defaultPolicy, &SDPXMLParserResponseSerializer::serializer,
    &SDPImageResponseSerializer::serializer,
    &plat::NSURLSessionConfiguration::defaultSessionConfiguration, &plat::NSURL::URLWithString);

// Archivable models: scalars, text, a nested model of its own class and a typed array.
class FzPet : public plat::NSObject, public plat::NSCoding {
 public:
  std::string name;
  int32_t legs = 0;
  HV_MODEL(FzPet, plat::NSObject, PLAT_PROPERTY(name), PLAT_PROPERTY(legs))
  HV_CODING_IMPLEMENTATION
};

class FzAccount : public plat::NSObject, public plat::NSCoding {
 public:
  std::string name;
  int64_t age = 0;
  double score = 0;
  bool vip = false;
  plat::Dictionary extra;
  std::shared_ptr<FzPet> pet;
  std::vector<std::shared_ptr<FzPet>> pets;
  HV_MODEL(FzAccount, plat::NSObject, PLAT_PROPERTY(name), PLAT_PROPERTY(age),
           PLAT_PROPERTY(score), PLAT_PROPERTY(vip), PLAT_PROPERTY(extra), PLAT_PROPERTY(pet),
           PLAT_PROPERTY(pets))
  HV_CODING_IMPLEMENTATION
};

void use(const plat::Value& value, int depth) {
  if (depth > 8) return;
  if (const plat::Array* items = value.array()) {
    for (const auto& item : *items) use(item, depth + 1);
    return;
  }
  if (const plat::Dictionary* dict = value.dictionary()) {
    for (const auto& [key, item] : *dict) use(item, depth + 1);
    return;
  }
  if (auto serializer = value.objectAs<SDPHTTPResponseSerializer>()) {
    plat::HTTPHeaderFields headers;
    headers.set("Content-Type", "application/json");
    auto response = plat::NSHTTPURLResponse::make("http://127.0.0.1/a", 200, headers);
    plat::Data body = plat::Data::fromString("{\"a\":[1]}");
    plat::NSErrorRef error;
    (void)serializer->responseObjectForResponseDataError(response, &body, &error);
    (void)serializer->copyWithZone();
  }
  if (value.objectAs<FzAccount>() || value.objectAs<FzPet>()) {
    (void)kv_keyValues(value);
    (void)kv_JSONString(value);
  }
  if (auto serializer = value.objectAs<SDPHTTPRequestSerializer>()) {
    plat::NSErrorRef error;
    (void)serializer->requestWithMethodURLStringParametersError(
        "POST", "http://127.0.0.1/p", plat::Value(plat::Dictionary{{"k", "v"}}), &error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  plat::NSErrorRef error;
  plat::Value root = plat::NSKeyedUnarchiver::unarchiveObjectWithData(plat::Data(data, size), &error);
  if (root.isNil()) return 0;
  (void)root.description();
  use(root, 0);
  plat::NSErrorRef archiveError;
  plat::Data again = plat::NSKeyedArchiver::archivedDataWithRootObject(root, &archiveError);
  if (!archiveError) {
    plat::NSErrorRef rereadError;
    plat::Value reread = plat::NSKeyedUnarchiver::unarchiveObjectWithData(again, &rereadError);
    FUZZ_CHECK(!rereadError, rereadError->localizedDescription());
  }
  return 0;
}
