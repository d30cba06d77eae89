// The application-wide handling of errors that no handler catches: an error
// escaping an event handler (caught where the application delivers events)
// or one of the program's start-up steps is passed to the application's
// error handler; without one, the standard error message shows its text.
//
// There is one handler for the whole program, as there is one application.
// The engine error dialog installs itself as that handler and keeps the one
// before it. Everything here runs on the user-interface thread.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

#include <QObject>

#include "dictionary/ui.h"

namespace vellum::ui {

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

namespace detail {

// Whether `slot` (a member function of Receiver, or a callable) takes the
// leading arguments I... of a signal's `Tuple`.
template <typename Receiver, typename Slot, typename Tuple, std::size_t... I>
constexpr bool TakesLeading(std::index_sequence<I...> /*unused*/) {
  if constexpr (std::is_member_function_pointer_v<Slot>) {
    return std::is_invocable_v<Slot&, Receiver*, std::tuple_element_t<I, Tuple>...>;
  } else {
    return std::is_invocable_v<Slot&, std::tuple_element_t<I, Tuple>...>;
  }
}

// Calls `slot` with as many leading `args` as it takes, as Qt does for a
// slot that takes fewer arguments than its signal gives.
template <std::size_t N, typename Receiver, typename Slot, typename Tuple>
void CallWithLeading(Receiver* receiver, Slot& slot, Tuple& args) {
  if constexpr (TakesLeading<Receiver, Slot, Tuple>(std::make_index_sequence<N>())) {
    [&]<std::size_t... I>(std::index_sequence<I...> /*unused*/) {
      if constexpr (std::is_member_function_pointer_v<Slot>) {
        std::invoke(slot, receiver, std::get<I>(args)...);
      } else {
        std::invoke(slot, std::get<I>(args)...);
      }
    }
    (std::make_index_sequence<N>());
  } else {
    static_assert(N > 0, "the slot cannot take the signal's arguments");
    if constexpr (N > 0) CallWithLeading<N - 1>(receiver, slot, args);
  }
}

}  // namespace detail

// Connects `signal` of `sender` to `slot` (a member function of `receiver`,
// or any callable) so that an error the slot raises is handed to
// HandleApplicationError, on the spot, instead of passing through Qt's code.
// Every connection of the windows to a handler that can fail goes through it.
template <typename Sender, typename Signal, typename Receiver, typename Slot>
QMetaObject::Connection ExceptionSafeConnect(Sender* sender, Signal signal, Receiver* receiver,
                                             Slot slot,
                                             Qt::ConnectionType type = Qt::AutoConnection) {
  return QObject::connect(
      sender, signal, receiver,
      [receiver, slot = std::move(slot)](auto&&... args) mutable -> void {
        std::tuple<decltype(args)&...> arguments(args...);
        CallHandlingErrors(
            receiver, [&] { detail::CallWithLeading<sizeof...(args)>(receiver, slot, arguments); });
      },
      type);
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

}  // namespace vellum::ui
