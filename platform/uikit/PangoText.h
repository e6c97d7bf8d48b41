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
// Shapes again, as script-neutral text, the emoji runs that took the script of the text before
// them: some scripts' shaping (Khmer's) keeps a sequence's characters apart, so a skin-tone
// thumb or a family would draw as several pictures. Call after the layout's text, attributes
// and size are final. REQUIRES: textMutex() held.
void shapeEmojiAsNeutral(PangoLayout* layout);

}  // namespace plat::internal
