#include "platform/webkit/ScriptWorld.h"

#include <duktape.h>

#include "platform/foundation/UTF16.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace plat::webkit {

using plat::appendUTF8;

struct ScriptWorld::NativeSlot {
  std::string name;
  Native fn;
};

namespace {

void* allocOrDie(void*, duk_size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) std::abort();
  return p;
}
void* reallocOrDie(void*, void* ptr, duk_size_t size) {
  if (size == 0) {
    std::free(ptr);
    return nullptr;
  }
  void* p = std::realloc(ptr, size);
  if (!p) std::abort();
  return p;
}
void freeMem(void*, void* ptr) { std::free(ptr); }

// An unrecoverable engine error: there is no safe way to continue the process.
void fatalHandler(void*, const char* msg) {
  std::fprintf(stderr, "javascript engine fatal error: %s\n", msg ? msg : "(no message)");
  std::fflush(stderr);
  std::abort();
}

// Protected-call bodies. They hold no C++ objects: a script error longjmps out of them.
duk_ret_t jsonEncodeTop(duk_context* ctx, void*) {
  // [value] -> [json or undefined]
  if (duk_is_undefined(ctx, -1) || duk_is_function(ctx, -1)) {
    duk_pop(ctx);
    duk_push_undefined(ctx);
    return 1;
  }
  duk_json_encode(ctx, -1);
  return 1;
}

duk_ret_t errorToText(duk_context* ctx, void*) {
  // [error] -> [text, stack]
  duk_dup(ctx, -1);
  duk_safe_to_string(ctx, -1);
  duk_swap(ctx, -1, -2);
  if (duk_is_object(ctx, -1)) {
    duk_get_prop_string(ctx, -1, "stack");
    duk_remove(ctx, -2);
    if (!duk_is_string(ctx, -1)) {
      duk_pop(ctx);
      duk_push_string(ctx, "");
    }
  } else {
    duk_pop(ctx);
    duk_push_string(ctx, "");
  }
  return 2;
}

duk_ret_t jsonDecodeArgs(duk_context* ctx, void* udata) {
  // [fn, this, json1..jsonN] -> [fn, this, v1..vN]
  auto n = static_cast<duk_idx_t>(reinterpret_cast<intptr_t>(udata));
  duk_idx_t base = duk_get_top(ctx) - n;
  for (duk_idx_t i = 0; i < n; ++i) duk_json_decode(ctx, base + i);
  return n + 2;  // hand every value back
}

duk_ret_t resolvePath(duk_context* ctx, void* udata) {
  // [] -> [fn, this] for a dotted path such as "a.b.c" (this = a.b).
  const char* p = static_cast<const char*>(udata);
  duk_push_global_object(ctx);  // this
  duk_push_global_object(ctx);  // current
  for (;;) {
    const char* dot = std::strchr(p, '.');
    size_t len = dot ? static_cast<size_t>(dot - p) : std::strlen(p);
    if (!duk_is_object(ctx, -1)) return DUK_RET_TYPE_ERROR;
    duk_get_prop_lstring(ctx, -1, p, len);  // [this, current, next]
    duk_remove(ctx, -3);                    // [current, next]
    if (!dot) break;
    p = dot + 1;
  }
  duk_swap(ctx, -1, -2);  // [fn, this]
  return 2;
}

