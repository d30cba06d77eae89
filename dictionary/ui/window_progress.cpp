#include "dictionary/ui/window_progress.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>

namespace vellum::ui {

WindowProgress::~WindowProgress() {
  while (busy_depth_ > 0) busy(false);
}

void WindowProgress::busy(bool on) {
  if (on) {
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    ++busy_depth_;
  } else if (busy_depth_ > 0) {
    QGuiApplication::restoreOverrideCursor();
    --busy_depth_;
  }
}

void WindowProgress::processEvents() { QCoreApplication::processEvents(); }

}  // namespace vellum::ui
