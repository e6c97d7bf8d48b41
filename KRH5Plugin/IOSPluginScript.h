#pragma once
// The script object that a bridge plugin injects into every page, built from its method
// table: one immediately invoked function with a private callback table, which creates the
// object (parents of a dotted path too, when absent), writes its init line to the console,
// and defines each command method, SetCallback and CallFunc.
//
// A command method checks the script type of each parameter; on a mismatch it writes
// "<object>.<method> param error" as a console warning and posts nothing. A function
// parameter is stored under the method's callback name. It posts {name, args} to its handler:
// args is the text or number parameter itself, or JSON.stringify of an object parameter;
// absent without one.
//
// Pure functions; any thread.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/webkit/WKUserContentController.h"

struct IOSPluginScriptMethod {
  std::string name;                 // the page method
  std::vector<std::string> params;  // "string", "object", "number" or "function", in order
  std::string callback = {};        // where a function parameter is stored
  std::string message = {};         // the posted "name"; the method name when empty
  std::string handler = {};         // the handler posted to; the object's when empty
};

// `objectPath`: "LM_IOS", or a dotted path such as "ZIRaz.iOS.MXSDK".
std::string IOSPluginScriptSource(const std::string& objectPath, const std::string& initLine,
                                  const std::string& handler,
                                  const std::vector<IOSPluginScriptMethod>& methods);

// A bridge message's command and argument. Nullopt for a null message, a body that is not a
// dictionary, or a "name" that is not text.
struct IOSPluginMessage {
  std::string name;
  plat::Value args;  // as posted: text, number, or nil
  // The argument when it is text; nullopt for anything else.
  std::optional<std::string> text() const;
};
std::optional<IOSPluginMessage> IOSPluginReadMessage(const plat::WKScriptMessageRef& message);
