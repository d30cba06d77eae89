#include "shell/ui/db_engine_error_dlg.h"

#include <algorithm>

#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/form_style.h"
#include "shell/engine_error_text.h"

namespace vellum::shell {

namespace {

// The dialog as designed, in pixels.
constexpr int kClientWidth = 296;
constexpr int kFullHeight = 255;
constexpr int kButtonRowHeight = 39;
constexpr int kDetailsHeight = 144;
constexpr int kIconMargin = 49;
constexpr int kTopMargin = 8;
constexpr int kRightMargin = 8;
constexpr int kDesignBasicHeight = kFullHeight - kButtonRowHeight - kDetailsHeight;

QLineEdit* ReadOnlyBox(QWidget* parent, const char* name, const QRect& geometry) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(name);
  box->setReadOnly(true);
  box->setGeometry(geometry);
  return box;
}

QPushButton* Button(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setGeometry(geometry);
  return button;
}

QLabel* RightLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  label->setGeometry(geometry);
  return label;
}

}  // namespace

TDbEngineErrorDlg::TDbEngineErrorDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("DbEngineErrorDlg");
  setWindowTitle(tr("Database Engine Error"));
  setFont(ui::DesignFont("MS Sans Serif", 8));
  createControls();
  // FormCreate: the full height and the Details caption as designed, then
  // the details hidden.
  basic_height_ = kDesignBasicHeight;
  FullHeight = kFullHeight;
  DetailsCaption = DetailsBtn->text();
  DetailsPanel->setVisible(true);
  placePanels();
  ToggleDetails();
}

TDbEngineErrorDlg::~TDbEngineErrorDlg() {
  if (installed_) ui::SetApplicationErrorHandler(PreviousHandler);
}

void TDbEngineErrorDlg::createControls() {
  BasicPanel = new QWidget(this);
  BasicPanel->setObjectName("BasicPanel");
  IconImage = new QLabel(BasicPanel);
  IconImage->setObjectName("IconImage");
  IconImage->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
  IconImage->setGeometry(8, kTopMargin, 32, 32);
  ErrorText = new QLabel(BasicPanel);
  ErrorText->setObjectName("ErrorText");
  ErrorText->setWordWrap(true);
  ErrorText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  ErrorText->setTextFormat(Qt::PlainText);
  ErrorText->setTextInteractionFlags(Qt::TextSelectableByMouse);

  ButtonPanel = new QWidget(this);
  ButtonPanel->setObjectName("ButtonPanel");
  OKBtn = Button(ButtonPanel, "OKBtn", tr("OK"), QRect(134, 7, 75, 25));
  DetailsBtn = Button(ButtonPanel, "DetailsBtn", tr("&Details"), QRect(213, 7, 75, 25));
  OKBtn->setAutoDefault(false);
  DetailsBtn->setAutoDefault(false);

  DetailsPanel = new QFrame(this);
  DetailsPanel->setObjectName("DetailsPanel");
  DetailsPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  BDELabel = RightLabel(DetailsPanel, "BDELabel", tr("BDE Error:"), QRect(4, 10, 74, 21));
  DbResult = ReadOnlyBox(DetailsPanel, "DbResult", QRect(82, 10, 60, 21));
  DbCatSub = ReadOnlyBox(DetailsPanel, "DbCatSub", QRect(146, 10, 80, 21));
  NativeLabel = RightLabel(DetailsPanel, "NativeLabel", tr("Server Error:"), QRect(4, 36, 74, 21));
  NativeResult = ReadOnlyBox(DetailsPanel, "NativeResult", QRect(82, 36, 60, 21));
  DbMessageText = new QPlainTextEdit(DetailsPanel);
  DbMessageText->setObjectName("DbMessageText");
  DbMessageText->setReadOnly(true);
  DbMessageText->setGeometry(8, 62, kClientWidth - 16, 44);
  QPalette face = DbMessageText->palette();
  face.setColor(QPalette::Base, face.color(QPalette::Button));
  DbMessageText->setPalette(face);
  BackBtn = Button(DetailsPanel, "BackBtn", tr("< &Back"), QRect(134, 112, 75, 25));
  NextBtn = Button(DetailsPanel, "NextBtn", tr("Next >"), QRect(213, 112, 75, 25));
  BackBtn->setAutoDefault(false);
  NextBtn->setDefault(true);

  ui::ExceptionSafeConnect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  ui::ExceptionSafeConnect(DetailsBtn, &QPushButton::clicked, this,
                           &TDbEngineErrorDlg::DetailsBtnClick);
  ui::ExceptionSafeConnect(BackBtn, &QPushButton::clicked, this, &TDbEngineErrorDlg::BackClick);
  ui::ExceptionSafeConnect(NextBtn, &QPushButton::clicked, this, &TDbEngineErrorDlg::NextClick);
}

