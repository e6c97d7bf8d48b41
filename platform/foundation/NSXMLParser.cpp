#include "platform/foundation/NSXMLParser.h"

#include <expat.h>

#include <algorithm>
#include <cstring>

namespace plat {

namespace {

// Separates namespace URI, local name and prefix in the names expat reports when
// namespaces are processed (a character that cannot occur in a URI or a name).
constexpr char kNamespaceSeparator = '\x01';

struct SplitName {
  std::string uri, local, prefix;
};

SplitName splitName(const char* name) {
  SplitName out;
  std::string text(name);
  size_t a = text.find(kNamespaceSeparator);
  if (a == std::string::npos) {
    out.local = text;
    return out;
  }
  out.uri = text.substr(0, a);
  size_t b = text.find(kNamespaceSeparator, a + 1);
  out.local = text.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
  if (b != std::string::npos) out.prefix = text.substr(b + 1);
  return out;
}

int64_t codeForExpatError(XML_Error error) {
  switch (error) {
    case XML_ERROR_NO_MEMORY:
      return NSXMLParserOutOfMemoryError;
    case XML_ERROR_NO_ELEMENTS:
      return NSXMLParserEmptyDocumentError;
    case XML_ERROR_UNCLOSED_TOKEN:
    case XML_ERROR_PARTIAL_CHAR:
    case XML_ERROR_UNCLOSED_CDATA_SECTION:
      return NSXMLParserPrematureDocumentEndError;
    case XML_ERROR_INVALID_TOKEN:
    case XML_ERROR_BAD_CHAR_REF:
      return NSXMLParserInvalidCharacterError;
    case XML_ERROR_UNDEFINED_ENTITY:
      return NSXMLParserUndeclaredEntityError;
    case XML_ERROR_TAG_MISMATCH:
      return NSXMLParserTagNameMismatchError;
    case XML_ERROR_JUNK_AFTER_DOC_ELEMENT:
      return NSXMLParserNotWellBalancedError;
    default:
      return NSXMLParserInternalError;
  }
}

}  // namespace

struct NSXMLParser::Run {
  NSXMLParser* owner;
  std::shared_ptr<NSXMLParserDelegate> delegate;  // held for the whole parse
  XML_Parser expat = nullptr;
  int depth = 0;
  bool sawElement = false;
  bool aborted = false;
  NSErrorRef failure;  // an error decided here (depth), not by expat
  bool inCDATA = false;
  std::string cdata;

  bool stopped() const { return aborted || failure; }
  void position() {
    owner->line_ = static_cast<int64_t>(XML_GetCurrentLineNumber(expat));
    owner->column_ = static_cast<int64_t>(XML_GetCurrentColumnNumber(expat));
  }
  void stop() { XML_StopParser(expat, XML_FALSE); }

  static Run& of(void* user) { return *static_cast<Run*>(user); }

  static void onStart(void* user, const XML_Char* name, const XML_Char** attributes) {
    Run& r = of(user);
    if (r.stopped()) return;
    r.sawElement = true;
    if (++r.depth > kMaxDepth) {
      r.position();
      r.failure = NSError::make(NSXMLParserErrorDomain, NSXMLParserInternalError,
                                "Excessive depth in document: " + std::to_string(kMaxDepth));
      r.stop();
      return;
    }
    if (!r.delegate) return;
    r.position();
    Dictionary attrs;
    for (size_t i = 0; attributes[i] && attributes[i + 1]; i += 2) {
      attrs.set(r.owner->processNamespaces_ ? splitName(attributes[i]).local : attributes[i],
                std::string(attributes[i + 1]));
    }
    if (r.owner->processNamespaces_) {
      SplitName n = splitName(name);
      std::string qualified = n.prefix.empty() ? n.local : n.prefix + ":" + n.local;
      r.delegate->parserDidStartElementNamespaceURIQualifiedNameAttributes(*r.owner, n.local, n.uri,
                                                                           qualified, attrs);
    } else {
      r.delegate->parserDidStartElementNamespaceURIQualifiedNameAttributes(*r.owner, name, "", "",
                                                                           attrs);
    }
  }

  static void onEnd(void* user, const XML_Char* name) {
    Run& r = of(user);
    if (r.stopped()) return;
    --r.depth;
    if (!r.delegate) return;
    r.position();
    if (r.owner->processNamespaces_) {
      SplitName n = splitName(name);
      std::string qualified = n.prefix.empty() ? n.local : n.prefix + ":" + n.local;
      r.delegate->parserDidEndElementNamespaceURIQualifiedName(*r.owner, n.local, n.uri, qualified);
    } else {
      r.delegate->parserDidEndElementNamespaceURIQualifiedName(*r.owner, name, "", "");
    }
  }

  static void onCharacters(void* user, const XML_Char* text, int length) {
    Run& r = of(user);
    if (r.stopped() || length <= 0) return;
    if (r.inCDATA) {
      r.cdata.append(text, static_cast<size_t>(length));
      return;
    }
    if (!r.delegate) return;
    r.position();
    r.delegate->parserFoundCharacters(*r.owner, std::string(text, static_cast<size_t>(length)));
  }

  static void onStartCDATA(void* user) {
    Run& r = of(user);
    r.inCDATA = true;
    r.cdata.clear();
  }

