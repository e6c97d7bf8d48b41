// The HTTP response serializers (plain, JSON, property list, image and compound) over arbitrary
// status codes, content types and bodies:
// validation and parsing never crash, and a parsed JSON object survives the removal of null
// values.

#include "fuzz/FuzzSupport.h"
#include "net/SDPCompoundResponseSerializer.h"
#include "net/SDPImageResponseSerializer.h"
#include "net/SDPJSONResponseSerializer.h"
#include "net/SDPPropertyListResponseSerializer.h"
#include "platform/network/NSURLResponse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t choice = in.byte();
  static const int64_t kStatus[] = {200, 201, 204, 206, 299, 300, 304, 404, 500, 100, 0, -1, 999};
  const int64_t status = kStatus[in.byte() % (sizeof kStatus / sizeof kStatus[0])];
  std::string contentType(in.field());
  std::string encoding(in.field());
  plat::Data body(in.rest().data(), in.rest().size());

  plat::HTTPHeaderFields headers;
  if (!contentType.empty()) headers.set("Content-Type", contentType);
  if (!encoding.empty()) headers.set("Content-Encoding", encoding);
  headers.set("Content-Length", std::to_string(body.length()));
  auto response = plat::NSHTTPURLResponse::make("http://127.0.0.1/r", status, headers);

  auto json = SDPJSONResponseSerializer::serializerWithReadingOptions(choice >> 4 & 0x7);
  json->setRemovesKeysWithNullValues(choice & 0x4);
  auto plist = SDPPropertyListResponseSerializer::serializer();
  auto http = SDPHTTPResponseSerializer::serializer();
  auto image = SDPImageResponseSerializer::serializer();
  image->setAutomaticallyInflatesResponseImage(choice & 0x10);
  if (choice & 0x80) {
    // Any status and any type: every body reaches the parsers.
    for (auto s : {std::static_pointer_cast<SDPHTTPResponseSerializer>(json),
                   std::static_pointer_cast<SDPHTTPResponseSerializer>(plist),
                   std::static_pointer_cast<SDPHTTPResponseSerializer>(image), http}) {
      s->setAcceptableStatusCodes(std::nullopt);
      s->setAcceptableContentTypes(std::nullopt);
    }
  }
  SDPURLResponseSerializationRef serializer;
  switch (choice & 0x3) {
    case 0: serializer = choice & 0x4 ? std::static_pointer_cast<SDPHTTPResponseSerializer>(image)
                                      : http;
            break;
    case 1: serializer = json; break;
    case 2: serializer = plist; break;
    default:
      serializer = SDPCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
          {json, plist, image, http});
  }
  const bool withErrorSlot = choice & 0x8;
  plat::NSErrorRef error;
  plat::Value object = serializer->responseObjectForResponseDataError(
      response, body.empty() && (choice & 0x40) ? nullptr : &body, withErrorSlot ? &error : nullptr);
  (void)object.description();
  if (error) (void)error->localizedDescription();
  return 0;
}
