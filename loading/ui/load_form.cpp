#include "loading/ui/load_form.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "dictionary/field_type_names.h"
#include "dictionary/schema.h"
#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/form_style.h"
#include "loading/ui/load_chooser_dlg.h"
#include "loading/ui/load_command.h"
#include "widgets/dataset_grid.h"
#include "widgets/dataset_model.h"
#include "widgets/dataset_navigator.h"
#include "widgets/field_controls.h"
#include "widgets/memo_dialog.h"
#include "widgets/search_dialog.h"

namespace vellum::loading {

using widgets::CellKind;
using widgets::GridColumn;

namespace {

bool Editing(const engine::Dataset& dataset) {
  return dataset.state() == engine::DatasetState::kEdit ||
         dataset.state() == engine::DatasetState::kInsert;
}

void PostIfEditing(engine::Dataset& dataset) {
  if (Editing(dataset)) dataset.post();
}

QString FieldText(engine::Dataset& dataset, const char* field) {
  if (!dataset.active()) return {};
  return QString::fromStdString(dataset.fieldByName(field).asString());
}

QStringList TypeChoices() {
  QStringList choices;
  for (const std::string_view name : dictionary::FieldTypeChoices) {
    choices << QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
  }
  return choices;
}

}  // namespace

TLoadForm::TLoadForm(dictionary::TdmDataDictionary& data_module, Questions& questions,
                     QWidget* parent)
    : QDialog(parent), dm_(data_module), questions_(questions), tblTablesSearch(dm_.session()) {
  setObjectName("LoadForm");
  setFont(ui::DesignFont("MS Sans Serif", 8));
  tblTablesSearch.setDatabaseName("DataDict");
  tblTablesSearch.setTableName(dictionary::kTablesTable);
  tblTablesSearch.setIndexName("PerTabella");
  createControls();
  layOut();
  // Maximized; the screen's size is also its normal size.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    setGeometry(screen->availableGeometry());
  }
  setWindowState(Qt::WindowMaximized);
  FormActivate();
}

TLoadForm::~TLoadForm() {
  // The grids let go of their models before the models go.
  grFields->setDatasetModel(nullptr);
  grIndexes->setDatasetModel(nullptr);
}

