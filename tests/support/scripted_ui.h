// A Ui for tests: answers come from a script (a question beyond it gets the
// safe answer of its buttons; an answer that is not a button fails the test), every text shown is
// kept in a transcript so tests can assert each message word for word, and a stop can be requested
// at a chosen progress step.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "dictionary/ui.h"

namespace vellum::test {

class ScriptedUi : public Ui {
 public:
  struct Shown {
    MessageKind kind;
    std::string text;
    Buttons buttons;
    std::string details = {};  // what askWithDetails gave
  };

  // The next scripted answer, which must be one of `buttons`; without one,
  // the safe answer of the buttons (SafeAnswer), as a user who does not
  // know would give.
  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override {
    shown.push_back({kind, text, buttons});
    if (on_ask) on_ask(text);
    if (answers.empty()) return SafeAnswer(buttons);
    const Answer answer = answers.front();
    answers.pop_front();
    if (!Offers(buttons, answer)) {
      ADD_FAILURE() << "the scripted answer " << static_cast<int>(answer)
                    << " is not a button of the question \"" << text << "\"";
    }
    return answer;
  }
  // The answer that changes nothing: OK when it is the only button, else
  // Cancel, or No where there is no Cancel.
  static Answer SafeAnswer(Buttons buttons) {
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
  static bool Offers(Buttons buttons, Answer answer) {
    switch (buttons) {
      case Buttons::kOk:
        return answer == Answer::kOk;
      case Buttons::kOkCancel:
        return answer == Answer::kOk || answer == Answer::kCancel;
      case Buttons::kYesNo:
        return answer == Answer::kYes || answer == Answer::kNo;
      case Buttons::kYesNoCancelAll:
        break;
    }
    return answer != Answer::kOk;
  }
  Answer askWithDetails(MessageKind kind, const std::string& text, Buttons buttons,
                        const std::string& details) override {
    const Answer answer = ask(kind, text, buttons);
    shown.back().details = details;
    return answer;
  }
  // Takes the next scripted password; none left is Cancel.
  std::optional<std::string> askPassword(const std::string& table) override {
    password_prompts.push_back(table);
    if (passwords.empty()) return std::nullopt;
    std::optional<std::string> answer = passwords.front();
    passwords.pop_front();
    return answer;
  }
  void showProgress(const ProgressStep& step) override {
    progress_texts.push_back(step.text);
    progress_steps.push_back(step);
  }
  void busy(bool on) override { busy_states.push_back(on); }
  void processEvents() override {
    ++events_processed;
    if (on_events) on_events();
  }
  void rowProgress(uint64_t copied, uint64_t total) override {
    row_steps.emplace_back(copied, total);
  }
  bool stopRequested() override {
    ++stop_queries;
    if (stop_after_rows && !row_steps.empty() && row_steps.back().first >= *stop_after_rows) {
      return true;
    }
    return stop_after_steps && progress_steps.size() >= *stop_after_steps;
  }

  std::deque<Answer> answers;
  std::vector<Shown> shown;
  // Answers to password prompts (nullopt: Cancel), and the tables asked for.
  std::deque<std::optional<std::string>> passwords;
  std::vector<std::string> password_prompts;
  std::vector<std::string> progress_texts;
  std::vector<ProgressStep> progress_steps;
  std::vector<bool> busy_states;
  int events_processed = 0;
  int stop_queries = 0;
  // The user asks to stop once this many progress steps were shown.
  std::optional<size_t> stop_after_steps;
  // The rows copied reported by rowProgress (copied, total), in order.
  std::vector<std::pair<uint64_t, uint64_t>> row_steps;
  // The user asks to stop once a table's copy reported this many rows.
  std::optional<uint64_t> stop_after_rows;
  // Runs inside processEvents(), as a click handled there would.
  std::function<void()> on_events;
  // Runs with the text of each question or message as it is asked.
  std::function<void(const std::string&)> on_ask;
};

}  // namespace vellum::test
