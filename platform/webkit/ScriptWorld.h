#pragma once
// plat::webkit::ScriptWorld: one JavaScript world (a Duktape heap) for one document.
//
// Duktape is C and reports script errors with longjmp. The rules kept here so that no C++
// object is skipped by a longjmp and no C++ exception crosses a Duktape frame:
//  - the heap's allocator aborts on exhaustion and the value stack is checked before pushes,
//    so pushing values never throws;
//  - everything that can throw (compiling, running, JSON) runs inside a protected call;
//  - native bindings take and return only strings and numbers, do their C++ work inside a
//    try/catch and convert any failure into a script exception raised after every C++ object
//    of theirs is gone.
// Values cross the boundary as JSON texts built by the script side (JSON.stringify), which
// also gives the deep conversion rules (undefined members dropped).
//
// Thread-safety: a world belongs to the thread that made it (the main thread).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct duk_hthread;

namespace plat::webkit {

class ScriptWorld {
 public:
  // Native entry points the page's scripts reach through the global `__native` object. Every
  // argument arrives as text or a number; a native may return a text result (nullopt gives
  // `undefined`), or throw std::exception to raise a script Error with its message.
  using Native = std::function<std::optional<std::string>(const std::vector<std::string>& args)>;

  ScriptWorld();
  ~ScriptWorld();
  ScriptWorld(const ScriptWorld&) = delete;
  ScriptWorld& operator=(const ScriptWorld&) = delete;

  // Makes `__native.<name>(...)` call `fn`.
  // REQUIRES: no script has run in this world yet (scripts may remove `__native`).
  void defineNative(const std::string& name, Native fn);

  struct Result {
    bool ok = false;           // false: the script threw (or did not compile)
    bool undefinedResult = false;  // the completion value was undefined or not JSON-able
    std::string json;          // the completion value as JSON text (when representable)
    std::string error;         // "Name: message" of the exception
    std::string stack;         // the exception's stack, when it has one
  };
  // Compiles and runs `source` as a global program. `fileName` names it in errors.
  Result evaluate(const std::string& source, const std::string& fileName);
  // Calls the global function at dotted `path` (e.g. "__lumora.fireTimer") with arguments
  // given as JSON texts. Missing function: ok = false with an error.
  Result call(const std::string& path, const std::vector<std::string>& jsonArgs);

  // Script errors raised inside natives or calls re-entered while the world is blocked are
  // not special: the caller decides. Depth of nested native->script calls in progress.
  int depth() const { return depth_; }

  struct NativeSlot;

 private:
  duk_hthread* ctx_ = nullptr;
  std::vector<std::unique_ptr<NativeSlot>> natives_;
  int depth_ = 0;
};

}  // namespace plat::webkit
