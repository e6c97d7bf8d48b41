// The XML parser: the events a delegate sees, namespaces, errors and their positions, and
// the limits that keep documents from outside harmless (external entities, entity
// expansion, nesting depth).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/NSXMLParser.h"

using namespace plat;

namespace {

// Records every event as one line of text.
struct Recorder : NSXMLParserDelegate {
  std::vector<std::string> events;
  std::string abortAt;  // element name whose start aborts the parse
  NSErrorRef reported;

  void parserDidStartDocument(NSXMLParser&) override { events.push_back("begin"); }
  void parserDidEndDocument(NSXMLParser&) override { events.push_back("end"); }
  void parserDidStartElementNamespaceURIQualifiedNameAttributes(
      NSXMLParser& parser, const std::string& name, const std::string& uri,
      const std::string& qualified, const Dictionary& attributes) override {
    std::string line = "<" + name;
    if (!uri.empty()) line += " {" + uri + "} " + qualified;
    for (const auto& [key, value] : attributes) line += " " + key + "=" + (value.string() ? *value.string() : "?");
    events.push_back(line + ">");
    if (name == abortAt) parser.abortParsing();
  }
  void parserDidEndElementNamespaceURIQualifiedName(NSXMLParser&, const std::string& name,
                                                    const std::string&, const std::string&) override {
    events.push_back("</" + name + ">");
  }
  void parserDidStartMappingPrefixToURI(NSXMLParser&, const std::string& prefix,
                                        const std::string& uri) override {
    events.push_back("map " + prefix + "=" + uri);
  }
  void parserFoundCharacters(NSXMLParser&, const std::string& text) override {
    // Runs may come in pieces: join adjacent text.
    if (!events.empty() && events.back().rfind("text:", 0) == 0) {
      events.back() += text;
    } else {
      events.push_back("text:" + text);
    }
  }
  void parserFoundCDATA(NSXMLParser&, const Data& block) override {
    events.push_back("cdata:" + std::string(reinterpret_cast<const char*>(block.bytes()), block.length()));
  }
  void parserFoundComment(NSXMLParser&, const std::string& comment) override {
    events.push_back("comment:" + comment);
  }
  void parserFoundProcessingInstructionWithTargetData(NSXMLParser&, const std::string& target,
                                                      const std::string& data) override {
    events.push_back("pi:" + target + " " + data);
  }
  void parserParseErrorOccurred(NSXMLParser&, const NSErrorRef& error) override {
    events.push_back("error");
    reported = error;
  }
};

struct Parsed {
  bool ok;
  NSErrorRef error;
  std::shared_ptr<Recorder> recorder;
};

Parsed parse(const std::string& xml, bool namespaces = false) {
  auto parser = NSXMLParser::initWithData(Data::fromString(xml));
  auto recorder = std::make_shared<Recorder>();
  parser->setDelegate(recorder);
  parser->setShouldProcessNamespaces(namespaces);
  parser->setShouldReportNamespacePrefixes(namespaces);
  bool ok = parser->parse();
  return {ok, parser->parserError(), recorder};
}

}  // namespace

TEST(XMLParserTest, ReportsElementsTextCDATACommentsAndInstructionsInOrder) {
  auto r = parse(
      "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY who \"world\">]>"
      "<r a=\"1\" b='&lt;2&gt;'><?go now?><!--note-->hi &who; &#x4e2d;<![CDATA[<raw>&amp;]]><e/></r>");
  ASSERT_TRUE(r.ok) << r.error->description();
  EXPECT_EQ(r.recorder->events,
            (std::vector<std::string>{"begin", "<r a=1 b=<2>>", "pi:go now", "comment:note",
                                      "text:hi world \u4e2d", "cdata:<raw>&amp;", "<e>", "</e>",
                                      "</r>", "end"}));
}

