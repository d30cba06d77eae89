// Long work on a worker thread: its questions are asked on the
// user-interface thread, its progress is shown there, the event loop keeps
// running meanwhile, and its errors come back to the caller.
#include "dictionary/ui/gui_thread_ui.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <QTimer>

#include "dictionary/ui/window_progress.h"
#include "tests/support/scripted_ui.h"

namespace vellum::ui {
namespace {

// Scripted questions that note on which thread each was asked.
class ThreadNotingQuestions : public test::ScriptedUi {
 public:
  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override {
    threads.push_back(QThread::currentThread());
    return ScriptedUi::ask(kind, text, buttons);
  }
  std::vector<QThread*> threads;
};

bool OnGuiThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

TEST(GuiThreadUiTest, AQuestionFromTheWorkerIsAskedOnTheGuiThreadAndItsAnswerReturns) {
  QObject context;
  ThreadNotingQuestions questions;
  questions.answers = {Answer::kNo, Answer::kAll};
  WindowProgress progress([](const ProgressStep&) {});
  GuiThreadUi ui(questions, progress, &context);
  std::vector<Answer> answers;
  bool worker_off_gui = false;
  RunOnWorker([&] {
    worker_off_gui = !OnGuiThread();
    answers.push_back(ui.ask(MessageKind::kConfirmation, "first?", Buttons::kYesNo));
    answers.push_back(
        ui.askWithDetails(MessageKind::kConfirmation, "second?", Buttons::kYesNoCancelAll, "d"));
  });
  EXPECT_TRUE(worker_off_gui);
  EXPECT_EQ(answers, (std::vector<Answer>{Answer::kNo, Answer::kAll}));
  ASSERT_EQ(questions.threads.size(), 2u);
  for (QThread* thread : questions.threads) EXPECT_EQ(thread, context.thread());
  ASSERT_EQ(questions.shown.size(), 2u);
  EXPECT_EQ(questions.shown[1].details, "d");
}

TEST(GuiThreadUiTest, TheEventLoopRunsWhileTheWorkerWorks) {
  // The worker waits for a timer of the user-interface thread: were that
  // thread blocked, the timer would never fire.
  std::atomic<bool> ticked = false;
  QTimer timer;
  timer.setInterval(5);
  QObject::connect(&timer, &QTimer::timeout, [&] { ticked = true; });
  timer.start();
  bool seen = false;
  RunOnWorker([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ticked && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    seen = ticked;
  });
  EXPECT_TRUE(seen);
}

TEST(GuiThreadUiTest, ProgressIsShownOnTheGuiThreadAllOfItBeforeTheRunReturns) {
  QObject context;
  test::ScriptedUi questions;
  std::vector<std::string> texts;
  std::vector<std::pair<uint64_t, uint64_t>> rows;
  bool all_on_gui = true;
  WindowProgress progress(
      [&](const ProgressStep& step) {
        all_on_gui = all_on_gui && OnGuiThread();
        texts.push_back(step.text);
      },
      [&](uint64_t copied, uint64_t total) {
        all_on_gui = all_on_gui && OnGuiThread();
        rows.emplace_back(copied, total);
      });
  GuiThreadUi ui(questions, progress, &context);
  RunOnWorker([&] {
    ui.progress("T1...", 0, 2);
    for (uint64_t copied = 0; copied <= 100000; copied += 100) ui.rowProgress(copied, 100000);
    ui.progress("T2...", 1, 2);
    ui.progress("");
  });
  EXPECT_TRUE(all_on_gui);
  EXPECT_EQ(texts, (std::vector<std::string>{"T1...", "T2...", ""}));
  // Reports faster than the window shows them are merged; the last shown is
  // the last reported.
  ASSERT_FALSE(rows.empty());
  EXPECT_LE(rows.size(), 1001u);
  EXPECT_EQ(rows.back(), std::make_pair(uint64_t{100000}, uint64_t{100000}));
}

TEST(GuiThreadUiTest, AStopAskedOnTheGuiThreadIsSeenByTheWorker) {
  QObject context;
  test::ScriptedUi questions;
  WindowProgress progress([](const ProgressStep&) {});
  GuiThreadUi ui(questions, progress, &context);
  QTimer::singleShot(10, [&] { progress.requestStop(); });
  bool stopped = false;
  RunOnWorker([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ui.stopRequested() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stopped = ui.stopRequested();
  });
  EXPECT_TRUE(stopped);
}

TEST(GuiThreadUiTest, AnErrorOfTheWorkerOrOfAQuestionIsRaisedToTheCaller) {
  EXPECT_THROW(RunOnWorker([] { throw std::runtime_error("worker failed"); }), std::runtime_error);
  // A question that fails on the user-interface thread fails on the worker.
  class FailingQuestions : public Questions {
   public:
    Answer ask(MessageKind, const std::string&, Buttons) override {
      throw std::logic_error("no screen");
    }
  } failing;
  QObject context;
  WindowProgress progress([](const ProgressStep&) {});
  GuiThreadUi ui(failing, progress, &context);
  bool worker_saw_error = false;
  EXPECT_THROW(RunOnWorker([&] {
                 try {
                   ui.ask(MessageKind::kError, "x", Buttons::kOk);
                 } catch (const std::logic_error&) {
                   worker_saw_error = true;
                   throw;
                 }
               }),
               std::logic_error);
  EXPECT_TRUE(worker_saw_error);
}

TEST(GuiThreadUiTest, OnTheGuiThreadItselfCallsGoStraightThrough) {
  QObject context;
  test::ScriptedUi questions;
  questions.answers = {Answer::kYes};
  std::vector<std::string> texts;
  WindowProgress progress([&](const ProgressStep& step) { texts.push_back(step.text); });
  GuiThreadUi ui(questions, progress, &context);
  EXPECT_EQ(ui.ask(MessageKind::kConfirmation, "q?", Buttons::kYesNo), Answer::kYes);
  ui.progress("now");
  EXPECT_EQ(texts, (std::vector<std::string>{"now"}));
}

}  // namespace
}  // namespace vellum::ui
