// The application-wide handling of errors that no handler catches: an error
// escaping an event handler (caught where the application delivers events)
// or one of the program's start-up steps is passed to the application's
// error handler; without one, the standard error message shows its text.
//
// There is one handler for the whole program, as there is one application.
// The engine error dialog installs itself as that handler and keeps the one
// before it. Everything here runs on the user-interface thread.
#pragma once

#include <exception>
#include <functional>

#include "dictionary/ui.h"

class QObject;

namespace vellum::shell {

// An application error handler: given the object whose event handler failed
// (nullptr for a start-up step) and the error.
using ApplicationErrorHandler =
    std::function<void(QObject* sender, const std::exception_ptr& error)>;

// Makes `handler` the application's error handler (an empty one removes it)
// and returns the handler it replaces.
ApplicationErrorHandler SetApplicationErrorHandler(ApplicationErrorHandler handler);

// Hands an error no handler caught to the application's error handler, or to
// the standard error message when there is none. A silent abort
// (engine::Abort) never reaches either: it ends the operation and nothing is
// shown. An error raised while handling is shown by the standard message.
void HandleApplicationError(QObject* sender, const std::exception_ptr& error);

// Runs `handler` and hands an error it raises to HandleApplicationError, as
// for an error escaping an event handler. For handlers that Qt's own code
// calls (a widget's signal, a show event), through which no error may pass.
template <typename Handler>
void CallHandlingErrors(QObject* sender, Handler&& handler) {
  try {
    handler();
  } catch (...) {
    HandleApplicationError(sender, std::current_exception());
  }
}

// The standard error message: the error's text in an error box with an OK
// button, asked through the Questions set with SetStandardErrorQuestions
// (message boxes when none was set).
void ShowStandardErrorMessage(const std::exception_ptr& error);
// The Questions the standard error message is asked through; nullptr
// restores the message boxes. They stay the caller's.
void SetStandardErrorQuestions(Questions* questions);

// The text of an error: its message, or a fixed text for an error that
// carries none.
std::string ErrorText(const std::exception_ptr& error);

// Whether the application is ending (its end was asked for). Set by the
// application; read by handlers that show nothing once it is.
bool ApplicationEnding();
void SetApplicationEnding(bool ending);

}  // namespace vellum::shell
