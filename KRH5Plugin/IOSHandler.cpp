#include "KRH5Plugin/IOSHandler.h"

#include "logging/LGLog.h"

namespace {
constexpr uint64_t kConsoleLogLevel = LGLogFlagError | LGLogFlagWarning;  // 3
// This method as the platform prints it.
constexpr const char* kMethod = "-[IOSHandler userContentController:didReceiveScriptMessage:]";
}  // namespace

void IOSHandler::userContentControllerDidReceiveScriptMessage(
    const std::shared_ptr<plat::WKUserContentController>& controller,
    const plat::WKScriptMessageRef& message) {
  if (!message) return;
  const plat::Dictionary* body = message->body().dictionary();
  if (!body) return;
  const std::string* name = body->get("name").string();
  if (!name) return;
  const plat::Value& args = body->get("args");
  if (*name == "console_log") {
    return;
  } else if (*name == "console_warn") {
    LGLog::logLevelFlagContextFileFunctionLineTagFormat(true, kConsoleLogLevel, LGLogFlagWarning, 0,
                                                        __FILE__, kMethod, __LINE__, plat::Value(),
                                                        "js_warn: %@", args);
  } else if (*name == "console_error") {
    LGLog::logLevelFlagContextFileFunctionLineTagFormat(false, kConsoleLogLevel, LGLogFlagError, 0,
                                                        __FILE__, kMethod, __LINE__, plat::Value(),
                                                        "js_error: %@", args);
  }
}
