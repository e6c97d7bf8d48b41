#include "platform/uikit/PangoText.h"

#include <fontconfig/fontconfig.h>
#include <pango/pangofc-fontmap.h>

#include <cstring>

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

namespace {
// Family of the colour emoji font the font configuration pins.
constexpr const char* kEmojiFamily = "Noto Color Emoji";

bool isEmojiFont(PangoFont* font) {
  if (!font) return false;
  PangoFontDescription* d = pango_font_describe(font);
  const char* family = pango_font_description_get_family(d);
  bool emoji = family && std::strcmp(family, kEmojiFamily) == 0;
  pango_font_description_free(d);
  return emoji;
}

// An emoji run that took the script of the text before it, other than Latin (whose shaping
// is the script-neutral one).
bool needsNeutralShaping(const PangoLayoutRun* run) {
  auto script = PangoScript(run->item->analysis.script);
  return script != PANGO_SCRIPT_COMMON && script != PANGO_SCRIPT_LATIN &&
         script != PANGO_SCRIPT_INHERITED && isEmojiFont(run->item->analysis.font);
}
}  // namespace

void shapeEmojiAsNeutral(PangoLayout* layout) {
  // Only text holding both an emoji sequence's characters and a script other than Latin can
  // need it: other text is not laid out here, ahead of its caller.
  const char* text = pango_layout_get_text(layout);
  bool otherScript = false, pictograph = false;
  for (const char* p = text; p && *p && !(otherScript && pictograph); p = g_utf8_next_char(p)) {
    if (static_cast<unsigned char>(*p) < 0x80) continue;
    const gunichar c = g_utf8_get_char(p);
    if (c >= 0x1F000 || (c >= 0x2190 && c <= 0x2BFF) || c == 0x200D || c == 0xFE0F || c == 0x20E3 ||
        c == 0x00A9 || c == 0x00AE || c == 0x203C || c == 0x2049 || c == 0x2122 || c == 0x2139 ||
        c == 0x3030 || c == 0x303D || c == 0x3297 || c == 0x3299) {
      pictograph = true;
      continue;
    }
    GUnicodeScript script = g_unichar_get_script(c);
    otherScript =
        otherScript || (script != G_UNICODE_SCRIPT_COMMON && script != G_UNICODE_SCRIPT_INHERITED &&
                        script != G_UNICODE_SCRIPT_LATIN && script != G_UNICODE_SCRIPT_UNKNOWN);
  }
  if (!otherScript || !pictograph) return;
  bool any = false;
  for (GSList* l = pango_layout_get_lines_readonly(layout); l && !any; l = l->next) {
    for (GSList* r = static_cast<PangoLayoutLine*>(l->data)->runs; r && !any; r = r->next)
      any = needsNeutralShaping(static_cast<PangoLayoutRun*>(r->data));
  }
  if (!any) return;
  int length = int(std::strlen(text));
  // Lines taken for writing measure themselves again from their runs, so the narrower
  // sequences count in every size and position asked for after this.
  for (GSList* l = pango_layout_get_lines(layout); l; l = l->next) {
    for (GSList* r = static_cast<PangoLayoutLine*>(l->data)->runs; r; r = r->next) {
      auto* run = static_cast<PangoLayoutRun*>(r->data);
      if (!needsNeutralShaping(run)) continue;
      PangoItem* item = run->item;
      if (item->offset < 0 || item->offset + item->length > length) continue;
      item->analysis.script = PANGO_SCRIPT_COMMON;
      pango_shape_full(text + item->offset, item->length, text, length, &item->analysis,
                       run->glyphs);
    }
  }
}

PangoContext* newDrawingContext(cairo_t* cr) {
  PangoContext* c = pango_font_map_create_context(pinnedFontMap());
  configure(c);
  pango_cairo_update_context(cr, c);
  return c;
}

}  // namespace plat::internal
