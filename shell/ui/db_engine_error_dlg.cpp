#include "shell/ui/db_engine_error_dlg.h"

#include <algorithm>

#include <QApplication>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/form_style.h"
#include "shell/engine_error_text.h"

namespace vellum::shell {

namespace {

// The dialog as designed, in pixels: its width, the button row's and the
// details' heights, the message's height at the least.
constexpr int kClientWidth = 296;
constexpr int kButtonRowHeight = 39;
constexpr int kDetailsHeight = 144;
constexpr int kDesignBasicHeight = 72;
constexpr int kMargin = 8;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kLabelWidth = 74;

QLineEdit* ReadOnlyBox(QWidget* parent, const char* name, int width) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(name);
  box->setReadOnly(true);
  box->setFixedWidth(width);
  return box;
}

QPushButton* Button(QWidget* parent, const char* name, const QString& text) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setFixedSize(kButtonWidth, kButtonHeight);
  return button;
}

// A label that grows with its text (a translation), never below the width
// designed for it.
QLabel* RightLabel(QWidget* parent, const char* name, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  label->setMinimumWidth(kLabelWidth);
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
  BasicPanel->setMinimumHeight(kDesignBasicHeight);
  IconImage = new QLabel(BasicPanel);
  IconImage->setObjectName("IconImage");
  IconImage->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
  IconImage->setFixedSize(32, 32);
  ErrorText = new QLabel(BasicPanel);
  ErrorText->setObjectName("ErrorText");
  ErrorText->setWordWrap(true);
  ErrorText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  ErrorText->setTextFormat(Qt::PlainText);
  ErrorText->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* basic = new QHBoxLayout(BasicPanel);
  basic->setContentsMargins(kMargin, kMargin, kMargin, 0);
  basic->setSpacing(9);
  basic->addWidget(IconImage, 0, Qt::AlignTop);
  basic->addWidget(ErrorText, 1);

  ButtonPanel = new QWidget(this);
  ButtonPanel->setObjectName("ButtonPanel");
  ButtonPanel->setFixedHeight(kButtonRowHeight);
  OKBtn = Button(ButtonPanel, "OKBtn", tr("OK"));
  DetailsBtn = Button(ButtonPanel, "DetailsBtn", tr("&Details"));
  OKBtn->setAutoDefault(false);
  DetailsBtn->setAutoDefault(false);
  auto* buttons = new QHBoxLayout(ButtonPanel);
  buttons->setContentsMargins(kMargin, 0, kMargin, 0);
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(DetailsBtn);

  DetailsPanel = new QFrame(this);
  DetailsPanel->setObjectName("DetailsPanel");
  DetailsPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  DetailsPanel->setFixedHeight(kDetailsHeight);
  BDELabel = RightLabel(DetailsPanel, "BDELabel", tr("BDE Error:"));
  DbResult = ReadOnlyBox(DetailsPanel, "DbResult", 60);
  DbCatSub = ReadOnlyBox(DetailsPanel, "DbCatSub", 80);
  NativeLabel = RightLabel(DetailsPanel, "NativeLabel", tr("Server Error:"));
  NativeResult = ReadOnlyBox(DetailsPanel, "NativeResult", 60);
  DbMessageText = new QPlainTextEdit(DetailsPanel);
  DbMessageText->setObjectName("DbMessageText");
  DbMessageText->setReadOnly(true);
  DbMessageText->setFixedHeight(44);
  QPalette face = DbMessageText->palette();
  face.setColor(QPalette::Base, face.color(QPalette::Button));
  DbMessageText->setPalette(face);
  BackBtn = Button(DetailsPanel, "BackBtn", tr("< &Back"));
  NextBtn = Button(DetailsPanel, "NextBtn", tr("Next >"));
  BackBtn->setAutoDefault(false);
  NextBtn->setDefault(true);
  auto* codes = new QGridLayout;
  codes->addWidget(BDELabel, 0, 0);
  codes->addWidget(DbResult, 0, 1);
  codes->addWidget(DbCatSub, 0, 2);
  codes->addWidget(NativeLabel, 1, 0);
  codes->addWidget(NativeResult, 1, 1);
  codes->setColumnStretch(3, 1);
  auto* moves = new QHBoxLayout;
  moves->addStretch();
  moves->addWidget(BackBtn);
  moves->addWidget(NextBtn);
  auto* details = new QVBoxLayout(DetailsPanel);
  details->setContentsMargins(kMargin, 6, kMargin, 6);
  details->addLayout(codes);
  details->addWidget(DbMessageText);
  details->addLayout(moves);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(BasicPanel, 1);
  layout->addWidget(ButtonPanel);
  layout->addWidget(DetailsPanel);

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

// The dialog keeps its designed width; its height is what the layout needs
// at that width: the message (taller for a long one, so that no line of it
// is cut off), the button row and, when shown, the details.
void TDbEngineErrorDlg::placePanels() {
  layout()->activate();
  const int height = layout()->hasHeightForWidth() ? layout()->heightForWidth(kClientWidth)
                                                   : layout()->sizeHint().height();
  setFixedSize(kClientWidth, height);
}

void TDbEngineErrorDlg::ToggleDetails() {
  const bool shown = detailsShown();
  DetailsPanel->setVisible(!shown);
  DetailsBtn->setText(shown ? DetailsCaption + " >>" : "<< " + DetailsCaption);
  placePanels();
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
