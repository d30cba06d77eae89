#include "dictionary/data_module.h"

#include <gtest/gtest.h>

extern "C" {
#include <paradox.h>
}

#include <random>

#include "dictionary/locale_helper.h"
#include "dictionary/schema.h"
#include "engine/errors.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::dictionary {
namespace {

using engine::DatasetState;
using engine::Date;
using engine::DateFromYmd;
using engine::EDBEngineError;
using engine::ErrorCategory;
using engine::FieldType;
using engine::paradox::Table;

// A start-up that chooses `directory` in the project directory dialog.
Startup StartupChoosing(const std::string& directory) {
  Startup startup;
  startup.choose_project_directory = [directory] { return std::optional<std::string>(directory); };
  return startup;
}

struct ColumnSpec {
  const char* name;
  FieldType type;
  int size;
};

void ExpectColumns(const std::string& dir, const char* table, std::vector<ColumnSpec> expected) {
  auto t = Table::Open(dir, table);
  const auto& fields = t->structure().fields;
  ASSERT_EQ(fields.size(), expected.size()) << table;
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(fields[i].name, expected[i].name) << table;
    EXPECT_EQ(fields[i].type, expected[i].type) << table << "." << fields[i].name;
    EXPECT_EQ(fields[i].size, expected[i].size) << table << "." << fields[i].name;
    EXPECT_FALSE(fields[i].required);
  }
  EXPECT_EQ(t->recordCount(), 0u);
}

TEST(DictionarySchemaTest, CreatesTheThreeTablesWithTheirColumnsAndIndexes) {
  test::TempDir dir;
  EXPECT_FALSE(IsProjectDirectory(dir.path()));
  CreateDictionaryTables(dir.path());
  EXPECT_TRUE(IsProjectDirectory(dir.path()));
  ExpectColumns(dir.path(), kTablesTable,
                {{"Codice", FieldType::kAutoInc, 0},
                 {"Alias", FieldType::kString, 50},
                 {"Nome", FieldType::kString, 50},
                 {"DataInserimento", FieldType::kDate, 0},
                 {"DataUltimaModifica", FieldType::kDate, 0},
                 {"Password", FieldType::kString, 20},
                 {"Descrizione", FieldType::kMemo, 50}});
  ExpectColumns(dir.path(), kFieldsTable,
                {{"CodTabella", FieldType::kInteger, 0},
                 {"Posizione", FieldType::kSmallint, 0},
                 {"Nome", FieldType::kString, 50},
                 {"Tipo", FieldType::kString, 8},
                 {"Lunghezza", FieldType::kSmallint, 0},
                 {"ValoreMinimo", FieldType::kString, 20},
                 {"ValoreMassimo", FieldType::kString, 20},
                 {"ValoreDefault", FieldType::kString, 20},
                 {"Obbligatorio", FieldType::kBoolean, 0},
                 {"Descrizione", FieldType::kMemo, 50}});
  ExpectColumns(dir.path(), kIndexTable,
                {{"CodTabella", FieldType::kInteger, 0},
                 {"Nome", FieldType::kString, 50},
                 {"CampiChiave", FieldType::kString, 255},
                 {"Descrizione", FieldType::kMemo, 50},
                 {"Primario", FieldType::kBoolean, 0},
                 {"Unico", FieldType::kBoolean, 0},
                 {"Discendente", FieldType::kBoolean, 0},
                 {"IgnoraMaiuscMinusc", FieldType::kBoolean, 0}});

  auto tables = Table::Open(dir.path(), kTablesTable);
  const auto& ix = tables->structure().indexes;
  ASSERT_EQ(ix.size(), 3u);
  EXPECT_TRUE(ix[0].primary);
  EXPECT_EQ(ix[0].key_fields, std::vector<std::string>{"Codice"});
  EXPECT_EQ(ix[1].name, "PerNome");
  EXPECT_EQ(ix[1].key_fields, (std::vector<std::string>{"Alias", "Nome"}));
  EXPECT_TRUE(ix[1].unique && ix[1].case_insensitive && !ix[1].descending);
  EXPECT_EQ(ix[2].name, "PerTabella");
  EXPECT_TRUE(!ix[2].unique && ix[2].case_insensitive);
  EXPECT_EQ(tables->structure().level, "7");  // raised for the unique index
  auto index = Table::Open(dir.path(), kIndexTable);
  EXPECT_EQ(index->structure().indexes.size(), 1u);
  EXPECT_EQ(index->structure().indexes[0].key_fields,
            (std::vector<std::string>{"CodTabella", "Nome"}));
}

