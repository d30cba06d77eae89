#include "dictionary/ui/application_errors.h"

#include <utility>

#include "dictionary/ui/message_boxes.h"
#include "engine/dataset.h"

namespace vellum::ui {

namespace {

ApplicationErrorHandler& Handler() {
  static ApplicationErrorHandler handler;
  return handler;
}

Questions*& StandardErrorQuestions() {
  static Questions* questions = nullptr;
  return questions;
}

bool& Ending() {
  static bool ending = false;
  return ending;
}

bool IsSilentAbort(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const engine::Abort&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

ApplicationErrorHandler SetApplicationErrorHandler(ApplicationErrorHandler handler) {
  return std::exchange(Handler(), std::move(handler));
}

void HandleApplicationError(QObject* sender, const std::exception_ptr& error) {
  if (!error || IsSilentAbort(error)) return;
  const ApplicationErrorHandler handler = Handler();
  if (!handler) {
    ShowStandardErrorMessage(error);
    return;
  }
  try {
    handler(sender, error);
  } catch (...) {
    ShowStandardErrorMessage(std::current_exception());
  }
}

std::string ErrorText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unexpected failure";
  }
}

void ShowStandardErrorMessage(const std::exception_ptr& error) {
  static MessageBoxes message_boxes;
  Questions& questions = StandardErrorQuestions() ? *StandardErrorQuestions() : message_boxes;
  try {
    questions.ask(MessageKind::kError, ErrorText(error), Buttons::kOk);
  } catch (...) {
    // Nothing is left to show an error with.
  }
}

void SetStandardErrorQuestions(Questions* questions) { StandardErrorQuestions() = questions; }

bool ApplicationEnding() { return Ending(); }
void SetApplicationEnding(bool ending) { Ending() = ending; }

}  // namespace vellum::ui
