#include "cli/interrupt.h"

namespace vellum::cli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

InterruptStop::InterruptStop() {
  g_interrupted = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls go on; the default action comes back for the
  // next SIGINT.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  installed_ = sigaction(SIGINT, &action, &previous_) == 0;
}

InterruptStop::~InterruptStop() {
  if (installed_) sigaction(SIGINT, &previous_, nullptr);
}

bool InterruptStop::Requested() { return g_interrupted != 0; }

}  // namespace vellum::cli
