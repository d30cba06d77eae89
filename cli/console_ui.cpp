#include "cli/console_ui.h"

#include <unistd.h>

#include <cctype>
#include <istream>
#include <ostream>
#include <utility>
#include <vector>

#include "cli/interrupt.h"

namespace vellum::cli {

namespace {

struct Choice {
  const char* word;  // the answer typed in full; its first letter also counts
  Answer answer;
};

std::vector<Choice> ChoicesOf(Buttons buttons) {
  switch (buttons) {
    case Buttons::kOk:
      return {{"ok", Answer::kOk}};
    case Buttons::kOkCancel:
      return {{"ok", Answer::kOk}, {"cancel", Answer::kCancel}};
    case Buttons::kYesNo:
      return {{"yes", Answer::kYes}, {"no", Answer::kNo}};
    case Buttons::kYesNoCancelAll:
      return {{"yes", Answer::kYes},
              {"no", Answer::kNo},
              {"cancel", Answer::kCancel},
              {"all", Answer::kAll}};
  }
  return {{"ok", Answer::kOk}};
}

const char* NameOf(Answer answer) {
  switch (answer) {
    case Answer::kOk:
      return "OK";
    case Answer::kCancel:
      return "Cancel";
    case Answer::kYes:
      return "Yes";
    case Answer::kNo:
      return "No";
    case Answer::kAll:
      return "All";
  }
  return "";
}

std::string Trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  std::string out = text.substr(begin, end - begin);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

ConsoleUi::ConsoleUi(std::istream& in, std::ostream& out, std::ostream& err, bool interactive,
                     std::string prefix)
    : in_(in), out_(out), err_(err), interactive_(interactive), prefix_(std::move(prefix)) {}

bool ConsoleUi::StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

void ConsoleUi::writeMessage(MessageKind, const std::string& text) {
  // Texts made for message boxes may break their lines with CR LF.
  out_.flush();
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    err_ << prefix_ << line << '\n';
    if (end == std::string::npos) break;
    start = end + 1;
  }
  err_.flush();
}

Answer ConsoleUi::ask(MessageKind kind, const std::string& text, Buttons buttons) {
  writeMessage(kind, text);
  if (buttons == Buttons::kOk) return Answer::kOk;

  const std::vector<Choice> choices = ChoicesOf(buttons);
  const Answer safe = SafeAnswer(buttons);
  if (!interactive_) {
    err_ << prefix_ << "no terminal to answer from; answering " << NameOf(safe) << '\n';
    err_.flush();
    return safe;
  }
  std::string prompt;
  for (const Choice& choice : choices) {
    prompt += prompt.empty() ? "" : ", ";
    prompt += '[';
    prompt += choice.word[0];
    prompt += ']';
    prompt += choice.word + 1;
  }
  for (;;) {
    err_ << prefix_ << prompt << "? ";
    err_.flush();
    std::string line;
    if (!std::getline(in_, line)) {
      err_ << '\n' << prefix_ << "no answer; answering " << NameOf(safe) << '\n';
      err_.flush();
      return safe;
    }
    const std::string typed = Trimmed(line);
    for (const Choice& choice : choices) {
      if (typed == choice.word || (typed.size() == 1 && typed[0] == choice.word[0])) {
        return choice.answer;
      }
    }
  }
}

void ConsoleUi::showProgress(const ProgressStep& step) {
  out_ << step.text << '\n';
  out_.flush();
}

void ConsoleUi::processEvents() { out_.flush(); }

bool ConsoleUi::stopRequested() { return InterruptStop::Requested(); }

std::optional<std::string> ConsoleUi::askPassword(const std::string& table) {
  (void)table;
  return std::nullopt;
}

}  // namespace vellum::cli