TEST(DictionarySchemaTest, PxlibReadsTheDictionaryTables) {
  test::TempDir dir;
  CreateDictionaryTables(dir.path());
  struct Expect {
    const char* file;
    std::vector<std::pair<const char*, std::pair<char, int>>> fields;
  };
  std::vector<Expect> all = {{"DDTables.DB",
                              {{"Codice", {pxfAutoInc, 4}},
                               {"Alias", {pxfAlpha, 50}},
                               {"Nome", {pxfAlpha, 50}},
                               {"DataInserimento", {pxfDate, 4}},
                               {"DataUltimaModifica", {pxfDate, 4}},
                               {"Password", {pxfAlpha, 20}},
                               {"Descrizione", {pxfMemoBLOb, 60}}}},
                             {"DDFields.DB",
                              {{"CodTabella", {pxfLong, 4}},
                               {"Posizione", {pxfShort, 2}},
                               {"Nome", {pxfAlpha, 50}},
                               {"Tipo", {pxfAlpha, 8}},
                               {"Lunghezza", {pxfShort, 2}},
                               {"ValoreMinimo", {pxfAlpha, 20}},
                               {"ValoreMassimo", {pxfAlpha, 20}},
                               {"ValoreDefault", {pxfAlpha, 20}},
                               {"Obbligatorio", {pxfLogical, 1}},
                               {"Descrizione", {pxfMemoBLOb, 60}}}},
                             {"DDIndex.DB",
                              {{"CodTabella", {pxfLong, 4}},
                               {"Nome", {pxfAlpha, 50}},
                               {"CampiChiave", {pxfAlpha, 255}},
                               {"Descrizione", {pxfMemoBLOb, 60}},
                               {"Primario", {pxfLogical, 1}},
                               {"Unico", {pxfLogical, 1}},
                               {"Discendente", {pxfLogical, 1}},
                               {"IgnoraMaiuscMinusc", {pxfLogical, 1}}}}};
  for (const auto& e : all) {
    pxdoc_t* doc = PX_new();
    ASSERT_EQ(PX_open_file(doc, dir.file(e.file).c_str()), 0) << e.file;
    ASSERT_EQ(PX_get_num_fields(doc), static_cast<int>(e.fields.size())) << e.file;
    EXPECT_EQ(PX_get_num_records(doc), 0);
    for (size_t i = 0; i < e.fields.size(); ++i) {
      pxfield_t* f = PX_get_field(doc, static_cast<int>(i));
      ASSERT_NE(f, nullptr);
      EXPECT_STREQ(f->px_fname, e.fields[i].first);
      EXPECT_EQ(f->px_ftype, e.fields[i].second.first) << e.file << " " << f->px_fname;
      EXPECT_EQ(f->px_flen, e.fields[i].second.second) << e.file << " " << f->px_fname;
    }
    PX_close(doc);
    PX_delete(doc);
  }
}

TEST(DictionarySchemaTest, RecreatingReplacesLeftoverTables) {
  test::TempDir dir;
  CreateDictionaryTables(dir.path());
  {
    auto t = Table::Open(dir.path(), kIndexTable, {true, false});
    t->insert({int64_t{1}, std::string("X"), {}, {}, {}, {}, {}, {}});
  }
  std::remove(dir.file("DDTables.DB").c_str());
  EXPECT_FALSE(IsProjectDirectory(dir.path()));
  CreateDictionaryTables(dir.path());
  EXPECT_EQ(Table::Open(dir.path(), kIndexTable)->recordCount(), 0u);
}

class DataModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDictionaryTables(dir_.path());
    Locale::SetTodayForTesting(DateFromYmd(2026, 3, 10));
    dm_ = std::make_unique<TdmDataDictionary>(session_, ui_, StartupChoosing(dir_.path()));
  }
  void TearDown() override { Locale::SetTodayForTesting(std::nullopt); }

  void AddTable(const std::string& alias, const std::string& name,
                std::optional<Date> inserted = std::nullopt) {
    auto& t = dm_->tblTables;
    t.insert();
    t.fieldByName("Alias").setAsString(alias);
    t.fieldByName("Nome").setAsString(name);
    if (inserted) t.fieldByName("DataInserimento").setAsDate(*inserted);
    t.post();
  }
  void AddField(const std::string& name) {
    auto& f = dm_->tblFields;
    f.insert();
    f.fieldByName("Nome").setAsString(name);
    f.fieldByName("Tipo").setAsString("String");
    f.post();
  }
  void AddIndex(const std::string& name) {
    auto& x = dm_->tblIndex;
    x.insert();
    x.fieldByName("Nome").setAsString(name);
    x.post();
  }

  test::TempDir dir_;
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<TdmDataDictionary> dm_;
};

