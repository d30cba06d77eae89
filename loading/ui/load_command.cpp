#include "loading/ui/load_command.h"

#include <QAbstractButton>
#include <QFile>
#include <QWidget>

#include "dictionary/ui/at_scope_end.h"

namespace vellum::loading {

using ui::AtScopeEnd;

LoadCommand::LoadCommand(QWidget& window, TSceltaTabelleDlg& chooser,
                         dictionary::TdmDataDictionary& data_module, Questions& questions)
    : QObject(&window),
      window_(window),
      chooser_(chooser),
      data_module_(data_module),
      questions_(questions) {}

void LoadCommand::setCancelButton(QAbstractButton* button) {
  if (cancel_) disconnect(cancel_, nullptr, this, nullptr);
  cancel_ = button;
  if (!cancel_) return;
  cancel_->setVisible(running());
  connect(cancel_, &QAbstractButton::clicked, this, &LoadCommand::requestStop);
}

void LoadCommand::requestStop() {
  if (!progress_) return;
  progress_->requestStop();
  if (cancel_) cancel_->setEnabled(false);
}

std::optional<LoadReport> LoadCommand::Carica1Click() {
  if (running()) return std::nullopt;
  data_module_.runs().checkIdle();
  if (!chooser_.choose()) return std::nullopt;
  const LoadChoice choice = chooser_.choice();

  ui::WindowProgress progress([this](const ProgressStep& step) { showProgress(step); });
  caption_ = window_.windowTitle();
  progress_ = &progress;
  if (cancel_) {
    cancel_->setEnabled(true);
    cancel_->show();
  }
  emit runningChanged(true);
  const AtScopeEnd end([this] {
    progress_ = nullptr;
    window_.setWindowTitle(caption_);
    if (cancel_) cancel_->hide();
    emit runningChanged(false);
  });

  JoinedUi ui(questions_, progress);
  LoadReport report =
      LoadStructures(data_module_, ui, choice.source, choice.load_as, choice.tables);
  if (report.end == LoadReport::End::kStopped && !report.not_reached.empty()) {
    questions_.message(MessageKind::kInformation,
                       tr("The load stopped before the table \"%1\".")
                           .arg(QFile::decodeName(report.not_reached.front().c_str()))
                           .toStdString());
  }
  return report;
}

void LoadCommand::showProgress(const ProgressStep& step) {
  window_.setWindowTitle(step.text.empty() ? caption_ : QFile::decodeName(step.text.c_str()));
}

}  // namespace vellum::loading
