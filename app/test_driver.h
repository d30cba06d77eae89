// A robot user for the program's own end-to-end tests and screenshots. It
// does nothing unless the environment asks for it:
//
//   VELLUM_TEST_TRANSCRIPT=FILE   act as the user: every message box, engine
//       error dialog and batch window shown is written to FILE, one line
//       each (a kind, then its fields, each after a tab; CR, LF, tab and
//       backslash inside a field are written as \r, \n, \t and \\), and
//       answered: message boxes and the error dialog with their default
//       button, the batch window with Run; a batch window left open after
//       a failed run is closed with its close box; the project directory
//       dialog is confirmed (after Create where needed) on the directory
//       VELLUM_TEST_DIRECTORY names, and cancelled without it; the main
//       window of an interactive start is written and closed with Exit.
//   VELLUM_TEST_SCREENSHOTS=DIR   save a PNG of each window as it comes up
//       (and of the batch window while it runs), grabbed from the screen.
//
// It looks at the top-level windows every few milliseconds, from whatever
// event loop is running (modal ones included).
#pragma once

#include <QFile>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

class QWidget;

namespace vellum::app {

class TestDriver : public QObject {
  Q_OBJECT

 public:
  TestDriver();

 private:
  void tick();
  void write(const QString& kind, const QStringList& fields);
  void screenshot(QWidget* window, const QString& name);
  bool handle(QWidget* window);

  QTimer timer_;
  QFile transcript_;
  bool acting_ = false;
  QString screenshots_;
  int shot_ = 0;
  QSet<QString> shot_states_;
  QSet<QWidget*> settled_;  // message boxes seen once, to be acted on
  bool pressed_run_ = false;
  int idle_ticks_ = 0;
  int inactive_ticks_ = 0;
  bool directory_written_ = false;
  bool create_pressed_ = false;
  bool directory_answered_ = false;
};

}  // namespace vellum::app
