// The small interface through which the core asks questions, shows messages,
// reports progress and shows the busy cursor. The desktop program implements
// it with message boxes and dialogs; tests implement it with scripted answers
// and keep a transcript of every text shown; the command line answers from
// the terminal or from its options.
#pragma once

#include <optional>
#include <string>

namespace vellum {

enum class MessageKind { kPlain, kConfirmation, kError, kInformation, kWarning };
enum class Buttons { kOk, kOkCancel, kYesNo, kYesNoCancelAll };
enum class Answer { kOk, kCancel, kYes, kNo, kAll };

class Ui {
 public:
  virtual ~Ui() = default;
  // Shows `text` with the given kind and buttons and returns the answer.
  // Closing the box counts as Cancel (or OK when OK is the only button).
  virtual Answer ask(MessageKind kind, const std::string& text, Buttons buttons) = 0;
  // A message with an OK button.
  void message(MessageKind kind, const std::string& text) { ask(kind, text, Buttons::kOk); }
  // Progress text of a long command (a caption or a panel).
  virtual void progress(const std::string& text) = 0;
  // The hourglass cursor on or off.
  virtual void busy(bool on) = 0;
  // Lets the window system paint pending changes (once per item of long work).
  virtual void processEvents() {}
  // Asks for the project directory (the project directory dialog); nullopt
  // when the user cancels.
  virtual std::optional<std::string> chooseProjectDirectory() = 0;
  // Asks the application to end as soon as start-up is over.
  virtual void terminate() {}
};

}  // namespace vellum
