#include "report/report_layout.h"

#include <algorithm>

#include "engine/errors.h"
#include "report/report_fonts.h"

namespace vellum::report {

namespace {

// A piece of an item that is never broken across pages: a whole item, or
// one line of a stretching item. `top` is from the top of its band.
struct Block {
  const Item* item = nullptr;
  double top = 0;
  double height = 0;
  double left = 0;
  double width = 0;
  QStringList lines;
  double line_height = 0;
};

// One printing of a band, its items resolved, before it is placed.
struct BandInstance {
  const Band* band = nullptr;
  double height = 0;
  std::vector<Block> blocks;
};

RowSource& SourceNamed(const Report& report, const std::string& name) {
  const auto found = report.sources.find(name);
  if (found == report.sources.end() || found->second == nullptr) {
    throw Error("The report has no data source \"" + name + "\"");
  }
  return *found->second;
}

// Evaluates terms joined by '+': 'literal' or source.Column.
QString Evaluate(const Report& report, const QString& expression) {
  QString result;
  int at = 0;
  const int size = static_cast<int>(expression.size());
  const auto fail = [&]() {
    throw Error("Malformed report expression \"" + expression.toStdString() + "\"");
  };
  for (;;) {
    while (at < size && expression[at].isSpace()) ++at;
    if (at >= size) fail();
    if (expression[at] == QLatin1Char('\'')) {
      const int close = static_cast<int>(expression.indexOf(QLatin1Char('\''), at + 1));
      if (close < 0) fail();
      result += expression.mid(at + 1, close - at - 1);
      at = close + 1;
    } else {
      int end = at;
      while (end < size && expression[end] != QLatin1Char('+') && !expression[end].isSpace()) {
        ++end;
      }
      const QString term = expression.mid(at, end - at);
      const auto dot = term.indexOf(QLatin1Char('.'));
      if (dot <= 0 || dot == term.size() - 1) fail();
      result +=
          SourceNamed(report, term.left(dot).toStdString()).Text(term.mid(dot + 1).toStdString());
      at = end;
    }
    while (at < size && expression[at].isSpace()) ++at;
    if (at >= size) return result;
    if (expression[at] != QLatin1Char('+')) fail();
    ++at;
  }
}

QString ItemText(const Report& report, const Item& item) {
  switch (item.kind) {
    case ItemKind::kLabel:
      return item.text;
    case ItemKind::kDataText:
      return SourceNamed(report, item.source).Text(item.column);
    case ItemKind::kExpression:
      return Evaluate(report, item.text);
    case ItemKind::kSysTitle:
      return report.title;
    case ItemKind::kPicture:
      return {};
  }
  return {};
}

// `line` broken at word boundaries into lines no wider than `width`; a word
// wider than the width stays whole on a line of its own.
QStringList Wrap(TextMeasure& measure, const FontSpec& font, const QString& line, double width) {
  QStringList lines;
  QString current;
  for (const QString& word : line.split(QLatin1Char(' '))) {
    const QString joined = current.isEmpty() ? word : current + QLatin1Char(' ') + word;
    if (!current.isEmpty() && measure.Width(font, joined) > width) {
      lines << current;
      current = word;
    } else {
      current = joined;
    }
  }
  lines << current;
  return lines;
}

class Layouter {
 public:
  explicit Layouter(const Report& report) : report_(report), settings_(report.page) {
    document_.title = report.title;
    document_.page = report.page;
  }

  Document Run() {
    RowSource& master = SourceNamed(report_, report_.master);
    const bool any = master.First();
    if (!any && !report_.print_if_empty) return std::move(document_);
    if (report_.title_band) PrintWithChildren(*report_.title_band);
    if (any) {
      do {
        PrintWithChildren(report_.detail);
        for (const SubDetail& sub : report_.sub_details) PrintSubDetail(sub);
      } while (master.Next());
    }
    return std::move(document_);
  }

 private:
  double PageTop() const { return settings_.top_margin; }
  double PageBottom() const { return settings_.height - settings_.bottom_margin; }

  void PrintSubDetail(const SubDetail& sub) {
    RowSource& rows = SourceNamed(report_, sub.source);
    const bool any = rows.First();
    if (!any && !sub.print_if_empty) return;
    if (sub.header) PrintWithChildren(*sub.header);
    if (!any) return;
    do {
      PrintWithChildren(sub.band);
    } while (rows.Next());
  }

