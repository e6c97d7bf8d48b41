#include "platform/webkit/EngineObjects.h"

#include <cairo.h>
#include <glib-object.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace plat::webkit {

namespace {

struct Entry {
  std::string kind;
  GObject* object = nullptr;
  cairo_surface_t* surface = nullptr;
  bool alive = true;
};

std::atomic<bool> gRecording{false};
const cairo_user_data_key_t kSurfaceKey{};

// Recursive: releasing a surface's watch runs its destroy callback, which takes the lock too.
std::recursive_mutex& lock() {
  static auto* m = new std::recursive_mutex;
  return *m;
}

std::vector<std::unique_ptr<Entry>>& entries() {
  static auto* v = new std::vector<std::unique_ptr<Entry>>;
  return *v;
}

// Data of the object under this key is released when the object is finalized. (A weak
// reference would not do: it fires when a widget is destroyed, though references may keep the
// object itself alive.)
GQuark watchKey() {
  static GQuark q = g_quark_from_static_string("lumora-engine-object-watch");
  return q;
}

void objectFinalized(gpointer data) {
  std::lock_guard<std::recursive_mutex> hold(lock());
  static_cast<Entry*>(data)->alive = false;
}

void surfaceDestroyed(void* data) {
  std::lock_guard<std::recursive_mutex> hold(lock());
  static_cast<Entry*>(data)->alive = false;
}

void forgetAll() {
  std::lock_guard<std::recursive_mutex> hold(lock());
  for (auto& e : entries()) {
    if (!e->alive) continue;
    if (e->object) g_object_steal_qdata(e->object, watchKey());
    if (e->surface) cairo_surface_set_user_data(e->surface, &kSurfaceKey, nullptr, nullptr);
  }
  entries().clear();
}

}  // namespace

void EngineObjects::startRecording() {
  forgetAll();
  gRecording = true;
}

void EngineObjects::stopRecording() {
  gRecording = false;
  forgetAll();
}

std::vector<std::string> EngineObjects::live() {
  std::lock_guard<std::recursive_mutex> hold(lock());
  std::vector<std::string> out;
  for (auto& e : entries())
    if (e->alive) out.push_back(e->kind);
  return out;
}

size_t EngineObjects::recorded(const std::string& kind) {
  std::lock_guard<std::recursive_mutex> hold(lock());
  size_t n = 0;
  for (auto& e : entries())
    if (e->kind == kind) ++n;
  return n;
}

void EngineObjects::note(GObject* object, const char* kind) {
  if (!gRecording || !object) return;
  std::lock_guard<std::recursive_mutex> hold(lock());
  auto e = std::make_unique<Entry>();
  e->kind = kind;
  e->object = object;
  g_object_set_qdata_full(object, watchKey(), e.get(), objectFinalized);
  entries().push_back(std::move(e));
}

void EngineObjects::noteSurface(cairo_surface_t* surface, const char* kind) {
  if (!gRecording || !surface) return;
  std::lock_guard<std::recursive_mutex> hold(lock());
  auto e = std::make_unique<Entry>();
  e->kind = kind;
  e->surface = surface;
  if (cairo_surface_set_user_data(surface, &kSurfaceKey, e.get(), surfaceDestroyed) !=
      CAIRO_STATUS_SUCCESS)
    return;
  entries().push_back(std::move(e));
}

}  // namespace plat::webkit
