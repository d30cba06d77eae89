// The Ui of the command line: progress texts are lines on the standard
// output, messages and questions go to the standard error, and questions are
// answered from the terminal. Without a terminal to answer from, a question
// gets its safe answer (Cancel, or No where there is no Cancel), and the
// program says so. A stop is requested by SIGINT while an InterruptStop
// lives (cli/interrupt.h).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "dictionary/ui.h"

namespace vellum::cli {

class ConsoleUi : public Ui {
 public:
  // Reads answers from `in` when `interactive` (stdin is a terminal); writes
  // progress to `out` and messages to `err`, each message line starting with
  // `prefix` (for example "vellum-cli: rebuild: "). The streams stay the
  // caller's.
  ConsoleUi(std::istream& in, std::ostream& out, std::ostream& err, bool interactive,
            std::string prefix);

  // True when the process's standard input is a terminal.
  static bool StdinIsTerminal();

  // A message with only OK is written and answered OK at once. A question is
  // written with its choices and read from the terminal until a valid answer
  // comes; an end of input, or no terminal, gives the safe answer.
  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override;
  // Gives nothing: the command line takes passwords from its options
  // (--password, VELLUM_PASSWORD) and never prompts for one.
  std::optional<std::string> askPassword(const std::string& table) override;
  // Writes the step's text as one line; done and total are not shown.
  void showProgress(const ProgressStep& step) override;
  void busy(bool) override {}
  void processEvents() override;
  bool stopRequested() override;

 private:
  void writeMessage(MessageKind kind, const std::string& text);

  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  bool interactive_;
  std::string prefix_;
};

}  // namespace vellum::cli
