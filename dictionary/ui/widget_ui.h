// The Ui of the desktop program: questions and messages are the platform's
// standard message boxes, progress texts go to whatever the window running a
// long command shows them in, and the busy cursor is the application's
// override cursor.
//
// One WidgetUi serves the whole program; windows that show progress of their
// own (the batch window's operation panel) set a progress sink for the time
// of their run. The object owns nothing but its callbacks.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QMessageBox>

#include "dictionary/ui.h"

namespace vellum::ui {

// The title of a message box of `kind`: "Confirm", "Error", "Information",
// "Warning", or the application's name for a plain message.
QString MessageTitle(MessageKind kind);
// The icon of a message box of `kind` (none for a plain message).
QMessageBox::Icon MessageIcon(MessageKind kind);
// The standard buttons of a button set; All is YesToAll.
QMessageBox::StandardButtons MessageButtons(Buttons buttons);
// The answer a pressed standard button means; a box closed without a button
// is Cancel, or OK when OK is its only button.
Answer AnswerOf(QMessageBox::StandardButton button, Buttons buttons);

class WidgetUi : public Ui {
 public:
  using ProgressSink = std::function<void(const std::string&)>;

  // Shows a modal message box over the active window and returns the answer.
  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override;
  // Hands `text` to the progress sink; without one it is dropped.
  void progress(const std::string& text) override;
  // Sets or restores the hourglass cursor; calls nest.
  void busy(bool on) override;
  // Runs the pending window events (painting, input), so a long run stays
  // responsive; the caller guards against what the user may click meanwhile.
  void processEvents() override;
  std::optional<std::string> chooseProjectDirectory() override;
  void terminate() override;

  // Where progress texts go until it is replaced; an empty sink drops them.
  void setProgressSink(ProgressSink sink) { progress_sink_ = std::move(sink); }
  // The project directory dialog the start rule shows, and the application's
  // end; both set by the program at start.
  void setDirectoryChooser(std::function<std::optional<std::string>()> chooser) {
    directory_chooser_ = std::move(chooser);
  }
  void setTerminate(std::function<void()> terminate) { terminate_ = std::move(terminate); }

 private:
  ProgressSink progress_sink_;
  std::function<std::optional<std::string>()> directory_chooser_;
  std::function<void()> terminate_;
};

}  // namespace vellum::ui
