// How the core talks to the person at the screen, in two parts:
//
//   Questions  message boxes: a question with a fixed button set, or a
//              message with OK. The application has one (its message
//              boxes); the data module's rules use it for the whole run.
//   Progress   what one long run reports while it works (a text, and
//              done/total where known), the busy cursor, one round of
//              pending window events per item, and the user's request to
//              stop. Each long run gets the Progress of the window that
//              runs it (a caption, a panel, a progress dialog with Cancel).
//
// A long run that needs both takes a Ui, which is both; JoinedUi puts the
// application's Questions and a window's Progress together without writing
// forwarding code. Tests implement Ui with scripted answers and keep a
// transcript of every text shown; the command line answers from the terminal
// or from its options and stops on SIGINT.
//
// The core calls a Ui from the thread that runs it; the desktop program runs
// long work on a worker thread and hands every call to the user-interface
// thread (ui/gui_thread_ui.h). Choosing the
// project directory and ending the program are the application's, not the
// core's: see the data module's Startup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vellum {

enum class MessageKind { kPlain, kConfirmation, kError, kInformation, kWarning };
enum class Buttons { kOk, kOkCancel, kYesNo, kYesNoCancelAll };
enum class Answer { kOk, kCancel, kYes, kNo, kAll };

class Questions {
 public:
  virtual ~Questions() = default;
  // Shows `text` with the given kind and buttons, waits for the answer and
  // returns it. Closing the box counts as Cancel (or OK when OK is the only
  // button). The answer is one of the buttons of `buttons`.
  virtual Answer ask(MessageKind kind, const std::string& text, Buttons buttons) = 0;
  // The same with `details`: a longer text the user can open under the
  // message (what a confirmed step will do, in full). Empty details show
  // none. Questions that cannot show details ask without them.
  virtual Answer askWithDetails(MessageKind kind, const std::string& text, Buttons buttons,
                                const std::string& details) {
    (void)details;
    return ask(kind, text, buttons);
  }
  // A message with an OK button.
  void message(MessageKind kind, const std::string& text) { ask(kind, text, Buttons::kOk); }
  // Asks for the password of the encrypted table whose data file is `table`,
  // as a database session does, with the typed text hidden: the password,
  // or nothing when the user cancels. Questions that cannot ask (no one to
  // type it) give nothing.
  virtual std::optional<std::string> askPassword(const std::string& table) {
    (void)table;
    return std::nullopt;
  }
};

// The answer that changes nothing: Cancel where the buttons have it, else No
// (OK where OK is the only button).
inline Answer SafeAnswer(Buttons buttons) {
  switch (buttons) {
    case Buttons::kOk:
      return Answer::kOk;
    case Buttons::kYesNo:
      return Answer::kNo;
    case Buttons::kOkCancel:
    case Buttons::kYesNoCancelAll:
      break;
  }
  return Answer::kCancel;
}

// One report of a long run's progress.
struct ProgressStep {
  // What the run is doing now ("Loading "ORDERS"). Empty when the run is
  // over: the window then shows its own caption again.
  std::string text;
  // Items finished before this one and items of the whole run; both 0 when
  // the run does not know its length (a bar then shows a busy indicator).
  size_t done = 0;
  size_t total = 0;
  // The item the step is about, when it is one of the run's items (a table,
  // "ALIAS.TABLE"); empty otherwise.
  std::string item = {};
};

class Progress {
 public:
  virtual ~Progress() = default;
  // Shows the run's progress (a caption, a panel, a bar). Painting may wait
  // for processEvents().
  virtual void showProgress(const ProgressStep& step) = 0;
  // The same with its parts given one by one.
  void progress(const std::string& text, size_t done = 0, size_t total = 0) {
    showProgress(ProgressStep{text, done, total});
  }
  // How far the item at hand has got: the rows of the table being rebuilt
  // copied so far, of its `total` rows. Shown until the next showProgress.
  virtual void rowProgress(uint64_t copied, uint64_t total) {
    (void)copied;
    (void)total;
  }
  // The hourglass cursor on or off; calls come in pairs, on first.
  virtual void busy(bool on) = 0;
  // Lets the window system paint and handle pending events, once per item of
  // long work. Anything the user can click may run inside this call: see
  // RunGuard for what the windows must refuse while a run is on.
  virtual void processEvents() {}
  // True once the user has asked the run to stop (Cancel in a window, SIGINT
  // on the command line). A long run asks before each item (a table) and,
  // when true, stops there: every item is done whole or not at all, and the
  // run says that it stopped. Stays true for the rest of the run.
  virtual bool stopRequested() { return false; }
};

// Questions and Progress in one object: what a long run that asks and
// reports is given.
class Ui : public Questions, public Progress {};

// A Ui whose questions go to `questions` (the application's message boxes)
// and whose progress goes to `progress` (the window that runs the long
// work). Both stay the caller's and must outlive it.
class JoinedUi final : public Ui {
 public:
  JoinedUi(Questions& questions, Progress& progress) : questions_(questions), progress_(progress) {}

  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override {
    return questions_.ask(kind, text, buttons);
  }
  Answer askWithDetails(MessageKind kind, const std::string& text, Buttons buttons,
                        const std::string& details) override {
    return questions_.askWithDetails(kind, text, buttons, details);
  }
  std::optional<std::string> askPassword(const std::string& table) override {
    return questions_.askPassword(table);
  }
  void showProgress(const ProgressStep& step) override { progress_.showProgress(step); }
  void rowProgress(uint64_t copied, uint64_t total) override {
    progress_.rowProgress(copied, total);
  }
  void busy(bool on) override { progress_.busy(on); }
  void processEvents() override { progress_.processEvents(); }
  bool stopRequested() override { return progress_.stopRequested(); }

 private:
  Questions& questions_;
  Progress& progress_;
};

}  // namespace vellum
