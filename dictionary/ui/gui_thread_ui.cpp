#include "dictionary/ui/gui_thread_ui.h"

#include <exception>
#include <thread>
#include <utility>

#include <QEventLoop>
#include <QMetaObject>
#include <QThread>

namespace vellum::ui {

void RunOnWorker(const std::function<void()>& work) {
  QEventLoop loop;
  std::exception_ptr error;
  std::thread worker([&] {
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
    // Posted after everything the work posted, so that all of it is shown
    // before the loop ends.
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  if (error) std::rethrow_exception(error);
}

GuiThreadUi::GuiThreadUi(Questions& questions, Progress& progress, QObject* context)
    : questions_(questions), progress_(progress), context_(context) {}

void GuiThreadUi::onGuiThread(const std::function<void()>& call) {
  if (QThread::currentThread() == context_->thread()) {
    call();
    return;
  }
  std::exception_ptr error;
  QMetaObject::invokeMethod(
      context_,
      [&] {
        try {
          call();
        } catch (...) {
          error = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (error) std::rethrow_exception(error);
}

void GuiThreadUi::post(std::function<void()> call) {
  if (QThread::currentThread() == context_->thread()) {
    call();
    return;
  }
  QMetaObject::invokeMethod(context_, std::move(call), Qt::QueuedConnection);
}

Answer GuiThreadUi::ask(MessageKind kind, const std::string& text, Buttons buttons) {
  Answer answer = Answer::kCancel;
  onGuiThread([&] { answer = questions_.ask(kind, text, buttons); });
  return answer;
}

Answer GuiThreadUi::askWithDetails(MessageKind kind, const std::string& text, Buttons buttons,
                                   const std::string& details) {
  Answer answer = Answer::kCancel;
  onGuiThread([&] { answer = questions_.askWithDetails(kind, text, buttons, details); });
  return answer;
}

std::optional<std::string> GuiThreadUi::askPassword(const std::string& table) {
  std::optional<std::string> answer;
  onGuiThread([&] { answer = questions_.askPassword(table); });
  return answer;
}

void GuiThreadUi::showProgress(const ProgressStep& step) {
  post([this, step] { progress_.showProgress(step); });
}

void GuiThreadUi::rowProgress(uint64_t copied, uint64_t total) {
  rows_copied_ = copied;
  rows_total_ = total;
  // One report at a time on its way; it shows the latest count when it
  // arrives.
  if (rows_posted_.exchange(true)) return;
  post([this] {
    rows_posted_ = false;
    progress_.rowProgress(rows_copied_, rows_total_);
  });
}

void GuiThreadUi::busy(bool on) {
  post([this, on] { progress_.busy(on); });
}

void GuiThreadUi::processEvents() {
  if (QThread::currentThread() == context_->thread()) progress_.processEvents();
}

}  // namespace vellum::ui
