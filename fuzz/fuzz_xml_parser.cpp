// The XML parser over arbitrary documents, with and without namespace processing: parsing
// never crashes, start and end events balance on success, nesting never passes the limit,
// and a failed parse reports its error once.

#include <memory>

#include "fuzz/FuzzSupport.h"
#include "platform/foundation/NSXMLParser.h"

namespace {

struct Checker : plat::NSXMLParserDelegate {
  int depth = 0;
  int deepest = 0;
  int errors = 0;
  size_t text = 0;
  void parserDidStartElementNamespaceURIQualifiedNameAttributes(
      plat::NSXMLParser&, const std::string&, const std::string&, const std::string&,
      const plat::Dictionary& attributes) override {
    deepest = std::max(deepest, ++depth);
    text += attributes.size();
  }
  void parserDidEndElementNamespaceURIQualifiedName(plat::NSXMLParser&, const std::string&,
                                                    const std::string&, const std::string&) override {
    --depth;
  }
  void parserFoundCharacters(plat::NSXMLParser&, const std::string& s) override { text += s.size(); }
  void parserFoundCDATA(plat::NSXMLParser&, const plat::Data& d) override { text += d.length(); }
  void parserParseErrorOccurred(plat::NSXMLParser&, const plat::NSErrorRef&) override { ++errors; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool namespaces : {false, true}) {
    auto parser = plat::NSXMLParser::initWithData(plat::Data(data, size));
    auto checker = std::make_shared<Checker>();
    parser->setDelegate(checker);
    parser->setShouldProcessNamespaces(namespaces);
    parser->setShouldReportNamespacePrefixes(namespaces);
    const bool ok = parser->parse();
    FUZZ_CHECK(ok == !parser->parserError(), "result and error disagree");
    FUZZ_CHECK(checker->deepest <= plat::NSXMLParser::kMaxDepth, "nesting passed the limit");
    if (ok) {
      FUZZ_CHECK(checker->depth == 0, "start and end events do not balance");
      FUZZ_CHECK(checker->errors == 0, "an error was reported for a well-formed document");
    } else {
      FUZZ_CHECK(checker->errors == 1, "a failed parse must report its error once");
    }
  }
  return 0;
}
