// Long work off the user-interface thread. RunOnWorker runs a core function
// on a thread of its own while the window goes on painting and answering
// clicks; GuiThreadUi is the Ui that function is given, which hands every
// call back to the user-interface thread: a question is asked there and the
// worker waits for the answer (a blocking queued call), progress is posted
// there without waiting, and the request to stop is read from the window's
// Progress, whose flag may be read from any thread.
//
// Rows reported faster than the window paints them are shown as the latest
// count only: at most one report waits to be shown at any time.
//
// While the work runs, the user-interface thread runs a local event loop
// (as a modal dialog does): the window stays alive, and its commands must be
// blocked by the caller. Nothing the worker posts outlives the call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <QObject>

#include "dictionary/ui.h"

namespace vellum::ui {

// Runs `work` on a worker thread and returns when it has ended, letting this
// (the user-interface) thread handle its events meanwhile. An error `work`
// raises is raised here, on this thread.
void RunOnWorker(const std::function<void()>& work);

class GuiThreadUi final : public Ui {
 public:
  // Questions go to `questions` and progress to `progress`, both on the
  // thread of `context` (a window), which must outlive every call; all
  // three stay the caller's.
  GuiThreadUi(Questions& questions, Progress& progress, QObject* context);

  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override;
  Answer askWithDetails(MessageKind kind, const std::string& text, Buttons buttons,
                        const std::string& details) override;
  std::optional<std::string> askPassword(const std::string& table) override;
  void showProgress(const ProgressStep& step) override;
  void rowProgress(uint64_t copied, uint64_t total) override;
  void busy(bool on) override;
  // On a worker nothing: the user-interface thread runs its events anyway.
  void processEvents() override;
  bool stopRequested() override { return progress_.stopRequested(); }

 private:
  // Runs `call` on the context's thread: at once when called there, else
  // posted and waited for.
  void onGuiThread(const std::function<void()>& call);
  // Runs `call` on the context's thread without waiting.
  void post(std::function<void()> call);

  Questions& questions_;
  Progress& progress_;
  QObject* context_;
  // The latest rows reported, and whether a report is on its way to the
  // window.
  std::atomic<uint64_t> rows_copied_{0};
  std::atomic<uint64_t> rows_total_{0};
  std::atomic<bool> rows_posted_{false};
};

}  // namespace vellum::ui
