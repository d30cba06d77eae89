// The engine error dialog: shows a database engine error that reached the
// application's error handling, with its message at first and, on request,
// the details of each entry of the engine's error list (code, category and
// subcode, native code, message), one entry at a time.
//
// One instance serves the whole program. InstallErrorHandler makes it the
// application-wide error handler: engine errors are shown here, any other
// error goes on to the handler installed before it, or to the standard error
// message. Destroying the dialog puts that earlier handler back. While an
// engine error is on screen a second one is not shown in it but handed on
// like any other error.
#pragma once

#include <optional>

#include <QDialog>

#include "dictionary/ui/application_errors.h"
#include "engine/errors.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QWidget;

namespace vellum::shell {

class TDbEngineErrorDlg : public QDialog {
  Q_OBJECT

 public:
  // Creates the dialog hidden, with the details hidden (FormCreate).
  explicit TDbEngineErrorDlg(QWidget* parent = nullptr);
  // Puts back the error handler that was installed before this dialog's.
  ~TDbEngineErrorDlg() override;

  // Keeps the application's current error handler and makes ApplicationError
  // the application's error handler.
  void InstallErrorHandler();
  // The application's error handler while the dialog is installed.
  void ApplicationError(QObject* sender, const std::exception_ptr& error);
  // Shows `error` modally; returns when the dialog is closed.
  void ShowEngineError(const engine::EDBEngineError& error);

  // The error on screen, or nullptr while the dialog is closed.
  const engine::EDBEngineError* currentError() const {
    return CurrentError ? &*CurrentError : nullptr;
  }
  bool detailsShown() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* BasicPanel;
  QLabel* IconImage;
  QLabel* ErrorText;
  QWidget* ButtonPanel;
  QPushButton* DetailsBtn;
  QPushButton* OKBtn;
  QFrame* DetailsPanel;
  QLabel* BDELabel;
  QLineEdit* DbResult;
  QLineEdit* DbCatSub;
  QLabel* NativeLabel;
  QLineEdit* NativeResult;
  QPlainTextEdit* DbMessageText;
  QPushButton* BackBtn;
  QPushButton* NextBtn;

  void createControls();
  void FormShow();
  void ToggleDetails();
  void DetailsBtnClick();
  void BackClick();
  void NextClick();
  void ShowErrorEntry();
  void placePanels();

  ui::ApplicationErrorHandler PreviousHandler;
  bool installed_ = false;
  std::optional<engine::EDBEngineError> CurrentError;
  int EntryIndex = 0;
  QString DetailsCaption;
};

}  // namespace vellum::shell
