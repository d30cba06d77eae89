// Helpers of the window tests: acting on a window that a modal call shows,
// and a Ui that lets a test act in the middle of a long run.
#pragma once

#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include "tests/support/scripted_ui.h"

namespace vellum::test {

// The control `name` of `window` (found by its objectName); a test that
// looks for a control the window does not have fails.
template <typename Control>
Control* Child(const QObject* window, const char* name) {
  auto* control = window->findChild<Control*>(QString::fromLatin1(name));
  if (!control) throw std::logic_error(std::string("no control named ") + name);
  return control;
}

// Runs `step` from the event loop (a modal one included) as soon as `window`
// is visible; never, when the window goes first.
inline void WhenVisible(QWidget* window, std::function<void()> step) {
  auto* timer = new QTimer(window);
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, window, step = std::move(step)] {
    if (!window->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    step();
  });
  timer->start();
}

// Lets the event loop run until `done` holds or `ms` milliseconds passed;
// returns `done()`.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

// Calls `step` from every round of events while `running` holds, as a user
// acting while a long run lets pending events run. Stops when `owner` goes.
inline void WhileRunning(QObject* owner, std::function<bool()> running,
                         std::function<void()> step) {
  auto* timer = new QTimer(owner);
  timer->setInterval(0);
  QObject::connect(timer, &QTimer::timeout, [running = std::move(running), step = std::move(step)] {
    if (running()) step();
  });
  timer->start();
}

}  // namespace vellum::test

// Failure messages show a QString as its text.
inline void PrintTo(const QString& text, std::ostream* os) { *os << text.toStdString(); }
