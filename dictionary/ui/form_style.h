// Sizes and fonts of the windows as they were designed. Window sizes given at
// 120 pixels per inch are turned into Qt's device-independent pixels (96 per
// inch), which Qt scales to the screen's real density; fonts are asked for by
// the names the windows were designed with.
#pragma once

#include <QFont>

namespace vellum::ui {

// `design_pixels` measured at 120 pixels per inch, in device-independent
// pixels (rounded to the nearest).
constexpr int At120Ppi(int design_pixels) { return (design_pixels * 96 + 60) / 120; }

// Makes the metric-compatible Liberation fonts stand in for the fonts the
// windows name ("MS Sans Serif", "Arial", "Times New Roman") where those are
// not installed. Called once, after the application object exists.
void RegisterFontSubstitutes();

// The font `family` at `points`, asked for by name.
QFont DesignFont(const char* family, int points);

}  // namespace vellum::ui
