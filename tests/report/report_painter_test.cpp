#include "report/report_painter.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cmath>
#include <map>

#include "tests/report/test_rows.h"

namespace vellum::report {
namespace {

using test::ListRows;
using test::Row;

constexpr double kMmPerInch = 25.4;

// A page with one black band at a known place, painted at `dpi`.
QImage Painted(const Page& page, const PageSettings& settings, int dpi) {
  const double dots = dpi / kMmPerInch;
  QImage image(static_cast<int>(std::lround(settings.width * dots)),
               static_cast<int>(std::lround(settings.height * dots)), QImage::Format_RGB32);
  image.setDotsPerMeterX(static_cast<int>(std::lround(dots * 1000)));
  image.setDotsPerMeterY(static_cast<int>(std::lround(dots * 1000)));
  image.fill(Qt::white);
  QPainter painter(&image);
  PaintPage(painter, page);
  return image;
}

// The edges of what is dark in `image`, in mm: left, top, right, bottom.
QRectF DarkMm(const QImage& image) {
  int left = image.width();
  int top = image.height();
  int right = -1;
  int bottom = -1;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (qGray(image.pixel(x, y)) >= 128) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  const double mm = kMmPerInch / image.logicalDpiX();
  return {left * mm, top * mm, (right + 1 - left) * mm, (bottom + 1 - top) * mm};
}

TEST(ReportPainter, BandsLandAtTheSameMillimetresAt96And300Dpi) {
  Page page;
  page.bands.push_back({"Grey", QRectF(10, 20, 190, 14), Qt::black, {}});
  PageSettings settings;
  const QRectF at96 = DarkMm(Painted(page, settings, 96));
  const QRectF at300 = DarkMm(Painted(page, settings, 300));
  const double pixel96 = kMmPerInch / 96;
  for (const QRectF& rect : {at96, at300}) {
    EXPECT_NEAR(rect.left(), 10, pixel96);
    EXPECT_NEAR(rect.top(), 20, pixel96);
    EXPECT_NEAR(rect.width(), 190, pixel96);
    EXPECT_NEAR(rect.height(), 14, pixel96);
  }
}

TEST(ReportPainter, TextIsPaintedInsideItsRectangleAtEveryResolution) {
  Page page;
  PlacedText text;
  text.rect = QRectF(50, 30, 60, 20);
  text.lines = QStringList{"Struttura", "Tabella"};
  text.line_height = 6;
  text.font.points = 16;
  text.background = Qt::transparent;
  page.texts.push_back(text);
  for (const int dpi : {96, 300}) {
    const QRectF ink = DarkMm(Painted(page, PageSettings{}, dpi));
    ASSERT_GT(ink.width(), 0) << dpi;
    EXPECT_GE(ink.left(), 50 - 0.3) << dpi;
    EXPECT_GE(ink.top(), 30 - 0.3) << dpi;
    EXPECT_LE(ink.bottom(), 30 + 12 + 0.3) << dpi;  // two lines of 6 mm
    EXPECT_GT(ink.bottom(), 30 + 6) << dpi;         // the second line shows
  }
}

TEST(ReportPainter, TextIsAlignedWithinItsItem) {
  const QRectF item(40, 30, 80, 6);
  std::map<Alignment, QRectF> ink;
  for (const Alignment alignment : {Alignment::kLeft, Alignment::kCenter, Alignment::kRight}) {
    Page page;
    PlacedText text;
    text.rect = item;
    text.lines = QStringList{"Modified"};
    text.line_height = 6;
    text.alignment = alignment;
    text.background = Qt::transparent;
    page.texts.push_back(text);
    ink[alignment] = DarkMm(Painted(page, PageSettings{}, 300));
  }
  const double slack = 1.0;  // side bearings of the glyphs
  EXPECT_NEAR(ink[Alignment::kLeft].left(), item.left(), slack);
  EXPECT_NEAR(ink[Alignment::kRight].right(), item.right(), slack);
  EXPECT_NEAR(ink[Alignment::kCenter].center().x(), item.center().x(), slack);
  EXPECT_NEAR(ink[Alignment::kLeft].width(), ink[Alignment::kRight].width(), 0.2);
}

TEST(ReportPainter, AnOpaqueItemCoversItsBandAndATransparentOneDoesNot) {
  Page page;
  page.bands.push_back({"Band", QRectF(10, 10, 190, 20), Qt::black, {}});
  PlacedText text;
  text.rect = QRectF(20, 12, 30, 5);
  text.background = Qt::white;
  page.texts.push_back(text);
  const QImage opaque = Painted(page, PageSettings{}, 96);
  page.texts[0].background = Qt::transparent;
  const QImage transparent = Painted(page, PageSettings{}, 96);
  const QPoint inside(static_cast<int>(35 * 96 / kMmPerInch),
                      static_cast<int>(14 * 96 / kMmPerInch));
  EXPECT_EQ(qGray(opaque.pixel(inside)), 255);
  EXPECT_EQ(qGray(transparent.pixel(inside)), 0);
}

TEST(ReportPainter, APictureShowsAtItsOwnSizeCutToItsItem) {
  // Two 16 x 16 glyphs side by side at 96 dots per inch: a dark one at the
  // left, a white one at the right.
  QImage picture(32, 16, QImage::Format_RGB32);
  picture.setDotsPerMeterX(3780);
  picture.setDotsPerMeterY(3780);
  picture.fill(Qt::white);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) picture.setPixel(x, y, qRgb(0, 0, 0));
  }
  const double glyph = 16 * 1000.0 / 3780;  // mm
  for (const double width : {20.0, 3.0}) {
    Page page;
    PlacedText item;
    item.rect = QRectF(40, 50, width, 10);
    item.picture = picture;
    item.background = Qt::transparent;
    page.texts.push_back(item);
    const QRectF ink = DarkMm(Painted(page, PageSettings{}, 300));
    const double pixel = kMmPerInch / 300;
    EXPECT_NEAR(ink.left(), 40, pixel) << width;
    EXPECT_NEAR(ink.top(), 50, pixel) << width;
    EXPECT_NEAR(ink.width(), std::min(glyph, width), pixel) << width;
    EXPECT_NEAR(ink.height(), glyph, pixel) << width;  // not stretched to 10 mm
  }
}