void TLoadForm::createControls() {
  MainMenu = new QMenuBar(this);
  MainMenu->setObjectName("MainMenu");
  Esci1 = MainMenu->addAction(QString());
  Esci1->setObjectName("Esci1");
  Carica1 = MainMenu->addAction(QString());
  Carica1->setObjectName("Carica1");
  CancellaTutto1 = MainMenu->addAction(QString());
  CancellaTutto1->setObjectName("CancellaTutto1");
  Stampa1 = MainMenu->addAction(QString());
  Stampa1->setObjectName("Stampa1");
  // Print joins when the printed report exists.
  Stampa1->setEnabled(false);

  auto label = [this](const char* name) {
    auto* l = new QLabel(this);
    l->setObjectName(name);
    return l;
  };
  auto edit = [this](const char* name, const char* field) {
    auto* e = new widgets::FieldEdit(this);
    e->setObjectName(name);
    e->bind(&dm_.tblTables, field);
    return e;
  };
  Label1 = label("Label1");
  Label1->setText(tr("Alias"));
  Label2 = label("Label2");
  Label3 = label("Label3");
  Label4 = label("Label4");
  Label5 = label("Label5");
  editAlias = edit("editAlias", "Alias");
  editNome = edit("editNome", "Nome");
  editInserimento = edit("editInserimento", "DataInserimento");
  editUltimaModifica = edit("editUltimaModifica", "DataUltimaModifica");
  editPassword = edit("editPassword", "Password");
  editPassword->setEnabled(false);
  SpeedButton1 = new QToolButton(this);
  SpeedButton1->setObjectName("SpeedButton1");
  SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
  SpeedButton1->setToolTip(tr("Search"));
  DBNavigator1 = new widgets::DatasetNavigator(questions_, this);
  DBNavigator1->setObjectName("DBNavigator1");
  DBNavigator1->setDataset(dm_.dsTables.dataset);
  memoDescrizione = new widgets::FieldMemo(this);
  memoDescrizione->setObjectName("memoDescrizione");
  memoDescrizione->bind(&dm_.tblTables, "Descrizione");
  memoDescrizione->setLineWrapMode(QPlainTextEdit::NoWrap);
  memoDescrizione->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoDescrizione->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  fields_model_ = std::make_unique<widgets::DatasetTableModel>(
      *dm_.dsFields.dataset,
      std::vector<GridColumn>{{.field = "Posizione", .width = 4},
                              {.field = "Nome", .width = 28},
                              {.field = "Tipo",
                               .width = 8,
                               .alignment = Qt::AlignCenter,
                               .kind = CellKind::kPickList,
                               .pick_list = TypeChoices(),
                               .drop_down_rows = 8},
                              {.field = "Lunghezza", .width = 5},
                              {.field = "Obbligatorio", .width = 5, .kind = CellKind::kCheckBox},
                              {.field = "ValoreMinimo", .width = 14},
                              {.field = "ValoreMassimo", .width = 14},
                              {.field = "ValoreDefault", .width = 14},
                              {.field = "Descrizione", .width = 50, .kind = CellKind::kMemo},
                              {.field = "CodTabella", .width = 5, .visible = false}});
  index_model_ = std::make_unique<widgets::DatasetTableModel>(
      *dm_.dsIndex.dataset,
      std::vector<GridColumn>{
          {.field = "Nome", .width = 23},
          {.field = "Primario", .width = 8, .kind = CellKind::kCheckBox},
          {.field = "Unico", .width = 5, .kind = CellKind::kCheckBox},
          {.field = "Discendente", .width = 5, .kind = CellKind::kCheckBox},
          {.field = "IgnoraMaiuscMinusc", .width = 5, .kind = CellKind::kCheckBox},
          {.field = "CampiChiave", .width = 255},
          {.field = "Descrizione", .width = 50, .visible = false, .kind = CellKind::kMemo},
          {.field = "CodTabella", .width = 5, .visible = false}});
  grFields = new widgets::DatasetGrid(this);
  grFields->setObjectName("grFields");
  grFields->setDatasetModel(fields_model_.get());
  grFields->installEventFilter(this);
  grIndexes = new widgets::DatasetGrid(this);
  grIndexes->setObjectName("grIndexes");
  grIndexes->setDatasetModel(index_model_.get());

  btnStopLoad = new QPushButton(this);
  btnStopLoad->setObjectName("btnStopLoad");
  btnStopLoad->setText(tr("Cancel"));
  btnStopLoad->hide();

  mdFields = new widgets::MemoDialog(this);
  mdFields->setObjectName("mdFields");
  mdFields->setDataset(dm_.dsFields.dataset, "Descrizione");
  mdIndexes = new widgets::MemoDialog(this);
  mdIndexes->setObjectName("mdIndexes");
  mdIndexes->setDataset(dm_.dsIndex.dataset, "Descrizione");
  sdTable = new widgets::SearchDialog(this);
  sdTable->setObjectName("sdTable");
  sdTable->setSearchView(&tblTablesSearch,
                         {{.field = "Nome", .width = 50}, {.field = "Alias", .width = 20}});
  sdTable->setTarget(&dm_.tblTables, "Alias;Nome");

  ui::ExceptionSafeConnect(Esci1, &QAction::triggered, this, &TLoadForm::Esci1Click);
  ui::ExceptionSafeConnect(Carica1, &QAction::triggered, this, &TLoadForm::Carica1Click);
  ui::ExceptionSafeConnect(CancellaTutto1, &QAction::triggered, this,
                           &TLoadForm::CancellaTutto1Click);
  ui::ExceptionSafeConnect(SpeedButton1, &QToolButton::clicked, this,
                           &TLoadForm::SpeedButton1Click);
  ui::ExceptionSafeConnect(grFields, &QAbstractItemView::doubleClicked, this,
                           &TLoadForm::grFieldsDblClick);
  ui::ExceptionSafeConnect(grIndexes, &QAbstractItemView::doubleClicked, this,
                           &TLoadForm::grIndexesDblClick);
  ui::ExceptionSafeConnect(btnStopLoad, &QPushButton::clicked, this, [this] {
    if (load_command_) load_command_->requestStop();
  });
}

void TLoadForm::layOut() {
  auto* header_left = new QGridLayout;
  header_left->addWidget(Label1, 0, 0);
  auto* alias_row = new QHBoxLayout;
  alias_row->addWidget(editAlias, 1);
  alias_row->addWidget(SpeedButton1);
  header_left->addLayout(alias_row, 0, 1, 1, 3);
  header_left->addWidget(Label2, 1, 0);
  header_left->addWidget(editNome, 1, 1, 1, 3);
  header_left->addWidget(Label3, 2, 0);
  header_left->addWidget(editInserimento, 2, 1);
  header_left->addWidget(Label4, 2, 2);
  header_left->addWidget(editUltimaModifica, 2, 3);
  header_left->addWidget(Label5, 3, 0);
  header_left->addWidget(editPassword, 3, 1);
  header_left->addWidget(DBNavigator1, 4, 0, 1, 4);
  auto* header = new QHBoxLayout;
  header->addLayout(header_left);
  header->addWidget(memoDescrizione, 1);

  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(MainMenu);
  layout->addLayout(header);
  layout->addWidget(grFields, 1);
  grIndexes->setMaximumHeight(grIndexes->fontMetrics().height() * 9);
  layout->addWidget(grIndexes);
  layout->addWidget(btnStopLoad, 0, Qt::AlignRight);
}

void TLoadForm::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() != QEvent::ActivationChange) return;
  ui::CallHandlingErrors(this, [this] {
    if (isActiveWindow()) {
      FormActivate();
    } else {
      FormDeactivate();
    }
  });
}

