// The query-string encoder and the request serializers over arbitrary nested values (read
// from JSON, or from a property list for data, dates and booleans): encoding never crashes and
// the query text holds only unreserved characters, escapes and the pair separators.

#include "fuzz/FuzzSupport.h"
#include "net/SDPHTTPRequestSerializer.h"
#include "net/SDPJSONRequestSerializer.h"
#include "net/SDPPropertyListRequestSerializer.h"
#include "net/SDPQueryStringPair.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace {

bool queryByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-._~/?%=&").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t choice = in.byte();
  std::string_view text = in.rest();
  plat::Value parameters =
      choice & 0x1 ? plat::NSPropertyListSerialization::propertyListWithData(
                         plat::Data(text.data(), text.size()))
                   : plat::NSJSONSerialization::JSONObjectWithString(
                         text, plat::NSJSONSerialization::NSJSONReadingFragmentsAllowed);
  if (parameters.isNil()) return 0;

  std::string query = SDPJoinQueryPairs(parameters);
  for (unsigned char c : query) FUZZ_CHECK(queryByte(c), query);
  // Escapes in another encoding (Shift-JIS: multi-byte forms with ASCII-looking bytes).
  if (auto inEncoding = SDPJoinQueryPairsInEncoding(parameters, 8)) {
    for (unsigned char c : *inEncoding) FUZZ_CHECK(queryByte(c), *inEncoding);
  }

  std::shared_ptr<SDPHTTPRequestSerializer> serializer;
  switch (choice >> 1 & 0x3) {
    case 0: serializer = SDPHTTPRequestSerializer::serializer(); break;
    case 1: serializer = SDPJSONRequestSerializer::serializer(); break;
    default: serializer = SDPPropertyListRequestSerializer::serializer(); break;
  }
  if (choice & 0x8) serializer->setStringEncoding(choice & 0x40 ? 5 : 1);  // Latin-1, ASCII
  const char* method = choice & 0x10 ? "POST" : "GET";
  plat::NSErrorRef error;
  auto request = serializer->requestWithMethodURLStringParametersError(
      method, "http://127.0.0.1/path?x=1", parameters, &error);
  // No request means an error (a JSON body that cannot be written comes with the request).
  FUZZ_CHECK(request || error, query);
  if (choice & 0x20) {
    plat::NSErrorRef formError;
    (void)serializer->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
        "POST", "http://127.0.0.1/upload", parameters, nullptr, &formError);
  }
  return 0;
}