TEST_F(DataModuleTest, StartAsksForTheDirectoryUnlessThereAreArguments) {
  EXPECT_EQ(dm_->projectDirectory(), dir_.path());
  EXPECT_TRUE(dm_->tblTables.active() && dm_->tblFields.active() && dm_->tblIndex.active());

  // Each case: the answer of the directory dialog, and whether the program
  // was started with arguments.
  struct Case {
    const char* name;
    bool has_arguments;
    bool chooses;
    int dialogs_shown;
    bool terminated;
    bool opened;
  };
  const Case cases[] = {
      {"with arguments no dialog is shown", true, true, 0, false, false},
      {"a cancelled dialog ends the program", false, false, 1, true, false},
      {"a chosen directory is opened", false, true, 1, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int dialogs = 0;
    bool terminated = false;
    Startup startup;
    startup.has_command_line_arguments = c.has_arguments;
    startup.choose_project_directory = [&]() -> std::optional<std::string> {
      ++dialogs;
      if (!c.chooses) return std::nullopt;
      return dir_.path();
    };
    startup.terminate = [&] { terminated = true; };
    engine::Session session(dir_.file("aliases.conf"));
    test::ScriptedUi ui;
    TdmDataDictionary module(session, ui, startup);
    EXPECT_EQ(dialogs, c.dialogs_shown);
    EXPECT_EQ(terminated, c.terminated);
    EXPECT_EQ(module.tblTables.active(), c.opened);
    EXPECT_EQ(module.projectDirectory(), c.opened ? dir_.path() : ".");
  }
}

TEST_F(DataModuleTest, TheDictionaryCannotBeSwitchedWhileARunHoldsIt) {
  {
    RunGuard::Scope load(dm_->runs(), "Load");
    EXPECT_TRUE(dm_->runs().running());
    EXPECT_THROW(RunGuard::Scope second(dm_->runs(), "Rebuild"), Error);
    EXPECT_THROW(dm_->OpenDictionary(dir_.path()), Error);
    EXPECT_EQ(dm_->runs().current(), "Load");
    EXPECT_TRUE(dm_->tblTables.active());
  }
  EXPECT_FALSE(dm_->runs().running());
  EXPECT_NO_THROW(dm_->OpenDictionary(dir_.path()));
  EXPECT_NO_THROW(RunGuard::Scope next(dm_->runs(), "Rebuild"));
}

TEST_F(DataModuleTest, NewFieldRowsTakeTheNextPositionAndTheTableCode) {
  AddTable("DB", "FIRST");
  AddTable("DB", "SECOND");
  dm_->tblTables.findKey({std::string("DB"), std::string("SECOND")});
  const int64_t code = dm_->tblTables.fieldByName("Codice").asInteger();
  AddField("A");
  AddField("B");
  AddField("C");
  dm_->tblFields.insert();
  EXPECT_EQ(dm_->tblFields.fieldByName("Posizione").asInteger(), 4);
  EXPECT_EQ(dm_->tblFields.fieldByName("CodTabella").asInteger(), code);
  dm_->tblFields.cancel();

  // After a deletion the count of rows is a position still taken: a new
  // row goes after the highest one, and posts.
  dm_->tblFields.first();
  dm_->tblFields.next();
  EXPECT_EQ(dm_->tblFields.fieldByName("Nome").asString(), "B");
  dm_->tblFields.remove();
  dm_->tblFields.insert();
  EXPECT_EQ(dm_->tblFields.fieldByName("Posizione").asInteger(), 4);
  dm_->tblFields.fieldByName("Nome").setAsString("D");
  EXPECT_NO_THROW(dm_->tblFields.post());
  EXPECT_EQ(dm_->tblFields.recordCount(), 3u);
  // The last row deleted: its position is free again.
  dm_->tblFields.last();
  dm_->tblFields.remove();
  dm_->tblFields.insert();
  EXPECT_EQ(dm_->tblFields.fieldByName("Posizione").asInteger(), 4);
  dm_->tblFields.cancel();
  // The other table's rows are not counted: it has none yet.
  dm_->tblTables.findKey({std::string("DB"), std::string("FIRST")});
  dm_->tblFields.insert();
  EXPECT_EQ(dm_->tblFields.fieldByName("Posizione").asInteger(), 1);
  dm_->tblFields.cancel();
}

TEST_F(DataModuleTest, NewFieldPositionCountsRowsPostedThroughAnotherView) {
  AddTable("DB", "ONLY");
  AddField("A");
  AddField("B");
  const int64_t code = dm_->tblTables.fieldByName("Codice").asInteger();
  // Another view of DDFields adds a row for the same table behind the
  // module's back.
  engine::Dataset other(session_);
  other.setDatabaseName("DataDict");
  other.setTableName(kFieldsTable);
  other.open();
  other.insert();
  other.fieldByName("CodTabella").setAsInteger(code);
  other.fieldByName("Posizione").setAsInteger(3);
  other.fieldByName("Nome").setAsString("C");
  other.post();
  dm_->tblFields.insert();
  EXPECT_EQ(dm_->tblFields.fieldByName("Posizione").asInteger(), 4);
  dm_->tblFields.fieldByName("Nome").setAsString("D");
  dm_->tblFields.post();
  EXPECT_EQ(dm_->tblFields.recordCount(), 4u);
  dm_->tblFields.insert();
  EXPECT_EQ(dm_->tblFields.fieldByName("Posizione").asInteger(), 5);
  dm_->tblFields.cancel();
}

TEST_F(DataModuleTest, EmptyAliasOrNameIsRefusedWithItsMessage) {
  auto& t = dm_->tblTables;
  t.insert();
  t.fieldByName("Alias").setAsString("DB");
  t.post();
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, "The alias and the table name cannot be null!");
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kPlain);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kOk);
  EXPECT_EQ(t.state(), DatasetState::kInsert);
  EXPECT_EQ(t.fieldByName("Alias").asString(), "DB");
  t.fieldByName("Nome").setAsString(" ");  // blanks are not empty
  t.post();
  EXPECT_EQ(t.state(), DatasetState::kBrowse);
  EXPECT_EQ(ui_.shown.size(), 1u);
}