  void PrintWithChildren(const Band& band) {
    Place(Instance(band));
    for (const Band& child : band.children) PrintWithChildren(child);
  }

  BandInstance Instance(const Band& band) {
    BandInstance instance{&band, band.height, {}};
    for (const Item& item : band.items) AddItem(instance, item);
    return instance;
  }

  void AddItem(BandInstance& instance, const Item& item) {
    const QString text = ItemText(report_, item);
    QStringList lines =
        QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")).split(QLatin1Char('\n'));
    if (text.isEmpty()) lines.clear();
    double width = item.width;
    if (item.auto_width) {
      double widest = 0;
      for (const QString& line : lines) widest = std::max(widest, measure_.Width(item.font, line));
      width = std::min(widest, settings_.PrintableWidth() - item.left);
    }
    if (item.word_wrap) {
      QStringList wrapped;
      for (const QString& line : lines) wrapped << Wrap(measure_, item.font, line, width);
      lines = wrapped;
    }
    const double line_height = measure_.LineHeight(item.font);
    const double needed = line_height * static_cast<double>(lines.size());
    const Block whole{&item, item.top, item.height, item.left, width, lines, line_height};
    if (!item.stretch || needed <= item.height) {
      instance.blocks.push_back(whole);
      return;
    }
    for (qsizetype i = 0; i < lines.size(); ++i) {
      Block line = whole;
      line.top = item.top + line_height * static_cast<double>(i);
      line.height = line_height;
      line.lines = QStringList{lines[i]};
      instance.blocks.push_back(line);
    }
    const double below = std::max(0.0, instance.band->height - item.top - item.height);
    instance.height = std::max(instance.height, item.top + needed + below);
  }

  void NewPage() {
    document_.pages.emplace_back();
    y_ = PageTop();
  }

  bool PageHasBands() const {
    return !document_.pages.empty() && !document_.pages.back().bands.empty();
  }

  // The greatest height up to `available` from `offset` that breaks no block.
  static double Cut(const BandInstance& instance, double offset, double available) {
    double cut = available;
    for (bool moved = true; moved;) {
      moved = false;
      for (const Block& block : instance.blocks) {
        const double top = block.top - offset;
        if (top < cut && top + block.height > cut && top >= 0) {
          cut = top;
          moved = true;
        }
      }
    }
    return cut;
  }

  void Place(const BandInstance& instance) {
    if (document_.pages.empty()) NewPage();
    const double full = PageBottom() - PageTop();
    if (instance.height > PageBottom() - y_ && PageHasBands() && instance.height <= full) {
      NewPage();
    }
    double offset = 0;
    while (instance.height - offset > PageBottom() - y_) {
      double cut = Cut(instance, offset, PageBottom() - y_);
      if (cut <= 0 && PageHasBands()) {
        NewPage();
        continue;
      }
      if (cut <= 0) cut = PageBottom() - y_;  // a block taller than a page: clipped
      PlaceFragment(instance, offset, cut);
      offset += cut;
      NewPage();
    }
    PlaceFragment(instance, offset, instance.height - offset);
  }

  // Puts the part of `instance` from `offset` down, `height` high, at y_.
  void PlaceFragment(const BandInstance& instance, double offset, double height) {
    Page& page = document_.pages.back();
    const Band& band = *instance.band;
    const double left = settings_.left_margin;
    PlacedBand placed{band.name, QRectF(left, y_, settings_.PrintableWidth(), height),
                      band.background, band.frame};
    if (offset > 0) placed.frame.top = false;
    page.bands.push_back(placed);
    for (const Block& block : instance.blocks) {
      const double top = block.top - offset;
      if (top < 0 || top >= height) continue;
      const Item& item = *block.item;
      PlacedText text;
      text.item = item.name;
      text.band = band.name;
      text.rect =
          QRectF(left + block.left, y_ + top, block.width, std::min(block.height, height - top));
      text.lines = block.lines;
      text.line_height = block.line_height;
      text.font = item.font;
      text.alignment = item.alignment;
      text.background = item.transparent ? QColor(Qt::transparent) : item.background;
      text.picture = item.picture;
      page.texts.push_back(text);
    }
    y_ += height;
  }

  const Report& report_;
  const PageSettings& settings_;
  TextMeasure measure_;
  Document document_;
  double y_ = 0;
};

}  // namespace

Document Layout(const Report& report) { return Layouter(report).Run(); }

}  // namespace vellum::report