void TDbEngineErrorDlg::InstallErrorHandler() {
  PreviousHandler =
      ui::SetApplicationErrorHandler([this](QObject* sender, const std::exception_ptr& error) {
        ApplicationError(sender, error);
      });
  installed_ = true;
}

void TDbEngineErrorDlg::ApplicationError(QObject* sender, const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const engine::EDBEngineError& engine_error) {
    if (!CurrentError && !ui::ApplicationEnding()) {
      ShowEngineError(engine_error);
      return;
    }
  } catch (...) {
  }
  if (PreviousHandler) {
    PreviousHandler(sender, error);
  } else {
    ui::ShowStandardErrorMessage(error);
  }
}

void TDbEngineErrorDlg::ShowEngineError(const engine::EDBEngineError& error) {
  CurrentError = error;
  try {
    exec();
  } catch (...) {
    CurrentError.reset();
    throw;
  }
  CurrentError.reset();
}

bool TDbEngineErrorDlg::detailsShown() const { return !DetailsPanel->isHidden(); }

void TDbEngineErrorDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  OKBtn->setFocus();
}

void TDbEngineErrorDlg::FormShow() {
  ErrorText->setText(CurrentError ? QString::fromStdString(CurrentError->what()) : QString());
  placePanels();
  if (detailsShown()) {
    EntryIndex = 0;
    ShowErrorEntry();
  }
}

// The message decides BasicPanel's height: as designed, or taller when the
// wrapped message needs more, so that no line of it is cut off. The button
// row stays directly below it and the details directly below the row.
void TDbEngineErrorDlg::placePanels() {
  const int text_width = kClientWidth - kIconMargin - kRightMargin;
  const int needed = ErrorText->heightForWidth(text_width) + kTopMargin;
  basic_height_ = std::max(kDesignBasicHeight, needed);
  BasicPanel->setGeometry(0, 0, kClientWidth, basic_height_);
  ErrorText->setGeometry(kIconMargin, kTopMargin, text_width, basic_height_ - kTopMargin);
  ButtonPanel->setGeometry(0, basic_height_, kClientWidth, kButtonRowHeight);
  DetailsPanel->setGeometry(0, basic_height_ + kButtonRowHeight, kClientWidth, kDetailsHeight);
  FullHeight = basic_height_ + kButtonRowHeight + kDetailsHeight;
  setFixedSize(kClientWidth, detailsShown() ? FullHeight : DetailsPanel->y());
}

void TDbEngineErrorDlg::ToggleDetails() {
  const bool shown = detailsShown();
  setFixedSize(kClientWidth, shown ? DetailsPanel->y() : FullHeight);
  DetailsPanel->setVisible(!shown);
  ButtonPanel->move(0, DetailsPanel->y() - kButtonRowHeight);
  DetailsBtn->setText(shown ? DetailsCaption + " >>" : "<< " + DetailsCaption);
}

void TDbEngineErrorDlg::DetailsBtnClick() {
  ToggleDetails();
  if (detailsShown()) {
    EntryIndex = 0;
    ShowErrorEntry();
  }
}

void TDbEngineErrorDlg::BackClick() {
  --EntryIndex;
  ShowErrorEntry();
}

void TDbEngineErrorDlg::NextClick() {
  ++EntryIndex;
  ShowErrorEntry();
}

void TDbEngineErrorDlg::ShowErrorEntry() {
  if (!CurrentError) return;
  const auto& entries = CurrentError->entries();
  const int count = static_cast<int>(entries.size());
  EntryIndex = std::clamp(EntryIndex, 0, count - 1);
  const engine::ErrorEntry& entry = entries[EntryIndex];
  BackBtn->setEnabled(EntryIndex > 0);
  NextBtn->setEnabled(EntryIndex < count - 1);
  DbMessageText->setPlainText(QString::fromStdString(entry.message));
  BDELabel->setEnabled(true);
  DbResult->setText(QString::fromStdString(ErrorCodeText(entry)));
  DbCatSub->setText(QString::fromStdString(CategorySubcodeText(entry)));
  NativeLabel->setEnabled(entry.native_code != 0);
  NativeResult->setText(QString::fromStdString(NativeCodeText(entry)));
}

}  // namespace vellum::shell
