#include "platform/webkit/HTMLDocument.h"

#include <gumbo.h>

#include "platform/foundation/UTF16.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace plat::webkit {

using plat::decodeUTF8;

namespace {

void appendEscapedCodePoint(std::string& out, unsigned code) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", code);
  out += buf;
}

std::string tagName(const GumboElement& el) {
  if (el.tag != GUMBO_TAG_UNKNOWN) return gumbo_normalized_tagname(el.tag);
  GumboStringPiece piece = el.original_tag;
  gumbo_tag_from_original_text(&piece);
  std::string name(piece.data ? piece.data : "", piece.length);
  for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::string nodeText(const GumboNode* node) {
  std::string out;
  if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_CDATA ||
      node->type == GUMBO_NODE_WHITESPACE) {
    return node->v.text.text;
  }
  if (node->type == GUMBO_NODE_ELEMENT) {
    const GumboVector& kids = node->v.element.children;
    for (unsigned i = 0; i < kids.length; ++i) out += nodeText(static_cast<GumboNode*>(kids.data[i]));
  }
  return out;
}

void emit(const GumboNode* node, std::string& json, ParsedDocument& doc) {
  switch (node->type) {
    case GUMBO_NODE_TEXT:
    case GUMBO_NODE_WHITESPACE:
    case GUMBO_NODE_CDATA:
      json += "{\"t\":\"x\",\"v\":" + jsonQuote(node->v.text.text) + "}";
      return;
    case GUMBO_NODE_COMMENT:
      json += "{\"t\":\"c\",\"v\":" + jsonQuote(node->v.text.text) + "}";
      return;
    case GUMBO_NODE_ELEMENT:
    case GUMBO_NODE_TEMPLATE: {
      const GumboElement& el = node->v.element;
      std::string name = tagName(el);
      json += "{\"t\":\"e\",\"n\":" + jsonQuote(name) + ",\"a\":{";
      for (unsigned i = 0; i < el.attributes.length; ++i) {
        auto attr = static_cast<const GumboAttribute*>(el.attributes.data[i]);
        if (i) json += ",";
        json += jsonQuote(attr->name) + ":" + jsonQuote(attr->value);
      }
      json += "},\"c\":[";
      bool first = true;
      for (unsigned i = 0; i < el.children.length; ++i) {
        std::string part;
        emit(static_cast<const GumboNode*>(el.children.data[i]), part, doc);
        if (part.empty()) continue;
        if (!first) json += ",";
        first = false;
        json += part;
      }
      json += "]}";
      if (el.tag == GUMBO_TAG_SCRIPT) {
        const GumboAttribute* type = gumbo_get_attribute(&el.attributes, "type");
        std::string t = type ? type->value : "";
        for (auto& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        bool classic = t.empty() || t == "text/javascript" || t == "application/javascript" ||
                       t == "application/x-javascript" || t == "text/ecmascript";
        if (classic) {
          PageScript s;
          if (const GumboAttribute* src = gumbo_get_attribute(&el.attributes, "src")) {
            s.external = true;
            s.src = src->value;
          } else {
            s.source = nodeText(node);
          }
          doc.scripts.push_back(std::move(s));
        }
      } else if (el.tag == GUMBO_TAG_TITLE && doc.title.empty()) {
        doc.title = nodeText(node);
      }
      return;
    }
    default:
      return;
  }
}

}  // namespace

std::string jsonQuote(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  auto p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20 || c == 0x7f) appendEscapedCodePoint(out, c);
          else out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    size_t next = i;
    bool valid = true;
    uint32_t cp = decodeUTF8(text, next, &valid);
    if (!valid) {
      appendEscapedCodePoint(out, c);  // a stray byte stands for the character of its value
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      // Outside the BMP: written as a surrogate pair so script sees two UTF-16 units.
      cp -= 0x10000;
      appendEscapedCodePoint(out, 0xD800 + (cp >> 10));
      appendEscapedCodePoint(out, 0xDC00 + (cp & 0x3FF));
    } else if (cp == 0x2028 || cp == 0x2029) {
      // Escaped so the text is also a valid script literal.
      appendEscapedCodePoint(out, cp);
    } else {
      out.append(text, i, next - i);
    }
    i = next;
  }
  out += '"';
  return out;
}

ParsedDocument parseHTMLDocument(const std::string& html) {
  ParsedDocument doc;
  GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size());
  std::string json = "[";
  const GumboVector& kids = output->document->v.document.children;
  for (unsigned i = 0; i < kids.length; ++i) {
    std::string part;
    emit(static_cast<const GumboNode*>(kids.data[i]), part, doc);
    if (part.empty()) continue;
    if (json.size() > 1) json += ",";
    json += part;
  }
  json += "]";
  doc.treeJSON = std::move(json);
  // The title as a page reads it: white space stripped and collapsed.
  std::string title;
  for (char c : doc.title) {
    bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
    if (space) {
      if (!title.empty() && title.back() != ' ') title += ' ';
    } else {
      title += c;
    }
  }
  if (!title.empty() && title.back() == ' ') title.pop_back();
  doc.title = std::move(title);
  gumbo_destroy_output(&kGumboDefaultOptions, output);
  return doc;
}

}  // namespace plat::webkit
