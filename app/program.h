// The desktop program from start to end: creates the application, then its
// windows and the data module in their start-up order, and runs the message
// loop. Returns the program's exit status.
#pragma once

#include <functional>
#include <memory>

#include <QObject>

namespace vellum::app {

// Made once the application and the windows exist, kept until the windows
// go: what a test build adds to the program (the shipped program has none).
using Helper = std::function<std::unique_ptr<QObject>()>;

int RunProgram(int argc, char** argv, const Helper& helper = {});

}  // namespace vellum::app
