#include "report/report_painter.h"

#include <QPaintDevice>
#include <QPdfWriter>

#include "engine/errors.h"
#include "report/report_fonts.h"

namespace vellum::report {

namespace {

constexpr double kMmPerInch = 25.4;

// `rect` in millimetres as a rectangle in the painter's units.
QRectF Units(const QRectF& rect) {
  return {rect.x() * kUnitsPerMm, rect.y() * kUnitsPerMm, rect.width() * kUnitsPerMm,
          rect.height() * kUnitsPerMm};
}

Qt::Alignment Flags(Alignment alignment) {
  switch (alignment) {
    case Alignment::kLeft:
      return Qt::AlignLeft | Qt::AlignTop;
    case Alignment::kRight:
      return Qt::AlignRight | Qt::AlignTop;
    case Alignment::kCenter:
      return Qt::AlignHCenter | Qt::AlignTop;
  }
  return Qt::AlignLeft | Qt::AlignTop;
}

void PaintBand(QPainter& painter, const PlacedBand& band) {
  const QRectF rect = Units(band.rect);
  if (band.background.alpha() > 0) painter.fillRect(rect, band.background);
  const Frame& frame = band.frame;
  if (!(frame.top || frame.left || frame.bottom || frame.right)) return;
  QPen pen(frame.color);
  pen.setWidthF(frame.width * kUnitsPerMm);
  painter.setPen(pen);
  if (frame.top) painter.drawLine(rect.topLeft(), rect.topRight());
  if (frame.left) painter.drawLine(rect.topLeft(), rect.bottomLeft());
  if (frame.bottom) painter.drawLine(rect.bottomLeft(), rect.bottomRight());
  if (frame.right) painter.drawLine(rect.topRight(), rect.bottomRight());
}

void PaintText(QPainter& painter, const PlacedText& text) {
  const QRectF rect = Units(text.rect);
  if (text.background.alpha() > 0) painter.fillRect(rect, text.background);
  painter.save();
  painter.setClipRect(rect);
  painter.setFont(UnitFont(text.font));
  painter.setPen(Qt::black);
  if (!text.picture.isNull()) {
    const QImage& picture = text.picture;
    const QSizeF size(picture.width() * 1000.0 / picture.dotsPerMeterX() * kUnitsPerMm,
                      picture.height() * 1000.0 / picture.dotsPerMeterY() * kUnitsPerMm);
    painter.drawImage(QRectF(rect.topLeft(), size), picture);
  }
  const double line = text.line_height * kUnitsPerMm;
  for (qsizetype i = 0; i < text.lines.size(); ++i) {
    const QRectF line_rect(rect.x(), rect.y() + line * static_cast<double>(i), rect.width(), line);
    painter.drawText(line_rect, static_cast<int>(Flags(text.alignment) | Qt::TextSingleLine),
                     text.lines[i]);
  }
  painter.restore();
}

}  // namespace

void PaintPage(QPainter& painter, const Page& page) {
  const QPaintDevice* device = painter.device();
  painter.save();
  painter.scale(device->logicalDpiX() / kMmPerInch / kUnitsPerMm,
                device->logicalDpiY() / kMmPerInch / kUnitsPerMm);
  painter.setRenderHint(QPainter::Antialiasing, false);
  for (const PlacedBand& band : page.bands) PaintBand(painter, band);
  for (const PlacedText& text : page.texts) PaintText(painter, text);
  painter.restore();
}

void WritePdf(const Document& document, const QString& path) {
  constexpr int kPdfDpi = 1200;
  QPdfWriter writer(path);
  writer.setPageSize(
      QPageSize(QSizeF(document.page.width, document.page.height), QPageSize::Millimeter));
  writer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
  writer.setResolution(kPdfDpi);
  writer.setTitle(document.title);
  writer.setCreator(QStringLiteral("Vellum"));
  QPainter painter;
  if (!painter.begin(&writer)) {
    throw Error("Cannot write the file \"" + path.toStdString() + "\"");
  }
  for (std::size_t i = 0; i < document.pages.size(); ++i) {
    if (i > 0) writer.newPage();
    PaintPage(painter, document.pages[i]);
  }
  painter.end();
}

}  // namespace vellum::report
