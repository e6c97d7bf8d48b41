#pragma once
// The web engine's process-wide state: the display, GTK, GLib's default main context served
// by the main run loop, and the web context every web view shares (its processes, its custom
// URL schemes). Internal to platform/webkit.
//
// Thread-safety: main thread only.

#include <webkit2/webkit2.h>

#include <string>

namespace plat::webkit {

// Starts everything once (the display, GTK, the main loop's service of GLib's main context).
// Returns false, having logged why, when the engine cannot run here (no display).
bool start();

// The web context of all web views. REQUIRES: start() returned true.
WebKitWebContext* context();

// Registers `scheme` (lower case) with the shared context, once; its requests go to
// `handler`. The scheme is treated like a secure, CORS-enabled origin.
void registerScheme(const std::string& scheme, WebKitURISchemeRequestCallback handler);

}  // namespace plat::webkit
