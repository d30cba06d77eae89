#include "shell/ui/application_errors.h"

#include <utility>

#include "dictionary/ui/widget_ui.h"
#include "engine/dataset.h"

namespace vellum::shell {

namespace {

ApplicationErrorHandler& Handler() {
  static ApplicationErrorHandler handler;
  return handler;
}

Ui*& StandardErrorUi() {
  static Ui* ui = nullptr;
  return ui;
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
  static ui::WidgetUi message_boxes;
  Ui& ui = StandardErrorUi() ? *StandardErrorUi() : message_boxes;
  try {
    ui.ask(MessageKind::kError, ErrorText(error), Buttons::kOk);
  } catch (...) {
    // Nothing is left to show an error with.
  }
}

void SetStandardErrorUi(Ui* ui) { StandardErrorUi() = ui; }

bool ApplicationEnding() { return Ending(); }
void SetApplicationEnding(bool ending) { Ending() = ending; }

}  // namespace vellum::shell
