#pragma once
// UIFont: a font value (family, point size, weight, italic) mapped onto the project's pinned
// fonts through Pango. The system font is DejaVu Sans with WenQuanYi Micro Hei for CJK text and
// Noto Color Emoji for emoji, whatever family a name asks for, so measurements are the same on
// every machine. Plain value; safe to use from any thread.

#include <string>

typedef struct _PangoFontDescription PangoFontDescription;

namespace plat {

// UIFontWeight values.
inline constexpr double UIFontWeightUltraLight = -0.8;
inline constexpr double UIFontWeightThin = -0.6;
inline constexpr double UIFontWeightLight = -0.4;
inline constexpr double UIFontWeightRegular = 0.0;
inline constexpr double UIFontWeightMedium = 0.23;
inline constexpr double UIFontWeightSemibold = 0.3;
inline constexpr double UIFontWeightBold = 0.4;
inline constexpr double UIFontWeightHeavy = 0.56;
inline constexpr double UIFontWeightBlack = 0.62;

class UIFont {
 public:
  UIFont() = default;  // system font, 17 points

  static UIFont systemFontOfSize(double size);
  static UIFont boldSystemFontOfSize(double size);
  static UIFont italicSystemFontOfSize(double size);
  static UIFont systemFontOfSizeWeight(double size, double weight);
  // Any name works: a "-Bold", "-Semibold", "-Medium" or "-Light" suffix (or "Bold" in the
  // name) picks the weight; the family is always the pinned system family.
  static UIFont fontWithNameSize(const std::string& name, double size);
  static double systemFontSize() { return 14; }
  static double labelFontSize() { return 17; }
  static double buttonFontSize() { return 18; }

  UIFont fontWithSize(double size) const;
  double pointSize() const { return size_; }
  double weight() const { return weight_; }
  bool isBold() const { return weight_ >= UIFontWeightSemibold; }
  bool isItalic() const { return italic_; }
  const std::string& fontName() const { return name_; }
  const std::string& familyName() const;

  // Metrics from the pinned fonts, in points.
  double ascender() const;
  double descender() const;  // negative, as the platform reports it
  double lineHeight() const;
  double leading() const { return 0; }

  // A new description (the caller frees it with pango_font_description_free).
  PangoFontDescription* newPangoDescription() const;

  bool operator==(const UIFont& o) const {
    return size_ == o.size_ && weight_ == o.weight_ && italic_ == o.italic_;
  }

 private:
  std::string name_ = ".SFUI-Regular";
  double size_ = 17;
  double weight_ = UIFontWeightRegular;
  bool italic_ = false;
};

}  // namespace plat
