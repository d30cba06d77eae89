#include "app/vellum_application.h"

#include <QIcon>

#include "dictionary/ui/application_errors.h"

namespace vellum::app {

VellumApplication::VellumApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName("Vellum");
  setOrganizationName("Corvane");
  setApplicationVersion(VELLUM_VERSION);
  setWindowIcon(QIcon(QStringLiteral(":/vellum.svg")));
}

bool VellumApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ui::HandleApplicationError(receiver, std::current_exception());
    return true;
  }
}

}  // namespace vellum::app
