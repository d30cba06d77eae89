// Fonts of the report, measured and painted in one device-free unit.
//
// Text is measured and drawn with fonts sized in hundredths of a millimetre
// (a pixel-size font in a coordinate system of 0.01 mm), so the layout is the
// same whatever the resolution of the screen, printer or PDF it is painted
// on, and the painter draws exactly the lines the layout measured.
#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QString>
#include <map>
#include <tuple>

#include "report/report_model.h"

namespace vellum::report {

// Units of the report's fonts and painter per millimetre.
inline constexpr double kUnitsPerMm = 100.0;

// `spec` as a font sized in hundredths of a millimetre, with the Liberation
// fonts standing in for Arial, Times New Roman and MS Sans Serif where those
// are missing.
QFont UnitFont(const FontSpec& spec);

// Measures text in millimetres; keeps the metrics of each font it has used.
// Needs the application object (QGuiApplication) to exist.
class TextMeasure {
 public:
  double Width(const FontSpec& font, const QString& text);
  double LineHeight(const FontSpec& font);

 private:
  QFontMetricsF& Metrics(const FontSpec& font);
  std::map<std::tuple<QString, double, bool, bool>, QFontMetricsF> metrics_;
};

}  // namespace vellum::report
