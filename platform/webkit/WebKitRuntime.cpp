#include "platform/webkit/WebKitRuntime.h"

#include <gtk/gtk.h>

#include <cmath>
#include <set>
#include <vector>

#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSLog.h"
#include "platform/webkit/VirtualDisplay.h"

#ifdef LUMORA_UBSAN_SUPPRESSIONS
// The web engine's libraries release std::shared_ptr objects through the copy of libstdc++'s
// template code in our (instrumented) binaries; the vptr check cannot see their types there.
extern "C" const char* __ubsan_default_options() {
  return "suppressions=" LUMORA_UBSAN_SUPPRESSIONS;
}
#endif

namespace plat::webkit {

namespace {

// Serves GLib's default main context from the main run loop: each call prepares, polls the
// context's descriptors (its own wake-up descriptor among them), checks and dispatches.
class GLibEventSource : public RunLoopEventSource {
 public:
  GLibEventSource() : context_(g_main_context_default()) { g_main_context_acquire(context_); }

  bool dispatch(double waitSeconds) override {
    // A GLib callback may pump the run loop again (a nested wait); each nesting level polls
    // with records of its own.
    if (depth_ >= 8) return false;
    ++depth_;
    gint priority = 0;
    g_main_context_prepare(context_, &priority);
    gint timeout = -1;
    std::vector<GPollFD>& fds = pollRecords_[depth_ - 1];
    gint n;
    while ((n = g_main_context_query(context_, priority, &timeout, fds.data(),
                                     static_cast<gint>(fds.size()))) >
           static_cast<gint>(fds.size())) {
      fds.resize(static_cast<size_t>(n));
    }
    int ms = waitSeconds > 0 ? static_cast<int>(std::ceil(std::min(waitSeconds, 3600.0) * 1000))
                             : 0;
    if (timeout >= 0 && timeout < ms) ms = timeout;
    g_poll(fds.data(), static_cast<guint>(n), ms);
    bool ready = g_main_context_check(context_, priority, fds.data(), n);
    if (ready) g_main_context_dispatch(context_);
    --depth_;
    return ready;
  }

  void wake() override { g_main_context_wakeup(context_); }

 private:
  GMainContext* context_;
  int depth_ = 0;
  std::vector<GPollFD> pollRecords_[8];
};

enum class State { NotStarted, Running, Failed };
State gState = State::NotStarted;
WebKitWebContext* gContext = nullptr;

std::set<std::string>& registeredSchemes() {
  static auto* s = new std::set<std::string>;
  return *s;
}

}  // namespace

bool start() {
  if (gState != State::NotStarted) return gState == State::Running;
  gState = State::Failed;
  if (!VirtualDisplay::ensure()) return false;
  if (!gtk_init_check(nullptr, nullptr)) {
    NSLogMessage("GTK could not open the display " + VirtualDisplay::name());
    return false;
  }
  static auto* source = new GLibEventSource;
  RunLoop::main()->setEventSource(source);
  gContext = webkit_web_context_get_default();
  webkit_web_context_set_cache_model(gContext, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  gState = State::Running;
  return true;
}

WebKitWebContext* context() { return gContext; }

void registerScheme(const std::string& scheme, WebKitURISchemeRequestCallback handler) {
  if (!gContext || !registeredSchemes().insert(scheme).second) return;
  webkit_web_context_register_uri_scheme(gContext, scheme.c_str(), handler, nullptr, nullptr);
  auto* security = webkit_web_context_get_security_manager(gContext);
  webkit_security_manager_register_uri_scheme_as_secure(security, scheme.c_str());
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
}

}  // namespace plat::webkit
