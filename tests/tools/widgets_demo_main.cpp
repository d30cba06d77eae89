// A small window of the data-aware components over a dictionary made for
// the purpose: header edit boxes, the navigator, the description memo, the
// fields grid and the indexes grid, laid out as the management window will
// have them. Writes a picture of it to the file named by its argument, or
// stays open without one. For looking at the components, never shipped.
#include <QApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QTimer>
#include <QVBoxLayout>
#include <fstream>
#include <iostream>

#include "dictionary/data_module.h"
#include "dictionary/field_type_names.h"
#include "dictionary/schema.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"
#include "widgets/dataset_grid.h"
#include "widgets/dataset_model.h"
#include "widgets/dataset_navigator.h"
#include "widgets/field_controls.h"

using namespace vellum;
using widgets::CellKind;
using widgets::GridColumn;

namespace {

void Fill(dictionary::TdmDataDictionary& dm) {
  auto& t = dm.tblTables;
  t.insert();
  t.fieldByName("Alias").setAsString("SALES");
  t.fieldByName("Nome").setAsString("ORDERS");
  t.fieldByName("DataInserimento").setAsDate(engine::DateFromYmd(2026, 12, 1));
  t.fieldByName("Descrizione")
      .setAsString("Orders taken by the sales office,\r\none row per order.");
  t.post();
  struct F {
    const char* name;
    const char* type;
    int length;
    bool required;
    const char* note;
  };
  for (const F& f :
       {F{"OrderNo", "AutoInc", 0, true, "The key"},
        F{"Customer", "Integer", 0, true, "Code of the customer"},
        F{"Placed", "Date", 0, false, ""}, F{"Total", "Currency", 0, false, "Net of taxes"},
        F{"Notes", "Memo", 40, false, ""}}) {
    auto& d = dm.tblFields;
    d.insert();
    d.fieldByName("Nome").setAsString(f.name);
    d.fieldByName("Tipo").setAsString(f.type);
    if (f.length) d.fieldByName("Lunghezza").setAsInteger(f.length);
    d.fieldByName("Obbligatorio").setAsBoolean(f.required);
    d.fieldByName("Descrizione").setAsString(f.note);
    d.post();
  }
  auto& i = dm.tblIndex;
  i.insert();
  i.fieldByName("Nome").setAsString("*PRIMARY*");
  i.fieldByName("CampiChiave").setAsString("OrderNo");
  i.fieldByName("Primario").setAsBoolean(true);
  i.fieldByName("Unico").setAsBoolean(true);
  i.post();
  i.insert();
  i.fieldByName("Nome").setAsString("ByCustomer");
  i.fieldByName("CampiChiave").setAsString("Customer;Placed");
  i.fieldByName("IgnoraMaiuscMinusc").setAsBoolean(true);
  i.post();
  dm.tblFields.first();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  test::TempDir dir;
  std::ofstream(dir.file("aliases.conf")) << "";
  dictionary::CreateDictionaryTables(dir.path());
  engine::Session session(dir.file("aliases.conf"));
  test::ScriptedUi ui;
  dictionary::TdmDataDictionary dm(session, ui);
  dm.OpenDictionary(dir.path());
  Fill(dm);
  for (auto [field, label] : {std::pair{"Posizione", "Pos."},
                              {"Nome", "Name"},
                              {"Tipo", "Type"},
                              {"Lunghezza", "Len"},
                              {"Obbligatorio", "Obbl."},
                              {"ValoreMinimo", "Min"},
                              {"ValoreMassimo", "Max"},
                              {"ValoreDefault", "Default"},
                              {"Descrizione", "Description"}}) {
    dm.tblFields.setDisplayLabel(field, label);
  }
  for (auto [field, label] : {std::pair{"Nome", "Name"},
                              {"Primario", "Primary"},
                              {"Unico", "Unique"},
                              {"Discendente", "Desc."},
                              {"IgnoraMaiuscMinusc", "No UPPER/lower"},
                              {"CampiChiave", "Key fields"}}) {
    dm.tblIndex.setDisplayLabel(field, label);
  }
  QStringList types;
  for (const char* name :
       {"String", "Smallint", "Integer", "AutoInc", "Word", "Boolean", "Float", "Currency", "BCD",
        "Date", "Time", "DateTime", "Bytes", "VarBytes", "Blob", "Memo", "Graphic"}) {
    types << name;
  }
  widgets::DatasetTableModel fields(
      dm.tblFields, {{.field = "Posizione", .width = 4},
                     {.field = "Nome", .width = 28},
                     {.field = "Tipo",
                      .width = 8,
                      .alignment = Qt::AlignCenter,
                      .kind = CellKind::kPickList,
                      .pick_list = types},
                     {.field = "Lunghezza", .width = 5},
                     {.field = "Obbligatorio", .width = 5, .kind = CellKind::kCheckBox},
                     {.field = "ValoreMinimo", .width = 14},
                     {.field = "ValoreMassimo", .width = 14},
                     {.field = "ValoreDefault", .width = 14},
                     {.field = "Descrizione", .width = 50, .kind = CellKind::kMemo},
                     {.field = "CodTabella", .width = 5, .visible = false}});
  widgets::DatasetTableModel indexes(
      dm.tblIndex, {{.field = "Nome", .width = 23},
                    {.field = "Primario", .width = 8, .kind = CellKind::kCheckBox},
                    {.field = "Unico", .width = 5, .kind = CellKind::kCheckBox},
                    {.field = "Discendente", .width = 5, .kind = CellKind::kCheckBox},
                    {.field = "IgnoraMaiuscMinusc", .width = 5, .kind = CellKind::kCheckBox},
                    {.field = "CampiChiave", .width = 60}});

  QWidget window;
  window.setWindowTitle("Data-aware components");
  auto* header = new QHBoxLayout;
  auto* form = new QFormLayout;
  auto bind = [&](const char* field) {
    auto* edit = new widgets::FieldEdit;
    edit->bind(&dm.tblTables, field);
    return edit;
  };
  form->addRow("Alias", bind("Alias"));
  form->addRow("Name", bind("Nome"));
  auto* dates = new QHBoxLayout;
  dates->addWidget(bind("DataInserimento"));
  dates->addWidget(bind("DataUltimaModifica"));
  form->addRow("Insert / Modified", dates);
  auto* navigator = new widgets::DatasetNavigator(ui);
  navigator->setDataset(&dm.tblTables);
  form->addRow(navigator);
  header->addLayout(form);
  auto* memo = new widgets::FieldMemo;
  memo->bind(&dm.tblTables, "Descrizione");
  header->addWidget(memo);
  auto* fields_grid = new widgets::DatasetGrid;
  fields_grid->setDatasetModel(&fields);
  auto* index_grid = new widgets::DatasetGrid;
  index_grid->setDatasetModel(&indexes);
  index_grid->setMaximumHeight(120);
  auto* layout = new QVBoxLayout(&window);
  layout->addLayout(header);
  layout->addWidget(fields_grid, 1);
  layout->addWidget(index_grid);
  window.resize(1100, 520);
  window.show();
  if (argc < 2) return app.exec();
  QTimer::singleShot(300, [&] {
    const bool saved = window.grab().save(QString::fromLocal8Bit(argv[1]));
    if (!saved) std::cerr << "could not write " << argv[1] << "\n";
    app.exit(saved ? 0 : 1);
  });
  return app.exec();
}
