// Response heads from a server, line by line as libcurl hands them over: the parser reads any
// bytes without a crash, and a head it completes holds fields the engine can trust (names
// without white space or controls, values without line breaks, one Content-Length of digits).
// The request-line writer never writes a line break either.

#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/network/HTTPHeaderParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  plat::detail::HTTPHeaderParser parser;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    auto event = parser.addLine(std::string_view(text).substr(start, end - start));
    start = end;
    if (event == plat::detail::HTTPHeaderParser::Event::kRefused) {
      FUZZ_CHECK(!parser.refusal().empty(), text);
      break;
    }
    if (event != plat::detail::HTTPHeaderParser::Event::kComplete) continue;
    const plat::HTTPHeaderFields fields = parser.takeFields();
    for (const auto& [name, value] : fields.fields()) {
      FUZZ_CHECK(
          !name.empty() && name.find_first_of(std::string(" \t\r\n:\0", 6)) == std::string::npos,
          text);
      FUZZ_CHECK(value.find_first_of("\r\n") == std::string::npos, text);
    }
    if (auto length = fields.get("Content-Length")) {
      FUZZ_CHECK(
          !length->empty() && length->find_first_not_of("0123456789, \t") == std::string::npos,
          text);
    }
  }
  auto slash = text.find('/');
  std::string name = text.substr(0, slash == std::string::npos ? 0 : slash);
  if (auto line = plat::detail::requestHeaderLine(name, text)) {
    FUZZ_CHECK(line->find_first_of(std::string("\r\n\0", 3)) == std::string::npos, text);
  }
  return 0;
}
