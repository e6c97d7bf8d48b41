#pragma once
// plat::NSXMLParser: an event-driven (SAX) XML parser over a document held in memory, calling
// its delegate for each start and end tag, run of text, CDATA section, comment and
// processing instruction, and once for a parse error. Backed by expat.
//
// Safe for documents from outside: external entities (and external DTD subsets) are never
// loaded, internal entity expansion is bounded by expat's amplification limit, and elements
// nested deeper than kMaxDepth stop the parse with NSXMLParserInternalError.
//
// Thread-safety: one parser is used by one thread at a time; parse() calls the delegate on
// the calling thread.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat {

inline constexpr const char* NSXMLParserErrorDomain = "NSXMLParserErrorDomain";
// NSXMLParserErrorDomain codes (the platform's numbering).
inline constexpr int64_t NSXMLParserInternalError = 1;
inline constexpr int64_t NSXMLParserOutOfMemoryError = 2;
inline constexpr int64_t NSXMLParserEmptyDocumentError = 4;
inline constexpr int64_t NSXMLParserPrematureDocumentEndError = 5;
inline constexpr int64_t NSXMLParserInvalidCharacterError = 9;
inline constexpr int64_t NSXMLParserUndeclaredEntityError = 26;
inline constexpr int64_t NSXMLParserTagNameMismatchError = 76;
inline constexpr int64_t NSXMLParserNotWellBalancedError = 85;
inline constexpr int64_t NSXMLParserDelegateAbortedParseError = 512;

class NSXMLParser;

// Every operation is optional (no-op by default).
class NSXMLParserDelegate {
 public:
  virtual ~NSXMLParserDelegate() = default;
  virtual void parserDidStartDocument(NSXMLParser& parser) {}
  virtual void parserDidEndDocument(NSXMLParser& parser) {}
  // `namespaceURI` and `qualifiedName` are empty unless shouldProcessNamespaces; then
  // `elementName` is the local name. Attributes map names to values (strings).
  virtual void parserDidStartElementNamespaceURIQualifiedNameAttributes(
      NSXMLParser& parser, const std::string& elementName, const std::string& namespaceURI,
      const std::string& qualifiedName, const Dictionary& attributes) {}
  virtual void parserDidEndElementNamespaceURIQualifiedName(NSXMLParser& parser,
                                                            const std::string& elementName,
                                                            const std::string& namespaceURI,
                                                            const std::string& qualifiedName) {}
  // Only with shouldReportNamespacePrefixes (and shouldProcessNamespaces).
  virtual void parserDidStartMappingPrefixToURI(NSXMLParser& parser, const std::string& prefix,
                                                const std::string& namespaceURI) {}
  virtual void parserDidEndMappingPrefix(NSXMLParser& parser, const std::string& prefix) {}
  // Text, in one or more pieces per run (entities already replaced).
  virtual void parserFoundCharacters(NSXMLParser& parser, const std::string& string) {}
  // The whole content of one CDATA section.
  virtual void parserFoundCDATA(NSXMLParser& parser, const Data& CDATABlock) {}
  virtual void parserFoundComment(NSXMLParser& parser, const std::string& comment) {}
  virtual void parserFoundProcessingInstructionWithTargetData(NSXMLParser& parser,
                                                              const std::string& target,
                                                              const std::string& data) {}
  // Once, when the parse fails (not after abortParsing).
  virtual void parserParseErrorOccurred(NSXMLParser& parser, const NSErrorRef& parseError) {}
};

class NSXMLParser : public Object {
 public:
  // Deepest element nesting accepted.
  static constexpr int kMaxDepth = 256;

  // A parser over a copy of `data` (not parsed yet).
  static std::shared_ptr<NSXMLParser> initWithData(const Data& data);
  explicit NSXMLParser(Data data) : data_(std::move(data)) {}
  std::string className() const override { return "NSXMLParser"; }

  const Data& data() const { return data_; }
  // The delegate is held weakly.
  std::shared_ptr<NSXMLParserDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<NSXMLParserDelegate> delegate) { delegate_ = std::move(delegate); }
  bool shouldProcessNamespaces() const { return processNamespaces_; }
  void setShouldProcessNamespaces(bool v) { processNamespaces_ = v; }
  bool shouldReportNamespacePrefixes() const { return reportPrefixes_; }
  void setShouldReportNamespacePrefixes(bool v) { reportPrefixes_ = v; }
  // External entities are never resolved here; the setting is kept for callers that set it.
  bool shouldResolveExternalEntities() const { return false; }
  void setShouldResolveExternalEntities(bool) {}

  // Parses the whole document, calling the delegate. Returns true when the document is
  // well-formed and the delegate did not abort; otherwise parserError() says why. A parser
  // parses once: later calls return false with NSXMLParserInternalError.
  bool parse();
  // From inside a delegate callback: stops the parse, which returns false with
  // NSXMLParserDelegateAbortedParseError. No callback follows.
  void abortParsing();
  // The error of the last parse, or null.
  NSErrorRef parserError() const { return error_; }
  // Position (1-based line, 0-based column) of the event being reported, or of the error.
  int64_t lineNumber() const { return line_; }
  int64_t columnNumber() const { return column_; }

 private:
  struct Run;
  friend struct Run;

  Data data_;
  std::weak_ptr<NSXMLParserDelegate> delegate_;
  bool processNamespaces_ = false;
  bool reportPrefixes_ = false;
  bool used_ = false;
  Run* run_ = nullptr;  // the parse in progress
  NSErrorRef error_;
  int64_t line_ = 0;
  int64_t column_ = 0;
};
using NSXMLParserRef = std::shared_ptr<NSXMLParser>;

}  // namespace plat