bool TLoadForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == grFields && event->type() == QEvent::FocusIn) {
    ui::CallHandlingErrors(this, [this] { grFieldsEnter(); });
  }
  return QDialog::eventFilter(watched, event);
}

void TLoadForm::FormActivate() {
  Label2->setText(tr("Name"));
  Label3->setText(tr("Insert"));
  Label4->setText(tr("Modified"));
  Label5->setText(tr("Password"));
  Esci1->setText(tr("&Exit"));
  Carica1->setText(tr("&Load"));
  CancellaTutto1->setText(tr("&Delete all"));
  Stampa1->setText(tr("&Print"));
  setWindowTitle(tr("Data dictionary manager"));
  grIndexes->setToolTip(tr("Double-click to insert the index description"));
  for (const auto& [field, label] : {std::pair{"Posizione", tr("Pos.")},
                                     {"Nome", tr("Name")},
                                     {"Tipo", tr("Type")},
                                     {"Lunghezza", tr("Len")},
                                     {"Obbligatorio", tr("Obbl.")},
                                     {"ValoreMinimo", tr("Min")},
                                     {"ValoreMassimo", tr("Max")},
                                     {"ValoreDefault", tr("Default")},
                                     {"Descrizione", tr("Description")},
                                     {"CodTabella", tr("Table code")}}) {
    dm_.tblFields.setDisplayLabel(field, label.toStdString());
  }
  for (const auto& [field, label] : {std::pair{"Nome", tr("Name")},
                                     {"Primario", tr("Primary")},
                                     {"Unico", tr("Unique")},
                                     {"Discendente", tr("Desc.")},
                                     {"IgnoraMaiuscMinusc", tr("No UPPER/lower")},
                                     {"CampiChiave", tr("Key fields")},
                                     {"Descrizione", tr("Description")}}) {
    dm_.tblIndex.setDisplayLabel(field, label.toStdString());
  }
  fields_model_->headerDataChanged(Qt::Horizontal, 0, fields_model_->columnCount() - 1);
  index_model_->headerDataChanged(Qt::Horizontal, 0, index_model_->columnCount() - 1);
  if (dm_.tblTables.active() && !tblTablesSearch.active()) tblTablesSearch.open();
}

void TLoadForm::FormDeactivate() {
  // A failing post shows the error dialog, which deactivates the window
  // again: that failure is reported once, not posted again.
  if (deactivating_) return;
  deactivating_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{deactivating_};
  PostIfEditing(dm_.tblTables);
  PostIfEditing(dm_.tblFields);
  PostIfEditing(dm_.tblIndex);
  tblTablesSearch.close();
}

void TLoadForm::Esci1Click() { close(); }

void TLoadForm::Carica1Click() {
  if (!load_command_) {
    // The chooser is created after this window, beside it.
    QObject* owner = parentWidget() ? static_cast<QObject*>(parentWidget()) : this;
    auto* chooser = owner->findChild<TSceltaTabelleDlg*>();
    if (!chooser) return;
    load_command_ = new LoadCommand(*this, *chooser, dm_, questions_);
    load_command_->setParent(this);
    load_command_->setCancelButton(btnStopLoad);
  }
  load_command_->Carica1Click();
}

void TLoadForm::CancellaTutto1Click() {
  if (questions_.ask(MessageKind::kConfirmation,
                     tr("Do you want to empty ALL the datadictionary?").toStdString(),
                     Buttons::kYesNo) != Answer::kYes) {
    return;
  }
  const QString caption = windowTitle();
  setWindowTitle(tr("Empting the Data Dictionary..."));
  QApplication::setOverrideCursor(Qt::WaitCursor);
  struct Restore {
    TLoadForm* form;
    QString caption;
    ~Restore() {
      QApplication::restoreOverrideCursor();
      form->setWindowTitle(caption);
    }
  } restore{this, caption};
  QCoreApplication::processEvents();
  engine::Dataset& tables = dm_.tblTables;
  tables.first();
  while (!tables.eof()) tables.remove();
}

void TLoadForm::SpeedButton1Click() { sdTable->execute(); }

void TLoadForm::grFieldsDblClick() {
  if (!dm_.tblFields.active() || dm_.tblFields.isEmpty()) return;
  mdFields->execute(tr("Note on the field \"%1\" of the table \"%2\"")
                        .arg(FieldText(dm_.tblFields, "Nome"), FieldText(dm_.tblTables, "Nome")));
}

void TLoadForm::grIndexesDblClick() {
  if (!dm_.tblIndex.active() || dm_.tblIndex.isEmpty()) return;
  mdIndexes->execute(tr("Note on index \"%1\" of the table \"%2\"")
                         .arg(FieldText(dm_.tblIndex, "Nome"), FieldText(dm_.tblTables, "Nome")));
}

void TLoadForm::grFieldsEnter() {
  PostIfEditing(dm_.tblTables);
  PostIfEditing(dm_.tblIndex);
}

}  // namespace vellum::loading
