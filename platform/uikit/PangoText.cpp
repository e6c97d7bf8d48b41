#include "platform/uikit/PangoText.h"

#include <fontconfig/fontconfig.h>
#include <pango/pangofc-fontmap.h>

#include "platform/foundation/NSLog.h"

#ifndef LUMORA_FONTS_CONF
#define LUMORA_FONTS_CONF ""
#endif

namespace plat::internal {

namespace {
cairo_font_options_t* fontOptions() {
  static cairo_font_options_t* opts = [] {
    cairo_font_options_t* o = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
    return o;
  }();
  return opts;
}

void configure(PangoContext* ctx) {
  pango_cairo_context_set_resolution(ctx, 72.0);  // one point is one unit
  pango_cairo_context_set_font_options(ctx, fontOptions());
  pango_context_set_round_glyph_positions(ctx, FALSE);
}
}  // namespace

PangoFontMap* pinnedFontMap() {
  static PangoFontMap* map = [] {
    PangoFontMap* m = pango_cairo_font_map_new_for_font_type(CAIRO_FONT_TYPE_FT);
    FcConfig* config = FcConfigCreate();
    const char* path = getenv("LUMORA_FONTS_CONF");
    if (!path || !*path) path = LUMORA_FONTS_CONF;
    if (FcConfigParseAndLoad(config, reinterpret_cast<const FcChar8*>(path), FcTrue) &&
        FcConfigBuildFonts(config)) {
      pango_fc_font_map_set_config(PANGO_FC_FONT_MAP(m), config);
    } else {
      writeToStandardError(std::string("uikit: cannot load font configuration ") + path +
                           "; using system fonts");
    }
    FcConfigDestroy(config);  // the font map holds its own reference
    return m;
  }();
  return map;
}

std::mutex& textMutex() {
  static auto* mu = new std::mutex;
  return *mu;
}

PangoContext* measuringContext() {
  static PangoContext* ctx = [] {
    PangoContext* c = pango_font_map_create_context(pinnedFontMap());
    configure(c);
    return c;
  }();
  return ctx;
}

PangoContext* newDrawingContext(cairo_t* cr) {
  PangoContext* c = pango_font_map_create_context(pinnedFontMap());
  configure(c);
  pango_cairo_update_context(cr, c);
  return c;
}

}  // namespace plat::internal