TEST_F(DataModuleTest, AliasAndNameAreUniqueWithoutRegardToCase) {
  AddTable("Sales", "Orders");
  AddTable("Other", "Orders");
  auto& t = dm_->tblTables;
  t.insert();
  t.fieldByName("Alias").setAsString("SALES");
  t.fieldByName("Nome").setAsString("orders");
  EXPECT_THROW(t.post(), EDBEngineError);
  t.cancel();
  EXPECT_EQ(t.recordCount(), 2u);
  EXPECT_TRUE(t.findKey({std::string("sales"), std::string("ORDERS")}));
  EXPECT_EQ(t.fieldByName("Alias").asString(), "Sales");
}

TEST_F(DataModuleTest, DeletingATableDeletesItsRowsAndNoOthers) {
  AddTable("DB", "KEEP");
  AddField("K1");
  AddField("K2");
  AddIndex("*PRIMARY*");
  AddTable("DB", "DROP");
  AddField("D1");
  AddField("D2");
  AddField("D3");
  AddIndex("*PRIMARY*");
  AddIndex("ByName");
  dm_->tblTables.findKey({std::string("DB"), std::string("DROP")});
  dm_->tblTables.remove();
  EXPECT_EQ(Table::Open(dir_.path(), kFieldsTable)->recordCount(), 2u);
  EXPECT_EQ(Table::Open(dir_.path(), kIndexTable)->recordCount(), 1u);
  EXPECT_EQ(dm_->tblTables.recordCount(), 1u);
  EXPECT_EQ(dm_->tblTables.fieldByName("Nome").asString(), "KEEP");
  EXPECT_EQ(dm_->tblFields.recordCount(), 2u);
  EXPECT_EQ(dm_->tblFields.fieldByName("Nome").asString(), "K1");
}

TEST_F(DataModuleTest, ModificationDateIsStampedOnceADayAndNeverOnTheInsertionDay) {
  const Date day1 = DateFromYmd(2026, 3, 10);
  AddTable("DB", "T", day1);
  AddField("A");
  EXPECT_TRUE(dm_->tblTables.fieldByName("DataUltimaModifica").isNull());

  const Date day2 = DateFromYmd(2026, 3, 11);
  Locale::SetTodayForTesting(day2);
  int table_posts = 0;
  dm_->tblTables.afterPost = [&](engine::Dataset&) { ++table_posts; };
  dm_->tblFields.first();
  dm_->tblFields.edit();
  dm_->tblFields.fieldByName("Descrizione").setAsString("described");
  dm_->tblFields.post();
  EXPECT_EQ(table_posts, 1);
  EXPECT_EQ(dm_->tblTables.fieldByName("DataUltimaModifica").asDate(), day2);
  AddIndex("X");  // second change the same day
  EXPECT_EQ(table_posts, 1);
  EXPECT_EQ(dm_->tblTables.fieldByName("DataInserimento").asDate(), day1);
}

