#include "platform/uikit/NSStringDrawing.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "platform/uikit/PangoText.h"
#include "platform/uikit/UIGraphics.h"

namespace plat {

namespace {

PangoAlignment pangoAlign(NSTextAlignment a) {
  switch (a) {
    case NSTextAlignmentCenter: return PANGO_ALIGN_CENTER;
    case NSTextAlignmentRight: return PANGO_ALIGN_RIGHT;
    default: return PANGO_ALIGN_LEFT;
  }
}

// Sets up a layout for the text. width < 0: no wrapping.
void prepare(PangoLayout* layout, const std::string& text, const NSTextStyle& style, double width,
             bool singleLine) {
  PangoFontDescription* d = style.font.newPangoDescription();
  pango_layout_set_font_description(layout, d);
  pango_font_description_free(d);
  pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
  pango_layout_set_alignment(layout, pangoAlign(style.alignment));
  pango_layout_set_justify(layout, style.alignment == NSTextAlignmentJustified);
  pango_layout_set_single_paragraph_mode(layout, singleLine);
  bool truncating = style.lineBreakMode >= NSLineBreakByTruncatingHead;
  if (!(width <= 1e6)) width = -1;  // beyond Pango's range (and NaN): no wrapping
  if (width >= 0) {
    pango_layout_set_width(layout, static_cast<int>(std::floor(width * PANGO_SCALE)));
    pango_layout_set_wrap(layout, style.lineBreakMode == NSLineBreakByCharWrapping
                                      ? PANGO_WRAP_CHAR
                                      : PANGO_WRAP_WORD_CHAR);
  } else {
    pango_layout_set_width(layout, -1);
  }
  PangoEllipsizeMode ell = PANGO_ELLIPSIZE_NONE;
  // Truncation applies to the last allowed line; with no line limit the text wraps in full.
  if (truncating && width >= 0 && (singleLine || style.numberOfLines > 0)) {
    ell = style.lineBreakMode == NSLineBreakByTruncatingHead     ? PANGO_ELLIPSIZE_START
          : style.lineBreakMode == NSLineBreakByTruncatingMiddle ? PANGO_ELLIPSIZE_MIDDLE
                                                                 : PANGO_ELLIPSIZE_END;
  }
  pango_layout_set_ellipsize(layout, ell);
  if (ell != PANGO_ELLIPSIZE_NONE && style.numberOfLines > 0)
    pango_layout_set_height(layout, -static_cast<int>(std::min<int64_t>(style.numberOfLines, 1 << 20)));
  internal::shapeEmojiAsNeutral(layout);
}

// Height of the first n lines (all when n <= 0).
double linesHeight(PangoLayout* layout, int64_t n, double* widthOut) {
  int count = pango_layout_get_line_count(layout);
  if (n > 0) count = static_cast<int>(std::min<int64_t>(count, n));
  double height = 0, width = 0;
  PangoLayoutIter* it = pango_layout_get_iter(layout);
  int i = 0;
  do {
    if (i >= count) break;
    PangoRectangle logical;
    pango_layout_iter_get_line_extents(it, nullptr, &logical);
    height = (logical.y + logical.height) / double(PANGO_SCALE);
    width = std::max(width, logical.width / double(PANGO_SCALE));
    ++i;
  } while (pango_layout_iter_next_line(it));
  pango_layout_iter_free(it);
  if (widthOut) *widthOut = width;
  return height;
}

// The lines of a laid-out text shown in a height (none or out of range: no limit) and a
// line limit (0: none): only whole lines that fit the height count, and at least one.
int64_t fittingLines(PangoLayout* layout, double height, int64_t maxLines) {
  int count = pango_layout_get_line_count(layout);
  if (maxLines <= 0 || maxLines > count) maxLines = count;
  if (!(height > 0 && height < 1e7)) return maxLines;
  int64_t fit = 0;
  for (int i = 1; i <= maxLines; ++i) {
    if (linesHeight(layout, i, nullptr) > height + 1e-6) break;
    fit = i;
  }
  return std::max<int64_t>(fit, 1);
}

}  // namespace

int64_t NSStringLineCountWithSize(const std::string& text, CGSize size, const NSTextStyle& style,
                                  int64_t* allLines) {
  if (allLines) *allLines = 0;
  if (text.empty()) return 0;
  std::lock_guard<std::mutex> lock(internal::textMutex());
  PangoLayout* layout = pango_layout_new(internal::measuringContext());
  double width = (size.width > 0 && size.width < 1e7) ? size.width : -1;
  NSTextStyle s = style;
  s.numberOfLines = 0;  // every line, none ellipsized away
  prepare(layout, text, s, width, false);
  int64_t lines = fittingLines(layout, size.height, style.numberOfLines);
  if (allLines) *allLines = pango_layout_get_line_count(layout);
  g_object_unref(layout);
  return lines;
}

CGRect NSStringBoundingRectWithSize(const std::string& text, CGSize size, int64_t options,
                                    const NSTextStyle& style) {
  if (text.empty()) return CGRectZero;
  bool multi = options & NSStringDrawingUsesLineFragmentOrigin;
  std::lock_guard<std::mutex> lock(internal::textMutex());
  PangoLayout* layout = pango_layout_new(internal::measuringContext());
  double width = (multi && size.width > 0 && size.width < 1e7) ? size.width : -1;
  NSTextStyle s = style;
  if (!multi) s.lineBreakMode = NSLineBreakByClipping;
  prepare(layout, text, s, width, !multi);
  double w = 0, h;
  if (multi) {
    h = linesHeight(layout, fittingLines(layout, size.height, style.numberOfLines), &w);
  } else {
    PangoRectangle logical;
    pango_layout_get_extents(layout, nullptr, &logical);
    w = logical.width / double(PANGO_SCALE);
    h = logical.height / double(PANGO_SCALE);
  }
  g_object_unref(layout);
  return CGRectMake(0, 0, w, h);
}

CGSize NSStringSizeWithFont(const std::string& text, const UIFont& font) {
  NSTextStyle s;
  s.font = font;
  return NSStringBoundingRectWithSize(text, CGSizeMake(1e9, 1e9),
                                      NSStringDrawingUsesLineFragmentOrigin, s)
      .size;
}

void NSStringDrawInRect(const std::string& text, CGRect rect, const NSTextStyle& style) {
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c || text.empty()) return;
  cairo_t* cr = c->cairo();
  cairo_save(cr);
  cairo_new_path(cr);
  cairo_rectangle(cr, rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
  cairo_clip(cr);
  // Drawing shares the font map with measurement, and Pango's font maps are not thread-safe:
  // one text operation at a time, whichever thread it runs on.
  std::lock_guard<std::mutex> lock(internal::textMutex());
  PangoContext* pc = internal::newDrawingContext(cr);
  PangoLayout* layout = pango_layout_new(pc);
  prepare(layout, text, style, rect.size.width > 0 ? rect.size.width : -1, false);
  UIColor color = style.color.value_or(UIColor::blackColor());
  cairo_set_source_rgba(cr, color.red(), color.green(), color.blue(),
                        color.alpha() * c->state().alpha);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_move_to(cr, rect.origin.x, rect.origin.y);
  if (style.numberOfLines > 0 && pango_layout_get_line_count(layout) > style.numberOfLines) {
    double y = rect.origin.y;
    PangoLayoutIter* it = pango_layout_get_iter(layout);
    int i = 0;
    do {
      if (i++ >= style.numberOfLines) break;
      PangoLayoutLine* line = pango_layout_iter_get_line_readonly(it);
      int baseline = pango_layout_iter_get_baseline(it);
      PangoRectangle logical;
      pango_layout_iter_get_line_extents(it, nullptr, &logical);
      cairo_move_to(cr, rect.origin.x + logical.x / double(PANGO_SCALE),
                    y + baseline / double(PANGO_SCALE));
      pango_cairo_show_layout_line(cr, line);
    } while (pango_layout_iter_next_line(it));
    pango_layout_iter_free(it);
  } else {
    pango_cairo_show_layout(cr, layout);
  }
  g_object_unref(layout);
  g_object_unref(pc);
  cairo_restore(cr);
}

}  // namespace plat
