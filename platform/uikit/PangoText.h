#pragma once
// Internal: the Pango font map and context over the project's fontconfig file.

#include <pango/pangocairo.h>

#include <mutex>

namespace plat::internal {

// The font map bound to the pinned fonts (created once, never destroyed). Pango's font maps
// are not thread-safe: every use of it, or of a context made from it, holds textMutex().
PangoFontMap* pinnedFontMap();
// The shared measuring context. REQUIRES: textMutex() held.
PangoContext* measuringContext();
std::mutex& textMutex();
// A new context for drawing into cr (the caller unrefs it). REQUIRES: textMutex() held.
PangoContext* newDrawingContext(cairo_t* cr);

}  // namespace plat::internal
