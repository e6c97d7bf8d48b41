#pragma once
// Parses an HTML document (gumbo) into what a page world needs: the element tree as JSON for
// the script side's document, the title, and the page's classic scripts in document order.
// Thread-safety: pure functions.

#include <string>
#include <vector>

namespace plat::webkit {

struct PageScript {
  std::string src;     // the src attribute as written (empty for an inline script)
  std::string source;  // inline source (empty for an external script)
  bool external = false;
};

struct ParsedDocument {
  std::string treeJSON;  // array of top-level nodes: {"t":"e","n":tag,"a":{...},"c":[...]} | {"t":"x"|"c","v":text}
  std::string title;
  std::vector<PageScript> scripts;
};

ParsedDocument parseHTMLDocument(const std::string& html);

// `text` as a JSON string literal. Valid UTF-8 is kept; each byte of an invalid sequence is
// taken as the character of the same code (U+0080..U+00FF), so any bytes can be passed.
std::string jsonQuote(const std::string& text);

}  // namespace plat::webkit