TEST_F(DataModuleTest, ManyRandomChangesKeepEveryFileConsistent) {
  std::mt19937 rng(7);
  for (int t = 0; t < 40; ++t) {
    AddTable(rng() % 2 ? "ALPHA" : "beta", "T" + std::to_string(t));
    int nfields = static_cast<int>(rng() % 12) + 1;
    for (int f = 0; f < nfields; ++f) AddField("F" + std::to_string(f));
    for (int i = 0; i < 3; ++i) AddIndex("I" + std::to_string(rng() % 5) + "_" + std::to_string(i));
  }
  for (int step = 0; step < 200; ++step) {
    auto& tables = dm_->tblTables;
    tables.first();
    uint32_t n = tables.recordCount();
    if (n == 0) break;
    for (uint32_t k = rng() % n; k > 0; --k) tables.next();
    switch (rng() % 4) {
      case 0:
        tables.remove();
        break;
      case 1:
        if (!dm_->tblFields.isEmpty()) {
          dm_->tblFields.last();
          dm_->tblFields.edit();
          dm_->tblFields.fieldByName("Descrizione").setAsString(std::string(rng() % 300, 'd'));
          dm_->tblFields.post();
        }
        break;
      case 2:
        AddField("N" + std::to_string(step));
        break;
      default:
        if (!dm_->tblIndex.isEmpty()) dm_->tblIndex.remove();
    }
  }
  for (const char* name : {kTablesTable, kFieldsTable, kIndexTable}) {
    auto problems = Table::Open(dir_.path(), name)->verify();
    for (const auto& p : problems) ADD_FAILURE() << name << ": " << p;
  }
}

TEST_F(DataModuleTest, ABatchRunsEveryRuleAndWritesAllRowsAtItsEnd) {
  // Enough field rows that the block cache fills during the batch.
  constexpr int kTables = 60;
  constexpr int kFields = 50;
  {
    DictionaryBatch batch(*dm_);
    for (int t = 0; t < kTables; ++t) {
      AddTable("DB", "T" + std::to_string(t));
      for (int f = 0; f < kFields; ++f) AddField("F" + std::to_string(f));
      AddIndex("I");
    }
    // The views follow their master inside the batch: positions 1..50.
    ASSERT_TRUE(dm_->tblTables.findKey({std::string("db"), std::string("t7")}));
    EXPECT_EQ(dm_->tblFields.recordCount(), static_cast<uint32_t>(kFields));
    dm_->tblFields.last();
    EXPECT_EQ(dm_->tblFields.fieldByName("Posizione").asInteger(), kFields);
    // The unique alias and name, without regard to case, hold in the batch.
    dm_->tblTables.insert();
    dm_->tblTables.fieldByName("Alias").setAsString("db");
    dm_->tblTables.fieldByName("Nome").setAsString("t3");
    EXPECT_THROW(dm_->tblTables.post(), EDBEngineError);
    dm_->tblTables.cancel();
    // Cascade delete of one table.
    ASSERT_TRUE(dm_->tblTables.findKey({std::string("DB"), std::string("T9")}));
    dm_->tblTables.remove();
    batch.commit();
  }
  // Everything is in the files themselves, as another program reads them.
  const std::vector<std::pair<std::string, int>> expected = {
      {"DDTables.DB", kTables - 1},
      {"DDFields.DB", (kTables - 1) * kFields},
      {"DDIndex.DB", kTables - 1}};
  for (const auto& [file, rows] : expected) {
    pxdoc_t* doc = PX_new();
    ASSERT_EQ(PX_open_file(doc, dir_.file(file).c_str()), 0) << file;
    EXPECT_EQ(PX_get_num_records(doc), rows) << file;
    PX_close(doc);
    PX_delete(doc);
  }
  for (const char* name : {kTablesTable, kFieldsTable, kIndexTable}) {
    auto problems = Table::Open(dir_.path(), name)->verify();
    for (const auto& p : problems) ADD_FAILURE() << name << ": " << p;
  }
}

}  // namespace
}  // namespace vellum::dictionary
