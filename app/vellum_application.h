// The application object of the desktop program. Besides Qt's own work it is
// the one place where errors escaping an event handler are caught: they go
// to the application-wide error handling (dictionary/ui/application_errors.h), a
// silent abort is dropped, and the event counts as handled.
#pragma once

#include <QApplication>

namespace vellum::app {

class VellumApplication : public QApplication {
  Q_OBJECT

 public:
  VellumApplication(int& argc, char** argv);

  // Delivers `event` to `receiver`; an error it raises is handled as above.
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vellum::app
