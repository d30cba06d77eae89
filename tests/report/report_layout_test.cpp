#include "report/report_layout.h"

#include <gtest/gtest.h>

#include "engine/errors.h"
#include "report/report_fonts.h"
#include "tests/report/test_rows.h"

namespace vellum::report {
namespace {

using test::LinkedRows;
using test::ListRows;
using test::Row;

Item DataItem(const std::string& name, const std::string& source, const std::string& column,
              double top, double height) {
  Item item;
  item.name = name;
  item.kind = ItemKind::kDataText;
  item.source = source;
  item.column = column;
  item.left = 2;
  item.top = top;
  item.width = 100;
  item.height = height;
  return item;
}

Band MakeBand(const std::string& name, double height) {
  Band band;
  band.name = name;
  band.height = height;
  return band;
}

std::vector<Row> Numbered(int count) {
  std::vector<Row> rows;
  for (int i = 0; i < count; ++i) rows.push_back({{"Name", QString::number(i)}});
  return rows;
}

// A page 100 mm high with 10 mm margins: 80 mm to print on.
Report SmallPages(ListRows& master) {
  Report report;
  report.title = QStringLiteral("Struttura Tabella");
  report.page.height = 100;
  report.master = "master";
  report.sources["master"] = &master;
  report.detail = MakeBand("Detail", 30);
  report.detail.items.push_back(DataItem("name", "master", "Name", 1, 5));
  return report;
}

// Every placed band, page by page, as (page, name, top, height).
struct Seen {
  std::size_t page;
  std::string name;
  double top;
  double height;
};
std::vector<Seen> BandsOf(const Document& document) {
  std::vector<Seen> seen;
  for (std::size_t p = 0; p < document.pages.size(); ++p) {
    for (const PlacedBand& band : document.pages[p].bands) {
      seen.push_back({p, band.name, band.rect.top(), band.rect.height()});
    }
  }
  return seen;
}

TEST(ReportPagination, ABandThatDoesNotFitMovesToTheTopOfTheNextPage) {
  ListRows master(Numbered(3));
  const Report report = SmallPages(master);
  const Document document = Layout(report);
  const auto bands = BandsOf(document);
  ASSERT_EQ(bands.size(), 3U);
  ASSERT_EQ(document.pages.size(), 2U);
  // 10 + 30 + 30 = 70; the third band would end at 100, past the bottom at 90.
  EXPECT_EQ(bands[0].page, 0U);
  EXPECT_DOUBLE_EQ(bands[1].top, report.page.top_margin + 30);
  EXPECT_EQ(bands[2].page, 1U);
  EXPECT_DOUBLE_EQ(bands[2].top, report.page.top_margin);
  EXPECT_DOUBLE_EQ(bands[2].height, 30);
  // Its text went with it.
  ASSERT_EQ(document.pages[1].texts.size(), 1U);
  EXPECT_EQ(document.pages[1].texts[0].lines, QStringList{"2"});
  EXPECT_DOUBLE_EQ(document.pages[1].texts[0].rect.top(), report.page.top_margin + 1);
}

TEST(ReportPagination, ABandThatJustFitsStaysOnThePage) {
  ListRows master(Numbered(2));
  Report report = SmallPages(master);
  report.detail.height = 40;  // two of them fill the 80 mm exactly
  const Document document = Layout(report);
  EXPECT_EQ(document.pages.size(), 1U);
  EXPECT_EQ(BandsOf(document).size(), 2U);
}

TEST(ReportPagination, TheTitlePrintsOnlyOnceAtTheTopOfTheFirstPage) {
  ListRows master(Numbered(10));
  Report report = SmallPages(master);
  report.detail.height = 20;
  Band title = MakeBand("Title", 8.5);
  Item sys;
  sys.name = "QRSysData1";
  sys.kind = ItemKind::kSysTitle;
  sys.left = 58.8;
  sys.top = 0.8;
  sys.width = 72.4;
  sys.height = 6.8;
  title.items.push_back(sys);
  report.title_band = title;
  const Document document = Layout(report);
  ASSERT_GE(document.pages.size(), 3U);
  int titles = 0;
  for (const Seen& band : BandsOf(document)) {
    if (band.name != "Title") continue;
    ++titles;
    EXPECT_EQ(band.page, 0U);
    EXPECT_DOUBLE_EQ(band.top, report.page.top_margin);
  }
  EXPECT_EQ(titles, 1);
  EXPECT_EQ(document.pages[0].texts[0].lines, QStringList{report.title});
  // Later pages start with a detail band at the top margin.
  EXPECT_EQ(document.pages[1].bands[0].name, "Detail");
  EXPECT_DOUBLE_EQ(document.pages[1].bands[0].rect.top(), report.page.top_margin);
}

TEST(ReportPagination, AnEmptyMasterPrintsNothingNotEvenTheTitle) {
  ListRows master;
  Report report = SmallPages(master);
  report.title_band = MakeBand("Title", 8.5);
  EXPECT_TRUE(Layout(report).pages.empty());
  report.print_if_empty = true;
  const auto bands = BandsOf(Layout(report));
  ASSERT_EQ(bands.size(), 1U);
  EXPECT_EQ(bands[0].name, "Title");
}

// A master of tables with a sub-detail of fields, each with a header.
struct Tables {
  ListRows master{{{{"Name", "A"}}, {{"Name", "B"}}, {{"Name", "C"}}}};
  LinkedRows fields{master, "Name"};
  Report report;
  Tables() {
    fields.by_master["A"] = {{{"Field", "a1"}}, {{"Field", "a2"}}};
    fields.by_master["C"] = {{{"Field", "c1"}}};
    report.master = "tables";
    report.sources = {{"tables", &master}, {"fields", &fields}};
    report.detail = MakeBand("Table", 14);
    report.detail.children.push_back(MakeBand("TableDescr", 3.6));
    SubDetail sub;
    sub.source = "fields";
    sub.header = MakeBand("FieldsHeader", 5.1);
    sub.band = MakeBand("Fields", 4.2);
    sub.band.items.push_back(DataItem("field", "fields", "Field", 0, 4.2));
    sub.band.children.push_back(MakeBand("FieldDesc", 3.6));
    report.sub_details.push_back(sub);
  }
};

std::vector<std::string> Names(const Document& document) {
  std::vector<std::string> names;
  for (const Seen& band : BandsOf(document)) names.push_back(band.name);
  return names;
}

TEST(ReportSubDetails, AnEmptySubDetailPrintsNoHeaderAndTheOthersPrintOneEach) {
  Tables tables;
  const std::vector<std::string> expected{
      "Table",  "TableDescr", "FieldsHeader", "Fields",     "FieldDesc",
      "Fields", "FieldDesc",  "Table",        "TableDescr",  // B has no fields
      "Table",  "TableDescr", "FieldsHeader", "Fields",     "FieldDesc"};
  const Document document = Layout(tables.report);
  EXPECT_EQ(Names(document), expected);
  QStringList printed;
  for (const PlacedText& text : document.pages[0].texts) printed << text.lines;
  EXPECT_EQ(printed, (QStringList{"a1", "a2", "c1"}));
  // Bands follow one another without gaps.
  const auto bands = BandsOf(document);
  for (std::size_t i = 1; i < bands.size(); ++i) {
    EXPECT_DOUBLE_EQ(bands[i].top, bands[i - 1].top + bands[i - 1].height) << i;
  }
}

TEST(ReportSubDetails, AnEmptySubDetailPrintsItsHeaderWhenAskedTo) {
  Tables tables;
  tables.report.sub_details[0].print_if_empty = true;
  const auto names = Names(Layout(tables.report));
  EXPECT_EQ(std::count(names.begin(), names.end(), "FieldsHeader"), 3);
}

// A description band whose memo grows it.
Report MemoReport(ListRows& master) {
  Report report = SmallPages(master);
  report.detail = MakeBand("Descr", 3.6);
  Item memo = DataItem("memo", "master", "Memo", 0, 3.6);
  memo.font.points = 8;
  memo.word_wrap = true;
  memo.stretch = true;
  report.detail.items.push_back(memo);
  return report;
}

TEST(ReportStretching, AMemoPrintsAllItsLinesAndGrowsItsBand) {
  ListRows master({{{"Memo", "one\ntwo\r\nthree"}}, {{"Memo", ""}}});
  const Report report = MemoReport(master);
  const Document document = Layout(report);
  ASSERT_EQ(document.pages.size(), 1U);
  const auto bands = BandsOf(document);
  ASSERT_EQ(bands.size(), 2U);
  QStringList lines;
  double line_height = 0;
  for (const PlacedText& text : document.pages[0].texts) {
    if (text.rect.top() < bands[1].top) lines << text.lines;
    line_height = text.line_height;
  }
  EXPECT_EQ(lines, (QStringList{"one", "two", "three"}));
  ASSERT_GT(line_height, 2.5);  // an 8 pt line is about 3 mm
  EXPECT_NEAR(bands[0].height, 3 * line_height, 1e-9);
  EXPECT_GT(bands[0].height, report.detail.height);
  // An empty description keeps the band's own height.
  EXPECT_DOUBLE_EQ(bands[1].height, report.detail.height);
  EXPECT_DOUBLE_EQ(bands[1].top, bands[0].top + bands[0].height);
}

TEST(ReportStretching, AWrappedLineBreaksAtWordsWithinTheItem) {
  QString words;
  for (int i = 0; i < 60; ++i) words += QStringLiteral("word%1 ").arg(i);
  ListRows master({{{"Memo", words.trimmed()}}});
  const Report report = MemoReport(master);
  const Document document = Layout(report);
  TextMeasure measure;
  const Item& item = report.detail.items[0];
  QStringList joined;
  for (const PlacedText& text : document.pages[0].texts) {
    for (const QString& line : text.lines) {
      EXPECT_LE(measure.Width(item.font, line), item.width) << line.toStdString();
      EXPECT_FALSE(line.startsWith(' ') || line.endsWith(' '));
      joined << line;
    }
  }
  EXPECT_GT(joined.size(), 1);
  EXPECT_EQ(joined.join(' '), words.trimmed());
}

TEST(ReportStretching, AMemoLongerThanAPageSpansPagesBrokenBetweenLines) {
  QStringList memo;
  for (int i = 0; i < 70; ++i) memo << QStringLiteral("line %1").arg(i);
  ListRows master({{{"Memo", "short"}}, {{"Memo", memo.join('\n')}}, {{"Memo", "after"}}});
  const Report report = MemoReport(master);
  const Document document = Layout(report);
  ASSERT_GE(document.pages.size(), 3U);
  const double bottom = report.page.height - report.page.bottom_margin;
  QStringList lines;
  for (const Page& page : document.pages) {
    for (const PlacedText& text : page.texts) {
      EXPECT_LE(text.rect.bottom(), bottom + 1e-9);
      EXPECT_GE(text.rect.height() + 1e-9, text.line_height * text.lines.size());  // no line cut
      lines << text.lines;
    }
    for (const PlacedBand& band : page.bands) EXPECT_LE(band.rect.bottom(), bottom + 1e-9);
  }
  EXPECT_EQ(lines, QStringList{"short"} + memo + QStringList{"after"});
  // The long band starts right under the first, not on a page of its own,
  // and goes on at the top of the next page.
  const auto bands = BandsOf(document);
  EXPECT_EQ(bands[1].page, 0U);
  EXPECT_DOUBLE_EQ(bands[1].top, bands[0].top + bands[0].height);
  EXPECT_EQ(bands[2].page, 1U);
  EXPECT_DOUBLE_EQ(bands[2].top, report.page.top_margin);
}

TEST(ReportStretching, ATallBandWhoseFirstItemDoesNotFitStartsOnTheNextPage) {
  TextMeasure measure;
  FontSpec small;
  small.points = 8;
  const double line = measure.LineHeight(small);
  // The first band leaves less than the 8 mm label of the second.
  const int filling = static_cast<int>((80 - 8) / line) - 1;
  QStringList first;
  for (int i = 0; i < filling; ++i) first << QStringLiteral("first %1").arg(i);
  QStringList second;
  for (int i = 0; i < 40; ++i) second << QStringLiteral("second %1").arg(i);
  ListRows master(
      {{{"Head", "A"}, {"Memo", first.join('\n')}}, {{"Head", "B"}, {"Memo", second.join('\n')}}});
  Report report = MemoReport(master);
  report.detail.frame.top = true;
  report.detail.items[0].top = 8;
  report.detail.height = 8 + 3.6;
  report.detail.items.push_back(DataItem("head", "master", "Head", 0, 8));
  const Document document = Layout(report);
  const auto bands = BandsOf(document);
  ASSERT_GE(bands.size(), 3U);
  ASSERT_EQ(bands[0].page, 0U);
  ASSERT_GT(bands[0].height, 80 - 2 * line);
  EXPECT_EQ(bands[1].page, 1U);
  EXPECT_DOUBLE_EQ(bands[1].top, report.page.top_margin);
  for (const PlacedText& text : document.pages[1].texts) {
    if (text.item == "head") {
      EXPECT_DOUBLE_EQ(text.rect.height(), 8);
    }
  }
  // Only the band's first part has its top line.
  EXPECT_TRUE(document.pages[1].bands[0].frame.top);
  ASSERT_EQ(document.pages.size(), 3U);
  EXPECT_FALSE(document.pages[2].bands[0].frame.top);
}

TEST(ReportItems, ExpressionsJoinColumnsAndLiteralsAndAutoWidthFitsTheText) {
  ListRows master(std::vector<Row>{{{"Alias", "DATI"}, {"Nome", "clienti.db"}}});
  Report report = SmallPages(master);
  report.sources["tblTables"] = &master;
  Item expression;
  expression.name = "QRExpr1";
  expression.kind = ItemKind::kExpression;
  expression.text = QStringLiteral("tblTables.Alias + '.' + tblTables.Nome");
  expression.left = 1.7;
  expression.width = 99.9;
  expression.height = 7;
  expression.auto_width = true;
  expression.font.points = 16;
  report.detail.items = {expression};
  const Document document = Layout(report);
  const PlacedText& text = document.pages[0].texts[0];
  EXPECT_EQ(text.lines, QStringList{"DATI.clienti.db"});
  TextMeasure measure;
  EXPECT_NEAR(text.rect.width(), measure.Width(expression.font, "DATI.clienti.db"), 1e-9);
  EXPECT_LT(text.rect.width(), expression.width);
  EXPECT_DOUBLE_EQ(text.rect.left(), report.page.left_margin + expression.left);

  report.detail.items[0].text = QStringLiteral("tblTables.Alias + ");
  EXPECT_THROW(Layout(report), Error);
  report.detail.items[0].text = QStringLiteral("nowhere.Alias");
  EXPECT_THROW(Layout(report), Error);
}

TEST(ReportItems, APictureItemIsPlacedWithItsPictureAndNoText) {
  ListRows master(Numbered(1));
  Report report = SmallPages(master);
  Item key;
  key.name = "QRImage1";
  key.kind = ItemKind::kPicture;
  key.left = 10.6;
  key.top = 4.7;
  key.width = 3.6;
  key.height = 3.6;
  key.picture = QImage(32, 16, QImage::Format_RGB32);
  key.picture.fill(Qt::red);
  report.detail.items = {key};
  const Document document = Layout(report);
  ASSERT_EQ(document.pages[0].texts.size(), 1U);
  const PlacedText& placed = document.pages[0].texts[0];
  EXPECT_TRUE(placed.lines.isEmpty());
  EXPECT_EQ(placed.picture.size(), QSize(32, 16));
  EXPECT_EQ(placed.rect,
            QRectF(report.page.left_margin + 10.6, report.page.top_margin + 4.7, 3.6, 3.6));
}

TEST(ReportItems, ATextWithoutStretchKeepsItsItemHeight) {
  ListRows master(std::vector<Row>{{{"Name", "one\ntwo\nthree\nfour"}}});
  Report report = SmallPages(master);
  report.detail.height = 4.2;
  report.detail.items[0].top = 0;
  report.detail.items[0].height = 4.2;
  const Document document = Layout(report);
  EXPECT_DOUBLE_EQ(document.pages[0].bands[0].rect.height(), 4.2);
  EXPECT_DOUBLE_EQ(document.pages[0].texts[0].rect.height(), 4.2);
}

}  // namespace
}  // namespace vellum::report
