// A report laid out into pages of positioned bands and texts.
//
// Layout runs once over the report's sources and yields every page with
// positions in millimetres from the top left corner of the paper; painting
// (report_painter.h) draws those pages on any device unchanged.
//
// Pagination: a band that does not fit on the rest of the page moves to the
// top of the next page. A band taller than a whole page (a stretched memo)
// starts where it is and continues on the following pages, broken between
// lines of its items, never through a line.
#pragma once

#include <QRectF>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "report/report_model.h"

namespace vellum::report {

// A band, or the part of one that fell on this page.
struct PlacedBand {
  std::string name;
  QRectF rect;  // mm on the page
  QColor background;
  Frame frame;
};

// An item in a rectangle: lines of its text, which the painter draws one
// under the other from the top, each `line_height` high, or its picture,
// drawn at its own size from the top left corner; either clipped to `rect`.
struct PlacedText {
  std::string item;
  std::string band;
  QRectF rect;  // mm on the page
  QStringList lines;
  double line_height = 0;
  FontSpec font;
  Alignment alignment = Alignment::kLeft;
  QColor background;  // transparent: none painted
  QImage picture;
};

struct Page {
  std::vector<PlacedBand> bands;
  std::vector<PlacedText> texts;
};

struct Document {
  QString title;
  PageSettings page;
  std::vector<Page> pages;  // none when an empty master prints nothing
};

// Lays `report` out, walking its sources from their first rows (so it moves
// their current rows). Needs the application object (QGuiApplication) for
// the font metrics. An item or expression naming a source the report does
// not have, or a malformed expression, is an error (vellum::Error).
Document Layout(const Report& report);

}  // namespace vellum::report
