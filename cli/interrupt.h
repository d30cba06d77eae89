// SIGINT as a request to stop a long run between tables.
//
// While an InterruptStop lives, the first SIGINT (Ctrl-C) only sets a flag,
// which the console's Progress reports as stopRequested(): the load and the
// rebuild finish the table at hand and stop before the next one, leaving
// every table whole. The handler is installed once-only, so a second SIGINT
// ends the program at once, as without it (the engine's restructure is safe
// against a kill at any moment). The previous handler is restored when the
// object ends. One at a time; main thread only.
#pragma once

#include <csignal>

namespace vellum::cli {

class InterruptStop {
 public:
  InterruptStop();
  ~InterruptStop();
  InterruptStop(const InterruptStop&) = delete;
  InterruptStop& operator=(const InterruptStop&) = delete;

  // True once SIGINT arrived while an InterruptStop lived (until the next
  // one is made).
  static bool Requested();

 private:
  struct sigaction previous_ {};
  bool installed_ = false;
};

}  // namespace vellum::cli
