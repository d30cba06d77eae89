// load: reads the structures of live tables into a data dictionary, as the
// management window's Load command does, without a window.
//
// The structure loader asks one question, whether a table already in the
// dictionary is to be upgraded. The command answers it All by itself when
// told to (--yes-all); otherwise the question goes to the terminal, and
// where there is none the command does not guess: it stops there and fails.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/console_ui.h"
#include "dictionary/ui.h"

namespace vellum::cli {

// The Ui of the load command, over a ConsoleUi that it owns. Progress texts
// are lines on the standard output (the empty text with which the loader
// gives a window its caption back is dropped); messages go to the standard
// error; SIGINT asks the load to stop. It keeps whether a question was left
// unanswered for want of a terminal, which the loader cannot know.
class LoadUi : public Ui {
 public:
  // `interactive`: questions are read from `in` (a terminal). `yes_all`:
  // the upgrade question is answered All without being shown. Streams stay
  // the caller's; every message line starts with `prefix`.
  LoadUi(std::istream& in, std::ostream& out, std::ostream& err, bool interactive, bool yes_all,
         std::string prefix);

  // Messages with an OK button are written and answered at once. The
  // upgrade question (Yes, No, Cancel, All) is answered All under
  // --yes-all; otherwise it is asked on the terminal, and without one it is
  // written with a line saying the load stops, and answered Cancel.
  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override;
  void showProgress(const ProgressStep& step) override;
  void busy(bool on) override { console_.busy(on); }
  void processEvents() override { console_.processEvents(); }
  bool stopRequested() override { return console_.stopRequested(); }

  // True when a question was left unanswered for want of a terminal.
  bool questionUnanswered() const { return question_unanswered_; }

 private:
  ConsoleUi console_;
  std::ostream& err_;
  bool interactive_;
  bool yes_all_;
  std::string prefix_;
  bool question_unanswered_ = false;
};

// The load command with the terminal given: `in` is read for answers when
// `interactive`. RunLoad of commands.h passes the standard input and
// whether it is a terminal.
int RunLoad(const std::vector<std::string>& args, std::istream& in, bool interactive,
            std::ostream& out, std::ostream& err);

}  // namespace vellum::cli