  static void onEndCDATA(void* user) {
    Run& r = of(user);
    r.inCDATA = false;
    if (r.stopped() || !r.delegate) return;
    r.position();
    Data block(reinterpret_cast<const uint8_t*>(r.cdata.data()), r.cdata.size());
    r.cdata.clear();
    r.delegate->parserFoundCDATA(*r.owner, block);
  }

  static void onComment(void* user, const XML_Char* text) {
    Run& r = of(user);
    if (r.stopped() || !r.delegate) return;
    r.position();
    r.delegate->parserFoundComment(*r.owner, text);
  }

  static void onProcessingInstruction(void* user, const XML_Char* target, const XML_Char* data) {
    Run& r = of(user);
    if (r.stopped() || !r.delegate) return;
    r.position();
    r.delegate->parserFoundProcessingInstructionWithTargetData(*r.owner, target, data ? data : "");
  }

  static void onStartNamespace(void* user, const XML_Char* prefix, const XML_Char* uri) {
    Run& r = of(user);
    if (r.stopped() || !r.delegate || !r.owner->reportPrefixes_) return;
    r.delegate->parserDidStartMappingPrefixToURI(*r.owner, prefix ? prefix : "", uri ? uri : "");
  }

  static void onEndNamespace(void* user, const XML_Char* prefix) {
    Run& r = of(user);
    if (r.stopped() || !r.delegate || !r.owner->reportPrefixes_) return;
    r.delegate->parserDidEndMappingPrefix(*r.owner, prefix ? prefix : "");
  }

  // External entities are never loaded: a reference to one is skipped.
  static int onExternalEntity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*,
                              const XML_Char*) {
    return XML_STATUS_OK;
  }
};

std::shared_ptr<NSXMLParser> NSXMLParser::initWithData(const Data& data) {
  return std::make_shared<NSXMLParser>(data);
}

void NSXMLParser::abortParsing() {
  if (!run_ || run_->stopped()) return;
  run_->aborted = true;
  run_->stop();
}

bool NSXMLParser::parse() {
  if (used_ || run_) {
    error_ = NSError::make(NSXMLParserErrorDomain, NSXMLParserInternalError,
                           "The parser has already parsed its document");
    return false;
  }
  used_ = true;
  error_ = nullptr;

  Run run;
  run.owner = this;
  run.delegate = delegate_.lock();
  // The document's own encoding declaration (or byte-order mark) decides how it is read;
  // the delegate receives UTF-8.
  run.expat = processNamespaces_ ? XML_ParserCreateNS(nullptr, kNamespaceSeparator)
                                 : XML_ParserCreate(nullptr);
  if (!run.expat) {
    error_ = NSError::make(NSXMLParserErrorDomain, NSXMLParserOutOfMemoryError, "Out of memory");
    return false;
  }
  if (processNamespaces_) XML_SetReturnNSTriplet(run.expat, XML_TRUE);
  XML_SetUserData(run.expat, &run);
  XML_SetParamEntityParsing(run.expat, XML_PARAM_ENTITY_PARSING_NEVER);
  XML_SetExternalEntityRefHandler(run.expat, &Run::onExternalEntity);
  XML_SetElementHandler(run.expat, &Run::onStart, &Run::onEnd);
  XML_SetCharacterDataHandler(run.expat, &Run::onCharacters);
  XML_SetCdataSectionHandler(run.expat, &Run::onStartCDATA, &Run::onEndCDATA);
  XML_SetCommentHandler(run.expat, &Run::onComment);
  XML_SetProcessingInstructionHandler(run.expat, &Run::onProcessingInstruction);
  XML_SetNamespaceDeclHandler(run.expat, &Run::onStartNamespace, &Run::onEndNamespace);
  run_ = &run;

  if (run.delegate) run.delegate->parserDidStartDocument(*this);
  bool ok = !run.stopped();
  // Fed in pieces: a document longer than expat's int length is parsed all the same.
  constexpr size_t kChunk = 1 << 20;
  const char* bytes = reinterpret_cast<const char*>(data_.bytes());
  const size_t total = data_.length();
  size_t offset = 0;
  while (ok) {
    const size_t n = std::min(kChunk, total - offset);
    const bool last = offset + n == total;
    if (XML_Parse(run.expat, bytes + offset, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) !=
        XML_STATUS_OK) {
      ok = false;
      break;
    }
    offset += n;
    if (last) break;
  }
  if (run.stopped()) ok = false;

  if (ok) {
    if (run.delegate) run.delegate->parserDidEndDocument(*this);
  } else if (run.aborted) {
    error_ = NSError::make(NSXMLParserErrorDomain, NSXMLParserDelegateAbortedParseError,
                           "The parser was aborted by its delegate");
  } else {
    if (run.failure) {
      error_ = run.failure;
    } else {
      run.position();
      XML_Error code = XML_GetErrorCode(run.expat);
      // "No element found" after an element began means the document ended too early.
      int64_t nsCode = code == XML_ERROR_NO_ELEMENTS && run.sawElement
                           ? NSXMLParserPrematureDocumentEndError
                           : codeForExpatError(code);
      error_ = NSError::make(NSXMLParserErrorDomain, nsCode,
                             std::string(XML_ErrorString(code)) + " (line " +
                                 std::to_string(line_) + ", column " + std::to_string(column_) +
                                 ")");
    }
    if (run.delegate) run.delegate->parserParseErrorOccurred(*this, error_);
  }
  run_ = nullptr;
  XML_ParserFree(run.expat);
  return ok;
}

}  // namespace plat
