#include "report/report_fonts.h"

#include <QStringList>
#include <cmath>

namespace vellum::report {

namespace {

// Points per inch and millimetres per inch.
constexpr double kPointsPerInch = 72.0;
constexpr double kMmPerInch = 25.4;

QString StandIn(const QString& family) {
  if (family.compare(QLatin1String("Times New Roman"), Qt::CaseInsensitive) == 0) {
    return QStringLiteral("Liberation Serif");
  }
  return QStringLiteral("Liberation Sans");
}

}  // namespace

QFont UnitFont(const FontSpec& spec) {
  QFont font;
  font.setFamilies(QStringList{spec.family, StandIn(spec.family)});
  const double mm = spec.points / kPointsPerInch * kMmPerInch;
  font.setPixelSize(static_cast<int>(std::lround(mm * kUnitsPerMm)));
  font.setBold(spec.bold);
  font.setItalic(spec.italic);
  font.setHintingPreference(QFont::PreferNoHinting);
  font.setKerning(true);
  return font;
}

QFontMetricsF& TextMeasure::Metrics(const FontSpec& font) {
  const auto key = std::make_tuple(font.family, font.points, font.bold, font.italic);
  auto found = metrics_.find(key);
  if (found == metrics_.end()) {
    found = metrics_.emplace(key, QFontMetricsF(UnitFont(font))).first;
  }
  return found->second;
}

double TextMeasure::Width(const FontSpec& font, const QString& text) {
  return Metrics(font).horizontalAdvance(text) / kUnitsPerMm;
}

double TextMeasure::LineHeight(const FontSpec& font) {
  return Metrics(font).lineSpacing() / kUnitsPerMm;
}

}  // namespace vellum::report
