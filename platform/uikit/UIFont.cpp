#include "platform/uikit/UIFont.h"

#include <algorithm>
#include <cctype>

#include "platform/uikit/PangoText.h"

namespace plat {

namespace {
const std::string kFamily = "DejaVu Sans";

PangoWeight pangoWeight(double w) {
  if (w <= -0.7) return PANGO_WEIGHT_ULTRALIGHT;
  if (w <= -0.5) return PANGO_WEIGHT_THIN;
  if (w <= -0.3) return PANGO_WEIGHT_LIGHT;
  if (w < 0.2) return PANGO_WEIGHT_NORMAL;
  if (w < 0.28) return PANGO_WEIGHT_MEDIUM;
  if (w < 0.35) return PANGO_WEIGHT_SEMIBOLD;
  if (w < 0.5) return PANGO_WEIGHT_BOLD;
  if (w < 0.6) return PANGO_WEIGHT_ULTRABOLD;
  return PANGO_WEIGHT_HEAVY;
}
}  // namespace

UIFont UIFont::systemFontOfSize(double size) { return systemFontOfSizeWeight(size, 0); }
UIFont UIFont::boldSystemFontOfSize(double size) {
  UIFont f = systemFontOfSizeWeight(size, UIFontWeightBold);
  f.name_ = ".SFUI-Semibold";
  return f;
}
UIFont UIFont::italicSystemFontOfSize(double size) {
  UIFont f = systemFontOfSize(size);
  f.italic_ = true;
  f.name_ = ".SFUI-Italic";
  return f;
}
UIFont UIFont::systemFontOfSizeWeight(double size, double weight) {
  UIFont f;
  f.size_ = size > 0 ? size : 17;
  f.weight_ = weight;
  f.name_ = weight >= UIFontWeightSemibold ? ".SFUI-Semibold" : ".SFUI-Regular";
  return f;
}
UIFont UIFont::fontWithNameSize(const std::string& name, double size) {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  double w = UIFontWeightRegular;
  // "semibold" before "bold", which it contains.
  if (lower.find("semibold") != std::string::npos) w = UIFontWeightSemibold;
  else if (lower.find("bold") != std::string::npos) w = UIFontWeightBold;
  else if (lower.find("medium") != std::string::npos) w = UIFontWeightMedium;
  else if (lower.find("light") != std::string::npos) w = UIFontWeightLight;
  UIFont f = systemFontOfSizeWeight(size, w);
  f.italic_ = lower.find("italic") != std::string::npos || lower.find("oblique") != std::string::npos;
  f.name_ = name;
  return f;
}

UIFont UIFont::fontWithSize(double size) const {
  UIFont f = *this;
  f.size_ = size;
  return f;
}

const std::string& UIFont::familyName() const { return kFamily; }

PangoFontDescription* UIFont::newPangoDescription() const {
  PangoFontDescription* d = pango_font_description_new();
  pango_font_description_set_family(d, kFamily.c_str());
  pango_font_description_set_absolute_size(d, size_ * PANGO_SCALE);
  pango_font_description_set_weight(d, pangoWeight(weight_));
  pango_font_description_set_style(d, italic_ ? PANGO_STYLE_OBLIQUE : PANGO_STYLE_NORMAL);
  return d;
}

namespace {
void metrics(const UIFont& f, double* ascent, double* descent) {
  std::lock_guard<std::mutex> lock(internal::textMutex());
  PangoFontDescription* d = f.newPangoDescription();
  PangoFontMetrics* m = pango_context_get_metrics(internal::measuringContext(), d, nullptr);
  *ascent = pango_font_metrics_get_ascent(m) / double(PANGO_SCALE);
  *descent = pango_font_metrics_get_descent(m) / double(PANGO_SCALE);
  pango_font_metrics_unref(m);
  pango_font_description_free(d);
}
}  // namespace

double UIFont::ascender() const {
  double a, d;
  metrics(*this, &a, &d);
  return a;
}
double UIFont::descender() const {
  double a, d;
  metrics(*this, &a, &d);
  return -d;
}
double UIFont::lineHeight() const {
  double a, d;
  metrics(*this, &a, &d);
  return a + d;
}

}  // namespace plat
