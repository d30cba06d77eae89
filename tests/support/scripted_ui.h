// A Ui for tests: answers come from a script, every text shown is kept in a
// transcript so tests can assert each message word for word, and a stop can
// be requested at a chosen progress step.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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

  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override {
    shown.push_back({kind, text, buttons});
    if (!answers.empty()) {
      Answer a = answers.front();
      answers.pop_front();
      return a;
    }
    return buttons == Buttons::kOk || buttons == Buttons::kOkCancel ? Answer::kOk : Answer::kCancel;
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
  bool stopRequested() override {
    ++stop_queries;
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
  // Runs inside processEvents(), as a click handled there would.
  std::function<void()> on_events;
};

}  // namespace vellum::test