// The engine keeps characters outside the BMP that were written as escapes ("\uD83D\uDE00")
// as two encoded surrogates (CESU-8). Texts leave the world as UTF-8: a surrogate pair becomes
// its 4-byte sequence, a lone surrogate U+FFFD.
std::string toUTF8(const char* s, size_t len) {
  auto p = reinterpret_cast<const unsigned char*>(s);
  auto surrogate = [&](size_t i) -> unsigned {
    if (i + 3 <= len && p[i] == 0xED && (p[i + 1] & 0xE0) == 0xA0 &&
        (p[i + 2] & 0xC0) == 0x80)
      return 0xD000u | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
    return 0;
  };
  std::string out;
  size_t i = 0;
  bool any = false;
  for (size_t k = 0; k + 2 < len; ++k)
    if (p[k] == 0xED && (p[k + 1] & 0xE0) == 0xA0) any = true;
  if (!any) return std::string(s, len);
  out.reserve(len);
  while (i < len) {
    unsigned hi = surrogate(i);
    if (!hi) {
      out += static_cast<char>(p[i++]);
      continue;
    }
    unsigned lo = hi < 0xDC00 ? surrogate(i + 3) : 0;
    if (hi < 0xDC00 && lo >= 0xDC00) {
      appendUTF8(out, 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00));
      i += 6;
    } else {
      appendUTF8(out, 0xFFFD);
      i += 3;
    }
  }
  return out;
}

std::string topString(duk_context* ctx, duk_idx_t idx) {
  duk_size_t len = 0;
  const char* s = duk_get_lstring(ctx, idx, &len);
  return s ? toUTF8(s, len) : std::string();
}

// Fills `out` from an error on the top of the stack and pops it.
void takeError(duk_context* ctx, ScriptWorld::Result& out) {
  duk_require_stack(ctx, 4);
  if (duk_safe_call(ctx, errorToText, nullptr, 1, 2) == DUK_EXEC_SUCCESS) {
    out.error = topString(ctx, -2);
    out.stack = topString(ctx, -1);
  } else {
    out.error = "Error: (unprintable exception)";
  }
  duk_pop_2(ctx);
}

// Fills `out` from a completion value on the top of the stack and pops it.
void takeValue(duk_context* ctx, ScriptWorld::Result& out) {
  out.ok = true;
  if (duk_safe_call(ctx, jsonEncodeTop, nullptr, 1, 1) != DUK_EXEC_SUCCESS ||
      !duk_is_string(ctx, -1)) {
    out.undefinedResult = true;
  } else {
    out.json = topString(ctx, -1);
  }
  duk_pop(ctx);
}

// Every native binding is this one C function; the slot is found through the function's
// "\xffslot" pointer property. C++ work happens inside runSlot, whose objects are all gone
// before the binding pushes a result or raises an error.
enum class NativeOutcome { Undefined, String, Error };

NativeOutcome runSlot(ScriptWorld::NativeSlot* slot, duk_context* ctx, std::string& result) {
  try {
    std::vector<std::string> args;
    duk_idx_t n = duk_get_top(ctx);
    args.reserve(static_cast<size_t>(n));
    for (duk_idx_t i = 0; i < n; ++i) {
      if (duk_is_string(ctx, i)) {
        args.push_back(topString(ctx, i));
      } else if (duk_is_number(ctx, i)) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", duk_get_number(ctx, i));
        args.emplace_back(buf);
      } else if (duk_is_boolean(ctx, i)) {
        args.emplace_back(duk_get_boolean(ctx, i) ? "true" : "false");
      } else {
        args.emplace_back();
      }
    }
    auto r = (*slot).fn(args);
    if (!r) return NativeOutcome::Undefined;
    result = std::move(*r);
    return NativeOutcome::String;
  } catch (const std::exception& e) {
    result = e.what();
  } catch (...) {
    result = "native call failed";
  }
  return NativeOutcome::Error;
}

duk_ret_t nativeTrampoline(duk_context* ctx) {
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, "\xff" "slot");
  auto slot = static_cast<ScriptWorld::NativeSlot*>(duk_get_pointer(ctx, -1));
  duk_pop_2(ctx);
  if (!slot) return 0;
  // The result text lives in a heap buffer owned by Duktape once pushed, so nothing of ours
  // is alive when an error is raised below.
  char* text = nullptr;
  size_t len = 0;
  NativeOutcome outcome;
  {
    std::string result;
    outcome = runSlot(slot, ctx, result);
    if (outcome != NativeOutcome::Undefined) {
      len = result.size();
      text = static_cast<char*>(duk_push_fixed_buffer(ctx, len ? len : 1));
      std::memcpy(text, result.data(), len);
    }
  }
  if (outcome == NativeOutcome::Undefined) return 0;
  duk_buffer_to_string(ctx, -1);
  if (outcome == NativeOutcome::Error) {
    duk_push_error_object(ctx, DUK_ERR_ERROR, "%s", duk_get_string(ctx, -1));
    return duk_throw(ctx);
  }
  return 1;
}

}  // namespace

