// Where the failures of the data-aware components go. A component's work
// (a post, a delete, a value typed into a cell) runs inside Qt's own code,
// through which no error may pass; it hands what it raises to one route for
// the whole program, which the application points at its error dialog. A
// silent abort (engine::Abort: a rule that showed its own message) goes
// nowhere. Without a route, the error's text is shown in an error box.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <exception>
#include <functional>

#include <QObject>

namespace vellum::widgets {

using ErrorRoute = std::function<void(QObject* sender, const std::exception_ptr& error)>;

// Makes `route` the route of every component's errors (an empty one puts
// back the error box) and returns the route it replaces.
ErrorRoute SetErrorRoute(ErrorRoute route);

// Hands `error`, raised by the work of `sender`, to the route.
void RouteError(QObject* sender, const std::exception_ptr& error);

// Runs `work`; an error it raises goes to the route. True when it ran to
// its end.
template <typename Work>
bool CallRoutingErrors(QObject* sender, Work&& work) {
  try {
    work();
    return true;
  } catch (...) {
    RouteError(sender, std::current_exception());
    return false;
  }
}

}  // namespace vellum::widgets
