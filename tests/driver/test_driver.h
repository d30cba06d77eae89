// A robot user for the program's end-to-end tests, screenshots and headless
// demo, built only into vellum-driven (never into the shipped vellum). It
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
//       window of an interactive start is written and closed with Exit; a
//       password box is written (its title and text, never what is typed)
//       and answered with VELLUM_TEST_PASSWORD, or cancelled without it.
//   VELLUM_TEST_COMMANDS=LINES    menu commands the user gives in the main
//       window before Exit, one a line, fields after a tab:
//         rebuild ALIAS TARGET TABLE,TABLE...   Rebuild
//         list ALIAS TARGET TABLE,TABLE...      Print > Su File
//         about                                 ?
//       The rebuild chooser is answered with the alias, the tables moved one
//       by one in the given order and TARGET in its edit box, then OK when
//       it can be pressed (else Cancel), and written down; the about box is
//       written and closed. Message boxes show their details when
//       screenshots are taken and write them as a field of their own.
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
  bool handleMessageBox(QWidget* window);
  bool handlePasswordBox(QWidget* window);
  bool handleMainForm(QWidget* window);
  bool handleChooser(QWidget* window);
  bool handleAboutBox(QWidget* window);
  void nextCommand(QWidget* main_form);

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
  int main_idle_ticks_ = 0;  // ticks the main window was seen idle in a row
  int rows_ticks_ = 0;       // ticks a rebuild was seen showing its rows
  bool directory_written_ = false;
  bool create_pressed_ = false;
  bool directory_answered_ = false;
  QStringList commands_;   // still to give
  QStringList command_;    // the one being given: its fields
  bool awaiting_ = false;  // its window has not come up yet
  int awaiting_ticks_ = 0;
  bool chooser_filled_ = false;
};

}  // namespace vellum::app
