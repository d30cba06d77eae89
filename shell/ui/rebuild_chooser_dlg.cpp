#include "shell/ui/rebuild_chooser_dlg.h"

#include <exception>

#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/form_style.h"
#include "dictionary/ui/window_geometry.h"

namespace vellum::shell {

namespace {

// The dialog as designed, in pixels.
constexpr int kWidth = 440;
constexpr int kHeight = 360;
constexpr int kMoveButtonSize = 26;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

QPushButton* MoveButton(const char* name, const char* text, const QString& what) {
  auto* button = new QPushButton(text);
  button->setObjectName(name);
  // The button shows only a symbol: a screen reader and a tooltip say it.
  button->setAccessibleName(what);
  button->setToolTip(what);
  button->setFixedSize(kMoveButtonSize, kMoveButtonSize);
  button->setAutoDefault(false);
  return button;
}

QLabel* Title(const char* name, const char* text) {
  auto* title = new QLabel(text);
  title->setObjectName(name);
  title->setFrameStyle(QFrame::Panel | QFrame::Raised);
  title->setMargin(2);
  return title;
}

QListWidget* List(const char* name) {
  auto* list = new QListWidget;
  list->setObjectName(name);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  return list;
}

QString FromPath(const std::string& path) { return QFile::decodeName(path.c_str()); }
std::string ToPath(const QString& text) { return QFile::encodeName(text).toStdString(); }

}  // namespace

TSceltaTabelleRegenDlg::TSceltaTabelleRegenDlg(engine::Session& session, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), chooser_(session) {
  setObjectName("SceltaTabelleRegenDlg");
  setWindowTitle("Scelta tabelle");
  setFont(ui::DesignFont("MS Sans Serif", 8));
  createControls();
  layOut();
  setFixedSize(kWidth, kHeight);
  SetButtons();
  ui::RememberGeometry(this);

  ui::ExceptionSafeConnect(cbAliases, &QComboBox::editTextChanged, this,
                           &TSceltaTabelleRegenDlg::cbAliasesChange);
  ui::ExceptionSafeConnect(edtDirectory, &QLineEdit::textChanged, this,
                           &TSceltaTabelleRegenDlg::edtDirectoryChange);
  ui::ExceptionSafeConnect(IncludeBtn, &QPushButton::clicked, this,
                           &TSceltaTabelleRegenDlg::IncludeBtnClick);
  ui::ExceptionSafeConnect(IncAllBtn, &QPushButton::clicked, this,
                           &TSceltaTabelleRegenDlg::IncAllBtnClick);
  ui::ExceptionSafeConnect(ExcludeBtn, &QPushButton::clicked, this,
                           &TSceltaTabelleRegenDlg::ExcludeBtnClick);
  ui::ExceptionSafeConnect(ExAllBtn, &QPushButton::clicked, this,
                           &TSceltaTabelleRegenDlg::ExcAllBtnClick);
  ui::ExceptionSafeConnect(SrcList, &QListWidget::itemSelectionChanged, this,
                           [this] { takeSelection(Side::kAvailable); });
  ui::ExceptionSafeConnect(DstList, &QListWidget::itemSelectionChanged, this,
                           [this] { takeSelection(Side::kChosen); });
  ui::ExceptionSafeConnect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  ui::ExceptionSafeConnect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TSceltaTabelleRegenDlg::createControls() {
  Label1 = new QLabel(tr("Alias"));
  Label1->setObjectName("Label1");
  cbAliases = new QComboBox;
  cbAliases->setObjectName("cbAliases");
  cbAliases->setEditable(true);
  cbAliases->setInsertPolicy(QComboBox::NoInsert);
  // What is typed stays as typed (an alias in part, a path): no completion.
  cbAliases->setCompleter(nullptr);
  cbAliases->setToolTip("Scelta dell'Alias, oppure Pathname del DB");
  lblDirectory = new QLabel("Directory out");
  lblDirectory->setObjectName("lblDirectory");
  edtDirectory = new QLineEdit;
  edtDirectory->setObjectName("edtDirectory");
  edtDirectory->setToolTip("Destinazione");
  Label1->setBuddy(cbAliases);
  lblDirectory->setBuddy(edtDirectory);

  pSrcTitle = Title("pSrcTitle", "Tabelle Disponibili");
  SrcList = List("SrcList");
  pDstTitle = Title("pDstTitle", "Tabelle selezionate");
  DstList = List("DstList");
  IncludeBtn = MoveButton("IncludeBtn", ">", tr("Add the selected tables"));
  IncAllBtn = MoveButton("IncAllBtn", ">>", tr("Add all tables"));
  ExcludeBtn = MoveButton("ExcludeBtn", "<", tr("Remove the selected tables"));
  ExAllBtn = MoveButton("ExAllBtn", "<<", tr("Remove all tables"));
  // A double click anywhere in a list, an empty one included, moves.
  SrcList->viewport()->installEventFilter(this);
  DstList->viewport()->installEventFilter(this);

  OKBtn = new QPushButton(tr("OK"));
  OKBtn->setObjectName("OKBtn");
  OKBtn->setDefault(true);
  OKBtn->setFixedSize(kButtonWidth, kButtonHeight);
  CancelBtn = new QPushButton("Annulla");
  CancelBtn->setObjectName("CancelBtn");
  CancelBtn->setAutoDefault(false);
  CancelBtn->setFixedSize(kButtonWidth, kButtonHeight);
}

void TSceltaTabelleRegenDlg::layOut() {
  auto* top = new QGridLayout;
  top->addWidget(Label1, 0, 0);
  top->addWidget(cbAliases, 1, 0);
  top->addWidget(lblDirectory, 2, 0);
  top->addWidget(edtDirectory, 3, 0);
  top->setVerticalSpacing(2);

  auto* buttons = new QVBoxLayout;
  buttons->addStretch();
  for (QPushButton* button : {IncludeBtn, IncAllBtn, ExcludeBtn, ExAllBtn}) {
    buttons->addWidget(button);
  }
  buttons->addStretch();
  auto* left = new QVBoxLayout;
  left->setSpacing(0);
  left->addWidget(pSrcTitle);
  left->addWidget(SrcList);
  auto* right = new QVBoxLayout;
  right->setSpacing(0);
  right->addWidget(pDstTitle);
  right->addWidget(DstList);
  auto* middle = new QHBoxLayout;
  middle->addLayout(left, 1);
  middle->addLayout(buttons);
  middle->addLayout(right, 1);

  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(OKBtn);
  bottom->addWidget(CancelBtn);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addSpacing(4);
  layout->addLayout(middle, 1);
  layout->addLayout(bottom);
}

RebuildChoice TSceltaTabelleRegenDlg::choice() const {
  return RebuildChoice{cbAliases->currentText().toStdString(), ToPath(edtDirectory->text()),
                       chooser_.lists.texts(Side::kChosen)};
}

bool TSceltaTabelleRegenDlg::choose(RebuildChooser::Mode mode) {
  setMode(mode);
  return exec() == QDialog::Accepted;
}

void TSceltaTabelleRegenDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // A failure is shown once the dialog is on screen; the dialog stays.
  try {
    FormActivate();
  } catch (...) {
    QTimer::singleShot(0, this, [this, error = std::current_exception()] {
      ui::HandleApplicationError(this, error);
    });
  }
}

void TSceltaTabelleRegenDlg::FormActivate() {
  const bool file_name_mode = mode_ == RebuildChooser::Mode::kFileName;
  setWindowTitle(tr("Choose tables"));
  Label1->setText(tr("Alias"));
  lblDirectory->setText(file_name_mode ? tr("Filename") : tr("Out directory"));
  pSrcTitle->setText(tr("Tables available"));
  pDstTitle->setText(tr("Selected tables"));
  CancelBtn->setText(tr("Cancel"));
  // Whatever happens reading the aliases, the showing starts empty.
  const QSignalBlocker block_aliases(cbAliases);
  const QSignalBlocker block_directory(edtDirectory);
  cbAliases->clear();
  edtDirectory->clear();
  SrcList->clear();
  DstList->clear();
  chooser_.Activate(mode_);
  for (const std::string& alias : chooser_.aliases()) {
    cbAliases->addItem(QString::fromStdString(alias));
  }
  cbAliases->setCurrentIndex(-1);
  cbAliases->clearEditText();
  SetButtons();
}

void TSceltaTabelleRegenDlg::cbAliasesChange(const QString& text) {
  ui::CallHandlingErrors(this, [&] {
    chooser_.AliasChanged(text.toStdString());
    showList(Side::kAvailable);
    showList(Side::kChosen);
    if (chooser_.mode() == RebuildChooser::Mode::kOutDirectory && !text.isEmpty()) {
      edtDirectory->setText(FromPath(chooser_.directory()));
    }
    SetButtons();
  });
}

void TSceltaTabelleRegenDlg::edtDirectoryChange(const QString& text) {
  chooser_.DirectoryChanged(ToPath(text));
  SetButtons();
}

void TSceltaTabelleRegenDlg::IncludeBtnClick() {
  SetItem(Side::kAvailable, chooser_.lists.Move(Side::kAvailable));
}

void TSceltaTabelleRegenDlg::ExcludeBtnClick() {
  SetItem(Side::kChosen, chooser_.lists.Move(Side::kChosen));
}

void TSceltaTabelleRegenDlg::IncAllBtnClick() {
  SetItem(Side::kAvailable, chooser_.lists.MoveAll(Side::kAvailable));
}

void TSceltaTabelleRegenDlg::ExcAllBtnClick() {
  SetItem(Side::kChosen, chooser_.lists.MoveAll(Side::kChosen));
}

void TSceltaTabelleRegenDlg::SetItem(Side side, int index) {
  showList(Side::kAvailable);
  showList(Side::kChosen);
  QListWidget* list = listOf(side);
  list->setFocus();
  if (index >= 0) list->setCurrentRow(index, QItemSelectionModel::NoUpdate);
  SetButtons();
}

void TSceltaTabelleRegenDlg::SetButtons() {
  const bool available = !chooser_.lists.empty(Side::kAvailable);
  const bool chosen = !chooser_.lists.empty(Side::kChosen);
  IncludeBtn->setEnabled(available);
  IncAllBtn->setEnabled(available);
  ExcludeBtn->setEnabled(chosen);
  ExAllBtn->setEnabled(chosen);
  OKBtn->setEnabled(chooser_.okEnabled());
}

QListWidget* TSceltaTabelleRegenDlg::listOf(Side side) const {
  return side == Side::kAvailable ? SrcList : DstList;
}

void TSceltaTabelleRegenDlg::showList(Side side) {
  QListWidget* list = listOf(side);
  const QSignalBlocker block(list);
  list->clear();
  for (const auto& item : chooser_.lists.items(side)) {
    auto* row = new QListWidgetItem(QString::fromStdString(item.text), list);
    row->setSelected(item.selected);
  }
}

void TSceltaTabelleRegenDlg::takeSelection(Side side) {
  QListWidget* list = listOf(side);
  std::vector<bool> selected;
  selected.reserve(list->count());
  for (int i = 0; i < list->count(); ++i) selected.push_back(list->item(i)->isSelected());
  chooser_.lists.setSelection(side, selected);
}

bool TSceltaTabelleRegenDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonDblClick) {
    if (watched == SrcList->viewport()) {
      IncludeBtnClick();
      return true;
    }
    if (watched == DstList->viewport()) {
      ExcludeBtnClick();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace vellum::shell
