#pragma once
// Diagnostics of the logging subsystem itself. Failures inside logging never go through the
// hub: they are written as plain lines to the platform's console log (plat::NSLog).
// Broken preconditions are programming errors: the text is written and the process aborts
// in every build, rather than deadlocking or corrupting state later.
//
// Thread-safety: both functions may be called from any thread.

#include <sys/uio.h>

#include <functional>
#include <string>

// Writes one line to the diagnostic log.
void LGDiagnosticLog(const std::string& line);
// Installs a hook that receives every diagnostic line instead of the console log (tests);
// an empty function restores the console log.
void LGSetDiagnosticLogHook(std::function<void(const std::string&)> hook);

// Writes `text` and aborts.
[[noreturn]] void LGPreconditionFailure(const std::string& text);

// Aborts with `text` when `condition` is false.
inline void LGPrecondition(bool condition, const char* text) {
  if (!condition) LGPreconditionFailure(text);
}

// Texts of the architecture preconditions shared by several classes.
inline constexpr const char* kLGCoreArchitectureFailure = "Core architecture requirement failure";
inline constexpr const char* kLGAccessIvarDirectly =
    "MUST access ivar directly, NOT via self.* syntax.";