ScriptWorld::ScriptWorld() {
  ctx_ = duk_create_heap(allocOrDie, reallocOrDie, freeMem, this, fatalHandler);
  if (!ctx_) std::abort();
  duk_push_global_object(ctx_);
  duk_push_object(ctx_);
  duk_put_prop_string(ctx_, -2, "__native");
  duk_pop(ctx_);
}

ScriptWorld::~ScriptWorld() {
  if (ctx_) duk_destroy_heap(ctx_);
}

void ScriptWorld::defineNative(const std::string& name, Native fn) {
  auto slot = std::make_unique<NativeSlot>();
  slot->name = name;
  slot->fn = std::move(fn);
  duk_require_stack(ctx_, 4);
  duk_push_global_object(ctx_);
  duk_get_prop_string(ctx_, -1, "__native");
  duk_push_c_function(ctx_, nativeTrampoline, DUK_VARARGS);
  duk_push_pointer(ctx_, slot.get());
  duk_put_prop_string(ctx_, -2, "\xff" "slot");
  duk_put_prop_lstring(ctx_, -2, name.data(), name.size());
  duk_pop_2(ctx_);
  natives_.push_back(std::move(slot));
}

ScriptWorld::Result ScriptWorld::evaluate(const std::string& source, const std::string& fileName) {
  Result out;
  ++depth_;
  duk_require_stack(ctx_, 8);
  duk_push_lstring(ctx_, fileName.data(), fileName.size());
  // Compiled as a global program, as a script element is: its declarations become globals even
  // in strict mode (strict eval code would keep them to itself). Calling it still gives the
  // completion value.
  if (duk_pcompile_lstring_filename(ctx_, 0, source.data(), source.size()) != 0) {
    takeError(ctx_, out);
  } else if (duk_pcall(ctx_, 0) != DUK_EXEC_SUCCESS) {
    takeError(ctx_, out);
  } else {
    takeValue(ctx_, out);
  }
  --depth_;
  return out;
}

ScriptWorld::Result ScriptWorld::call(const std::string& path,
                                      const std::vector<std::string>& jsonArgs) {
  Result out;
  ++depth_;
  duk_idx_t top = duk_get_top(ctx_);
  duk_require_stack(ctx_, static_cast<duk_idx_t>(jsonArgs.size()) + 8);
  // Resolve the dotted path to [fn, this] inside a protected call: a page may have replaced
  // the objects on the path with getters that throw.
  if (duk_safe_call(ctx_, resolvePath, const_cast<char*>(path.c_str()), 0, 2) !=
          DUK_EXEC_SUCCESS ||
      !duk_is_function(ctx_, -2)) {
    duk_set_top(ctx_, top);
    out.error = "TypeError: " + path + " is not a function";
    --depth_;
    return out;
  }
  for (auto& a : jsonArgs) duk_push_lstring(ctx_, a.data(), a.size());
  auto n = static_cast<duk_idx_t>(jsonArgs.size());
  if (duk_safe_call(ctx_, jsonDecodeArgs, reinterpret_cast<void*>(static_cast<intptr_t>(n)),
                    n + 2, n + 2) != DUK_EXEC_SUCCESS) {
    // On failure the stack holds n+2 values, the last being the error.
    duk_set_top(ctx_, top);
    out.error = "SyntaxError: bad arguments for " + path;
    --depth_;
    return out;
  }
  if (duk_pcall_method(ctx_, n) != DUK_EXEC_SUCCESS) {
    takeError(ctx_, out);
  } else {
    takeValue(ctx_, out);
  }
  duk_set_top(ctx_, top);
  --depth_;
  return out;
}

}  // namespace plat::webkit
