#include "KRH5Plugin/IOSPluginScript.h"

#include "KRH5Plugin/IOSPluginSupport.h"

namespace {

std::string quoted(const std::string& text) { return "'" + IOSPluginEscapeScriptString(text) + "'"; }

}  // namespace

std::string IOSPluginScriptSource(const std::string& objectPath, const std::string& initLine,
                                  const std::string& handler,
                                  const std::vector<IOSPluginScriptMethod>& methods) {
  std::string s = "(function () {\n  var callbacks = Object.create(null);\n";
  // The object: a plain name is reused when the page has it; along a dotted path the parents
  // are created when absent and the object is new.
  size_t dot = objectPath.rfind('.');
  if (dot == std::string::npos) {
    s += "  var obj = window." + objectPath + " || {};\n  window." + objectPath + " = obj;\n";
  } else {
    std::string path = "window";
    size_t start = 0;
    while (true) {
      size_t next = objectPath.find('.', start);
      if (next == std::string::npos) break;
      path += "." + objectPath.substr(start, next - start);
      s += "  " + path + " = " + path + " || {};\n";
      start = next + 1;
    }
    s += "  var obj = {};\n  window." + objectPath + " = obj;\n";
  }
  s += "  console.log(" + quoted(initLine) + ");\n";
  s += "  function post(handler, data) { window.webkit.messageHandlers[handler].postMessage(data); }\n";
  for (const auto& m : methods) {
    std::vector<std::string> names;
    for (size_t i = 0; i < m.params.size(); ++i) {
      names.push_back(m.params[i] == "function" ? "cbFunc" + std::to_string(i)
                                                : "param" + std::to_string(i));
    }
    s += "  obj." + m.name + " = function (";
    for (size_t i = 0; i < names.size(); ++i) s += (i ? ", " : "") + names[i];
    s += ") {\n";
    if (!names.empty()) {
      s += "    if (";
      for (size_t i = 0; i < names.size(); ++i) {
        s += (i ? " || " : "") + std::string("typeof ") + names[i] + " !== " + quoted(m.params[i]);
      }
      s += ") {\n      console.warn(" + quoted(objectPath + "." + m.name + " param error") +
           ");\n      return;\n    }\n";
    }
    std::string args;
    for (size_t i = 0; i < names.size(); ++i) {
      if (m.params[i] == "function") {
        s += "    callbacks[" + quoted(m.callback) + "] = " + names[i] + ";\n";
      } else if (args.empty()) {
        args = m.params[i] == "object" ? "JSON.stringify(" + names[i] + ")" : names[i];
      }
    }
    s += "    post(" + quoted(m.handler.empty() ? handler : m.handler) + ", {name: " +
         quoted(m.message.empty() ? m.name : m.message) + (args.empty() ? "" : ", args: " + args) +
         "});\n  };\n";
  }
  s += "  obj.SetCallback = function (table) {\n"
       "    if (typeof table !== 'object' || table === null) {\n"
       "      console.warn(" + quoted(objectPath + ".SetCallback param error") + ");\n"
       "      return;\n    }\n"
       "    for (var k in table) if (typeof table[k] === 'function') callbacks[k] = table[k];\n"
       "  };\n"
       "  obj.CallFunc = function (name, args) {\n"
       "    var f = callbacks[name];\n"
       "    if (typeof f !== 'function') {\n"
       "      console.warn(" + quoted(objectPath + ".CallFunc ") + " + name + ' not exist');\n"
       "      return;\n    }\n"
       "    if (Array.isArray(args)) f.apply(null, args);\n"
       "    else f(args);\n"
       "  };\n})();\n";
  return s;
}

std::optional<std::string> IOSPluginMessage::text() const {
  if (const std::string* s = args.string()) return *s;
  return std::nullopt;
}

std::optional<IOSPluginMessage> IOSPluginReadMessage(const plat::WKScriptMessageRef& message) {
  if (!message) return std::nullopt;
  const plat::Dictionary* body = message->body().dictionary();
  if (!body) return std::nullopt;
  const std::string* name = body->get("name").string();
  if (!name) return std::nullopt;
  return IOSPluginMessage{*name, body->get("args")};
}
