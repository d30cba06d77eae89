#include "loading/ui/load_chooser_dlg.h"

#include <exception>

#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QFrame>
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

namespace vellum::loading {

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

// Sources are aliases or directory paths, in the file system's encoding.
QString FromPath(const std::string& path) { return QFile::decodeName(path.c_str()); }
std::string ToPath(const QString& text) { return QFile::encodeName(text).toStdString(); }

}  // namespace

TSceltaTabelleDlg::TSceltaTabelleDlg(dictionary::TdmDataDictionary& data_module, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), chooser_(data_module) {
  setObjectName("SceltaTabelleDlg");
  setWindowTitle("Scelta tabelle");
  setFont(ui::DesignFont("MS Sans Serif", 8));
  createControls();
  layOut();
  setFixedSize(kWidth, kHeight);
  SetButtons();
  ui::RememberGeometry(this);

  ui::ExceptionSafeConnect(cbAliases, &QComboBox::editTextChanged, this,
                           &TSceltaTabelleDlg::cbAliasesChange);
  ui::ExceptionSafeConnect(edtAlias, &QLineEdit::textChanged, this,
                           &TSceltaTabelleDlg::edtAliasChange);
  ui::ExceptionSafeConnect(IncludeBtn, &QPushButton::clicked, this,
                           &TSceltaTabelleDlg::IncludeBtnClick);
  ui::ExceptionSafeConnect(IncAllBtn, &QPushButton::clicked, this,
                           &TSceltaTabelleDlg::IncAllBtnClick);
  ui::ExceptionSafeConnect(ExcludeBtn, &QPushButton::clicked, this,
                           &TSceltaTabelleDlg::ExcludeBtnClick);
  ui::ExceptionSafeConnect(ExAllBtn, &QPushButton::clicked, this,
                           &TSceltaTabelleDlg::ExcAllBtnClick);
  ui::ExceptionSafeConnect(SrcList, &QListWidget::itemSelectionChanged, this,
                           [this] { takeSelection(Side::kAvailable); });
  ui::ExceptionSafeConnect(DstList, &QListWidget::itemSelectionChanged, this,
                           [this] { takeSelection(Side::kChosen); });
  ui::ExceptionSafeConnect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  ui::ExceptionSafeConnect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TSceltaTabelleDlg::createControls() {
  Label1 = new QLabel("Sorgente");
  Label1->setObjectName("Label1");
  cbAliases = new QComboBox;
  cbAliases->setObjectName("cbAliases");
  cbAliases->setEditable(true);
  cbAliases->setInsertPolicy(QComboBox::NoInsert);
  // What is typed stays as typed (an alias in part, a path): no completion.
  cbAliases->setCompleter(nullptr);
  cbAliases->setToolTip("Scelta dell'Alias, oppure Pathname del DB");
  Label2 = new QLabel("Carica come");
  Label2->setObjectName("Label2");
  edtAlias = new QLineEdit;
  edtAlias->setObjectName("edtAlias");
  edtAlias->setToolTip("Nome Alias di caricamento.");
  Label1->setBuddy(cbAliases);
  Label2->setBuddy(edtAlias);

  pSrcTitle = Title("pSrcTitle", "Tabelle Disponibili");
  SrcList = List("SrcList");
  SrcList->setSortingEnabled(false);  // the chooser keeps it sorted
  pDstTitle = Title("pDstTitle", "Tabelle da Caricare");
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

void TSceltaTabelleDlg::layOut() {
  // The band at the top: the source above the load-as name, each with its
  // label on the left.
  auto* band = new QFrame;
  band->setObjectName("pTop");
  band->setFrameStyle(QFrame::Panel | QFrame::Raised);
  auto* top = new QGridLayout(band);
  top->addWidget(Label1, 0, 0);
  top->addWidget(cbAliases, 0, 1);
  top->addWidget(Label2, 1, 0);
  top->addWidget(edtAlias, 1, 1);
  top->setColumnStretch(1, 1);

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
  layout->addWidget(band);
  layout->addSpacing(4);
  layout->addLayout(middle, 1);
  layout->addLayout(bottom);
}

void TSceltaTabelleDlg::showEvent(QShowEvent* event) {
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

void TSceltaTabelleDlg::FormActivate() {
  setWindowTitle(tr("Choose tables"));
  Label1->setText(tr("Source"));
  Label2->setText(tr("Load as"));
  pSrcTitle->setText(tr("Tables available"));
  pDstTitle->setText(tr("Tables to load"));
  CancelBtn->setText(tr("Cancel"));
  // Emptying the source is not a change of source: the chosen list and the
  // load-as name stay.
  const QSignalBlocker block_aliases(cbAliases);
  chooser_.Activate();
  cbAliases->clear();
  for (const std::string& alias : chooser_.aliases()) cbAliases->addItem(FromPath(alias));
  cbAliases->setCurrentIndex(-1);
  cbAliases->clearEditText();
  showList(Side::kAvailable);
  showList(Side::kChosen);
  SetButtons();
}

void TSceltaTabelleDlg::cbAliasesChange(const QString& text) {
  chooser_.SourceChanged(ToPath(text));
  showList(Side::kAvailable);
  showList(Side::kChosen);
  {
    const QSignalBlocker block(edtAlias);
    edtAlias->setText(FromPath(chooser_.loadAs()));
  }
  SetButtons();
}

void TSceltaTabelleDlg::edtAliasChange(const QString& text) {
  chooser_.LoadAsChanged(text.toStdString());
  SetButtons();
}

void TSceltaTabelleDlg::IncludeBtnClick() {
  SetItem(Side::kAvailable, chooser_.lists.Move(Side::kAvailable));
}

void TSceltaTabelleDlg::ExcludeBtnClick() {
  SetItem(Side::kChosen, chooser_.lists.Move(Side::kChosen));
}

void TSceltaTabelleDlg::IncAllBtnClick() {
  SetItem(Side::kAvailable, chooser_.lists.MoveAll(Side::kAvailable));
}

void TSceltaTabelleDlg::ExcAllBtnClick() {
  SetItem(Side::kChosen, chooser_.lists.MoveAll(Side::kChosen));
}

void TSceltaTabelleDlg::SetItem(Side side, int index) {
  showList(Side::kAvailable);
  showList(Side::kChosen);
  QListWidget* list = listOf(side);
  list->setFocus();
  if (index >= 0) list->setCurrentRow(index, QItemSelectionModel::NoUpdate);
  SetButtons();
}

void TSceltaTabelleDlg::SetButtons() {
  IncludeBtn->setEnabled(chooser_.includeEnabled());
  IncAllBtn->setEnabled(chooser_.includeEnabled());
  ExcludeBtn->setEnabled(chooser_.excludeEnabled());
  ExAllBtn->setEnabled(chooser_.excludeEnabled());
  OKBtn->setEnabled(chooser_.okEnabled());
}

QListWidget* TSceltaTabelleDlg::listOf(Side side) const {
  return side == Side::kAvailable ? SrcList : DstList;
}

void TSceltaTabelleDlg::showList(Side side) {
  QListWidget* list = listOf(side);
  const QSignalBlocker block(list);
  list->clear();
  for (const auto& item : chooser_.lists.items(side)) {
    auto* row = new QListWidgetItem(FromPath(item.text), list);
    row->setSelected(item.selected);
  }
}

void TSceltaTabelleDlg::takeSelection(Side side) {
  QListWidget* list = listOf(side);
  std::vector<bool> selected;
  selected.reserve(list->count());
  for (int i = 0; i < list->count(); ++i) selected.push_back(list->item(i)->isSelected());
  chooser_.lists.setSelection(side, selected);
}

bool TSceltaTabelleDlg::eventFilter(QObject* watched, QEvent* event) {
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

}  // namespace vellum::loading