TEST(XMLParserTest, NamespacesAreSplitWhenAsked) {
  const std::string xml = "<p:r xmlns:p=\"urn:x\" p:k=\"v\"><p:c/></p:r>";
  auto plain = parse(xml);
  ASSERT_TRUE(plain.ok);
  EXPECT_EQ(plain.recorder->events[1], "<p:r xmlns:p=urn:x p:k=v>");

  auto split = parse(xml, true);
  ASSERT_TRUE(split.ok);
  EXPECT_EQ(split.recorder->events,
            (std::vector<std::string>{"begin", "map p=urn:x", "<r {urn:x} p:r k=v>", "<c {urn:x} p:c>",
                                      "</c>", "</r>", "end"}));
}

TEST(XMLParserTest, MalformedDocumentsFailOnceWithAPositionedError) {
  struct Case {
    std::string xml;
    int64_t code;
  } cases[] = {
      {"", NSXMLParserEmptyDocumentError},
      {"<a><b></a>", NSXMLParserTagNameMismatchError},
      {"<a>", NSXMLParserPrematureDocumentEndError},
      {"<a/><b/>", NSXMLParserNotWellBalancedError},
      {"<a>&nope;</a>", NSXMLParserUndeclaredEntityError},
  };
  for (const auto& c : cases) {
    auto r = parse(c.xml);
    EXPECT_FALSE(r.ok) << c.xml;
    ASSERT_TRUE(r.error) << c.xml;
    EXPECT_EQ(r.error->domain(), NSXMLParserErrorDomain);
    EXPECT_EQ(r.error->code(), c.code) << c.xml << ": " << r.error->description();
    EXPECT_EQ(r.recorder->events.back(), "error") << c.xml;
    EXPECT_EQ(r.recorder->reported, r.error);
  }
  auto parser = NSXMLParser::initWithData(Data::fromString("<a>\n  <b></c>\n</a>"));
  EXPECT_FALSE(parser->parse());
  EXPECT_EQ(parser->lineNumber(), 2);
  // A parser parses once.
  EXPECT_FALSE(parser->parse());
  EXPECT_EQ(parser->parserError()->code(), NSXMLParserInternalError);
}

TEST(XMLParserTest, DelegateAbortStopsTheParse) {
  auto parser = NSXMLParser::initWithData(Data::fromString("<a><stop/><after/></a>"));
  auto recorder = std::make_shared<Recorder>();
  recorder->abortAt = "stop";
  parser->setDelegate(recorder);
  EXPECT_FALSE(parser->parse());
  EXPECT_EQ(parser->parserError()->code(), NSXMLParserDelegateAbortedParseError);
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"begin", "<a>", "<stop>"}));
}

TEST(XMLParserTest, OutsideDocumentsCannotReachFilesOrExhaustTheProcess) {
  // An external entity is never loaded: its reference is skipped.
  auto external = parse(
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>[&x;]</r>");
  EXPECT_TRUE(external.ok);
  for (const auto& e : external.recorder->events) EXPECT_EQ(e.find("root:"), std::string::npos);
  EXPECT_EQ(external.recorder->events[2], "text:[]");

  // Exponential entity expansion is refused.
  std::string laughs = "<!DOCTYPE r [<!ENTITY a0 \"lollollollollollollollollollol\">";
  for (int i = 1; i <= 9; ++i) {
    laughs += "<!ENTITY a" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&a" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  laughs += "]><r>&a9;</r>";
  auto bomb = parse(laughs);
  EXPECT_FALSE(bomb.ok);

  // Nesting is limited; a document at the limit still parses.
  auto nested = [](int depth) {
    std::string xml;
    for (int i = 0; i < depth; ++i) xml += "<a>";
    for (int i = 0; i < depth; ++i) xml += "</a>";
    return xml;
  };
  EXPECT_TRUE(parse(nested(NSXMLParser::kMaxDepth)).ok);
  auto deep = parse(nested(100000));
  EXPECT_FALSE(deep.ok);
  EXPECT_EQ(deep.error->code(), NSXMLParserInternalError);
}
