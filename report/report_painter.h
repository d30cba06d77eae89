// Painting laid-out pages: one painter for screen, printer and PDF.
#pragma once

#include <QPainter>
#include <QString>

#include "report/report_layout.h"

namespace vellum::report {

// Paints `page` with `painter`, which must be active on a device whose
// origin is the paper's top left corner; millimetres are turned into the
// device's dots by its logical resolution. The painter's state is restored.
void PaintPage(QPainter& painter, const Page& page);

// Writes `document` to the PDF file `path`, one PDF page per page, with the
// document's title as the PDF's title. A document without pages gives one
// blank page (a PDF has at least one). Failing to open the file is an error
// (vellum::Error).
void WritePdf(const Document& document, const QString& path);

}  // namespace vellum::report
