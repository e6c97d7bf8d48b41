#pragma once
// A ledger of the engine objects the web view code creates or takes ownership of: views,
// their windows and content managers, URI requests, scheme requests, responses and body
// streams, script values and snapshot surfaces. While recording, each carries a watch that
// its finalization releases (object data, or a cairo surface's user data), so a test can tell
// which of them were never finalized after their owners went away. Recording is off by
// default and costs one check per object then.
//
// Thread-safety: start, stop and the queries run on the main thread; an object may be
// finalized on any thread.

#include <cstddef>
#include <string>
#include <vector>

typedef struct _GObject GObject;
typedef struct _cairo_surface cairo_surface_t;

namespace plat::webkit {

class EngineObjects {
 public:
  // Starts recording from now on (forgetting earlier records).
  static void startRecording();
  // Stops recording and forgets every record, releasing the watches on objects still alive.
  static void stopRecording();
  // What each recorded object that is still alive is ("view", "window", ...), in the order
  // they were recorded.
  static std::vector<std::string> live();
  // How many objects of `kind` were recorded since recording started.
  static size_t recorded(const std::string& kind);

  // ---- used by the web view code ----
  // Records `object` as `kind` when recording; null is ignored.
  static void note(GObject* object, const char* kind);
  static void noteSurface(cairo_surface_t* surface, const char* kind);
};

}  // namespace plat::webkit
