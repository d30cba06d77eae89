// The layout model of a banded report, in millimetres.
//
// A Report is bound to a master data source and prints, for each master row
// from the first to the last, its detail band, the detail's child bands, then
// each sub-detail in the order attached: the sub-detail's header band before
// its first row, and for each of its rows its band and that band's children.
// The title band prints once, at the top of the first page. Positions are
// millimetres from the top left corner of the band an item belongs to.
//
// The model holds no rows: data sources are named RowSource objects owned by
// the caller, which must outlive every layout of the report. A sub-detail's
// source is expected to follow the master's current row (as a linked detail
// dataset does); the layout only walks it from first to last.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellum::report {

// Rows read in order, one current row at a time. Text() gives the display
// text of a column of the current row; a column the source does not have is
// an error (vellum::Error).
class RowSource {
 public:
  virtual ~RowSource() = default;
  // Moves to the first row; false when there is none.
  virtual bool First() = 0;
  // Moves to the next row; false when the current row was the last.
  virtual bool Next() = 0;
  virtual QString Text(const std::string& column) const = 0;
};

enum class Alignment { kLeft, kRight, kCenter };

// A font asked for by name; where the family is missing a metric-compatible
// stand-in is used (report_fonts.h).
struct FontSpec {
  QString family = QStringLiteral("Arial");
  double points = 10.0;
  bool bold = false;
  bool italic = false;
};

enum class ItemKind {
  kLabel,       // `text` printed as it is
  kDataText,    // the column `column` of the source `source`
  kExpression,  // `text`: terms joined by '+', each 'literal' or source.Column
  kSysTitle,    // the report's title
  kPicture,     // `picture` at its own size (its dots per metre), not scaled
};

// One item of a band. Sizes in millimetres; with `auto_width` the width
// becomes that of the text (never past the right edge of the printable
// area); with `word_wrap` text wraps at word boundaries within the width;
// with `stretch` the item grows downwards to hold all its lines and its band
// grows with it. A text with line breaks (a memo) prints all its lines.
// Whatever does not fit in the item's rectangle is cut off.
struct Item {
  std::string name;
  ItemKind kind = ItemKind::kLabel;
  QString text;
  std::string source;
  std::string column;
  double left = 0;
  double top = 0;
  double width = 0;
  double height = 0;
  Alignment alignment = Alignment::kLeft;
  FontSpec font;
  bool auto_width = false;
  bool word_wrap = false;
  bool stretch = false;
  bool transparent = false;
  QColor background = Qt::white;
  QImage picture;
};

// Frame lines along a band's edges.
struct Frame {
  bool top = false;
  bool left = false;
  bool bottom = false;
  bool right = false;
  double width = 0.26;  // mm
  QColor color = Qt::black;
};

// A band as wide as the printable area. A band whose background is
// transparent (Qt::transparent) paints none.
struct Band {
  std::string name;
  double height = 0;
  QColor background = Qt::white;
  Frame frame;
  std::vector<Item> items;
  std::vector<Band> children;  // printed right after this band, in order
};

// A band printed once per row of `source`, after an optional header band.
struct SubDetail {
  std::string source;
  std::optional<Band> header;
  Band band;
  bool print_if_empty = false;  // off: an empty source prints no header
};

// Paper and margins in millimetres.
struct PageSettings {
  double width = 210;
  double height = 297;
  double left_margin = 10;
  double top_margin = 10;
  double right_margin = 10;
  double bottom_margin = 10;

  double PrintableWidth() const { return width - left_margin - right_margin; }
  double PrintableHeight() const { return height - top_margin - bottom_margin; }
};

struct Report {
  QString title;
  PageSettings page;
  std::string master;  // the name of the master source
  std::optional<Band> title_band;
  Band detail;
  std::vector<SubDetail> sub_details;
  bool print_if_empty = false;  // off: an empty master prints nothing at all
  std::map<std::string, RowSource*> sources;
};

}  // namespace vellum::report
