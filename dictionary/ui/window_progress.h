// The Progress of a window that runs a long command: each step is handed to
// the window to show (a caption, a panel), the busy cursor is the
// application's override cursor, pending window events run once per item,
// and the window asks the run to stop with requestStop().
//
// A window owns one for the time of its run. It keeps only the callback it
// is given and the stop request.
#pragma once

#include <functional>
#include <utility>

#include "dictionary/ui.h"

namespace vellum::ui {

class WindowProgress : public Progress {
 public:
  using Show = std::function<void(const ProgressStep&)>;

  explicit WindowProgress(Show show) : show_(std::move(show)) {}
  // Puts back the cursor of every busy(true) that has not been ended.
  ~WindowProgress() override;

  void showProgress(const ProgressStep& step) override { show_(step); }
  // Sets or restores the hourglass cursor; calls nest.
  void busy(bool on) override;
  // Runs the pending window events: painting, and whatever the user clicks.
  void processEvents() override;
  bool stopRequested() override { return stop_requested_; }

  // The user asked the run to stop at the next item; it stays asked.
  void requestStop() { stop_requested_ = true; }

 private:
  Show show_;
  int busy_depth_ = 0;
  bool stop_requested_ = false;
};

}  // namespace vellum::ui
