// A Ui for tests: answers come from a script, every text shown is kept in a
// transcript so tests can assert each message word for word.
#pragma once

#include <deque>
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
  void progress(const std::string& text) override { progress_texts.push_back(text); }
  void busy(bool on) override { busy_states.push_back(on); }
  void processEvents() override { ++events_processed; }
  std::optional<std::string> chooseProjectDirectory() override {
    ++directory_requests;
    return project_directory;
  }
  void terminate() override { terminated = true; }

  std::deque<Answer> answers;
  std::vector<Shown> shown;
  std::vector<std::string> progress_texts;
  std::vector<bool> busy_states;
  int events_processed = 0;
  int directory_requests = 0;
  std::optional<std::string> project_directory;
  bool terminated = false;
};

}  // namespace vellum::test
