// The Progress of a window that runs a long command: each step is handed to
// the window to show (a caption, a panel), the busy cursor is the
// application's override cursor, pending window events run once per item,
// and the window asks the run to stop with requestStop().
//
// A window owns one for the time of its run. It keeps only the callbacks it
// is given (the step, and the rows copied of the table at hand) and the stop
// request.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>

#include "dictionary/ui.h"

namespace vellum::ui {

class WindowProgress : public Progress {
 public:
  using Show = std::function<void(const ProgressStep&)>;

  using ShowRows = std::function<void(uint64_t copied, uint64_t total)>;

  explicit WindowProgress(Show show, ShowRows show_rows = {})
      : show_(std::move(show)), show_rows_(std::move(show_rows)) {}
  // Puts back the cursor of every busy(true) that has not been ended.
  ~WindowProgress() override;

  void showProgress(const ProgressStep& step) override { show_(step); }
  void rowProgress(uint64_t copied, uint64_t total) override {
    if (show_rows_) show_rows_(copied, total);
  }
  // Sets or restores the hourglass cursor; calls nest.
  void busy(bool on) override;
  // Runs the pending window events: painting, and whatever the user clicks.
  void processEvents() override;
  bool stopRequested() override { return stop_requested_; }

  // The user asked the run to stop; it stays asked. The flag may be read
  // from a worker thread while the window sets it.
  void requestStop() { stop_requested_ = true; }

 private:
  Show show_;
  ShowRows show_rows_;
  int busy_depth_ = 0;
  std::atomic<bool> stop_requested_{false};
};

}  // namespace vellum::ui
