#include "dictionary/ui/window_geometry.h"

#include <memory>

#include <QEvent>
#include <QSettings>
#include <QWidget>

#include "dictionary/ui/open_project_dlg.h"

namespace vellum::ui {

namespace {

QString Key(const QWidget* window) { return "Geometry/" + window->objectName(); }

// Watches its window's Show and Hide events.
class GeometryKeeper : public QObject {
 public:
  explicit GeometryKeeper(QWidget* window) : QObject(window), window_(window) {
    window->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != window_) return false;
    if (event->type() == QEvent::Show && !restored_) {
      restored_ = true;
      const QByteArray geometry = dictionary::ProjectSettings()->value(Key(window_)).toByteArray();
      if (!geometry.isEmpty()) window_->restoreGeometry(geometry);
    } else if (event->type() == QEvent::Hide) {
      dictionary::ProjectSettings()->setValue(Key(window_), window_->saveGeometry());
    }
    return false;
  }

 private:
  QWidget* window_;
  bool restored_ = false;
};

}  // namespace

void RememberGeometry(QWidget* window) { new GeometryKeeper(window); }

}  // namespace vellum::ui