// Runs `program` with `arguments`; its standard output, or nothing when the
// program is not installed.
QString RunProgram(const QString& program, const QStringList& arguments) {
  if (QStandardPaths::findExecutable(program).isEmpty()) return {};
  QProcess process;
  process.start(program, arguments);
  process.waitForFinished();
  return QString::fromUtf8(process.readAllStandardOutput());
}

TEST(ReportPdf, APdfHoldsEveryPageAndTheTitle) {
  std::vector<Row> rows;
  for (int i = 0; i < 40; ++i) rows.push_back({{"Name", QStringLiteral("table %1").arg(i)}});
  ListRows master(rows);
  Report report;
  report.title = QStringLiteral("Struttura Tabella");
  report.master = "master";
  report.sources["master"] = &master;
  report.detail.name = "Detail";
  report.detail.height = 20;
  report.detail.background = Qt::gray;
  report.detail.frame.top = report.detail.frame.left = true;
  Item name;
  name.kind = ItemKind::kDataText;
  name.source = "master";
  name.column = "Name";
  name.width = 80;
  name.height = 7;
  name.transparent = true;
  report.detail.items.push_back(name);
  const Document document = Layout(report);
  ASSERT_GT(document.pages.size(), 2U);

  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("report.pdf"));
  WritePdf(document, path);
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.read(5) == "%PDF-");
  EXPECT_GT(file.size(), 1000);

  const QString info = RunProgram(QStringLiteral("pdfinfo"), {path});
  if (info.isEmpty()) GTEST_SKIP() << "pdfinfo is not installed";
  EXPECT_TRUE(info.contains(QStringLiteral("Pages:           %1").arg(document.pages.size())))
      << info.toStdString();
  EXPECT_TRUE(info.contains(QStringLiteral("Title:           Struttura Tabella")))
      << info.toStdString();
  EXPECT_TRUE(info.contains(QStringLiteral("(A4)"))) << info.toStdString();
  const QString text =
      RunProgram(QStringLiteral("pdftotext"), {QStringLiteral("-l"), "1", path, "-"});
  EXPECT_TRUE(text.contains(QStringLiteral("table 0"))) << text.toStdString();
}

TEST(ReportPdf, ThePdfPageLooksLikeThePagePaintedOnScreen) {
  Page page;
  page.bands.push_back({"Top", QRectF(10, 20, 190, 14), Qt::black, {}});
  page.bands.push_back({"Box", QRectF(30, 100, 50, 30), Qt::black, {}});
  Document document;
  document.pages.push_back(page);
  QTemporaryDir dir;
  const QString pdf = dir.filePath(QStringLiteral("page.pdf"));
  WritePdf(document, pdf);
  const QString png = dir.filePath(QStringLiteral("page"));
  if (QStandardPaths::findExecutable(QStringLiteral("pdftoppm")).isEmpty()) {
    GTEST_SKIP() << "pdftoppm is not installed";
  }
  QProcess::execute(QStringLiteral("pdftoppm"), {"-r", "96", "-png", "-singlefile", pdf, png});
  QImage printed(png + QStringLiteral(".png"));
  ASSERT_FALSE(printed.isNull());
  printed.setDotsPerMeterX(static_cast<int>(std::lround(96 / kMmPerInch * 1000)));
  const QImage screen = Painted(page, document.page, 96);
  EXPECT_EQ(printed.size(), screen.size());
  const QRectF on_paper = DarkMm(printed);
  const QRectF on_screen = DarkMm(screen);
  const double pixel = kMmPerInch / 96;
  EXPECT_NEAR(on_paper.left(), on_screen.left(), pixel);
  EXPECT_NEAR(on_paper.top(), on_screen.top(), pixel);
  EXPECT_NEAR(on_paper.right(), on_screen.right(), pixel);
  EXPECT_NEAR(on_paper.bottom(), on_screen.bottom(), pixel);
  // The second band is there too: below the first one's bottom.
  EXPECT_NEAR(on_paper.bottom(), 130, pixel);
}

}  // namespace
}  // namespace vellum::report
