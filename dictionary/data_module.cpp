#include "dictionary/data_module.h"

#include <exception>
#include <vector>

#include "dictionary/locale_helper.h"
#include "dictionary/schema.h"
#include "engine/errors.h"

namespace vellum::dictionary {

using engine::Dataset;
using engine::Value;

TdmDataDictionary::TdmDataDictionary(engine::Session& session, Questions& questions)
    : DBDataDict(session.addDatabase("DataDict", "STANDARD")),
      tblTables(session),
      tblFields(session),
      tblIndex(session),
      tblProps(session),
      session_(session),
      questions_(questions) {
  DBDataDict.disconnect();
  DBDataDict.setParam("PATH", ".");
  DBDataDict.connect(session.fs());

  tblTables.setDatabaseName("DataDict");
  tblTables.setTableName(kTablesTable);
  tblTables.setIndexFieldNames("Alias;Nome");
  tblFields.setDatabaseName("DataDict");
  tblFields.setTableName(kFieldsTable);
  tblFields.setIndexFieldNames("CodTabella");
  tblFields.setMaster(&tblTables, "Codice", "CodTabella");
  tblIndex.setDatabaseName("DataDict");
  tblIndex.setTableName(kIndexTable);
  tblIndex.setIndexFieldNames("CodTabella");
  tblIndex.setMaster(&tblTables, "Codice", "CodTabella");
  tblProps.setDatabaseName("DataDict");
  tblProps.setTableName(kPropertiesTable);
  tblProps.setIndexFieldNames("CodTabella");
  tblProps.setMaster(&tblTables, "Codice", "CodTabella");

  tblTables.beforePost = [this](Dataset& d) { tblTablesBeforePost(d); };
  tblTables.beforeDelete = [this](Dataset& d) { tblTablesBeforeDelete(d); };
  tblFields.onNewRecord = [this](Dataset& d) { tblFieldsNewRecord(d); };
  tblFields.afterPost = [this](Dataset& d) { tblFieldsAfterPost(d); };
  tblIndex.afterPost = [this](Dataset& d) { tblIndexAfterPost(d); };
}

TdmDataDictionary::TdmDataDictionary(engine::Session& session, Questions& questions,
                                     const Startup& startup)
    : TdmDataDictionary(session, questions) {
  dmDataDictionaryCreate(startup);
}

namespace {

// Points `cursor` at the table of `view`, in the same order.
void LikeView(Dataset& cursor, const Dataset& view) {
  cursor.setDatabaseName(view.databaseName());
  cursor.setTableName(view.tableName());
  cursor.setIndexFieldNames(view.indexFieldNames());
}

}  // namespace

std::unique_ptr<TdmDataDictionary::ReadingCursors> TdmDataDictionary::OpenReadingCursors() {
  auto cursors = std::make_unique<ReadingCursors>(session_);
  LikeView(cursors->tables, tblTables);
  LikeView(cursors->fields, tblFields);
  LikeView(cursors->indexes, tblIndex);
  cursors->fields.setMaster(&cursors->tables, "Codice", "CodTabella");
  cursors->indexes.setMaster(&cursors->tables, "Codice", "CodTabella");
  // Opened for writing like the views, so that they share the views' table
  // handles and see every row the views see at once.
  cursors->tables.open();
  cursors->fields.open();
  cursors->indexes.open();
  return cursors;
}

TdmDataDictionary::~TdmDataDictionary() {
  tblProps.close();
  tblIndex.close();
  tblFields.close();
  tblTables.close();
}

void TdmDataDictionary::dmDataDictionaryCreate(const Startup& startup) {
  if (startup.has_command_line_arguments) return;  // batch mode opens the dictionary itself
  std::optional<std::string> directory;
  if (startup.choose_project_directory) directory = startup.choose_project_directory();
  if (directory) {
    OpenDictionary(*directory);
  } else if (startup.terminate) {
    startup.terminate();
  }
}

void TdmDataDictionary::BeginBatch() {
  // Each table's change lock is taken here and held to the end of the
  // batch, always in this order, so that two programs starting batches at
  // once never wait for each other in a circle.
  std::vector<Dataset*> begun;
  try {
    for (Dataset* view : {&tblTables, &tblFields, &tblIndex, &tblProps}) {
      if (!view->active()) continue;
      view->table().beginBulk();
      begun.push_back(view);
    }
  } catch (...) {
    for (auto it = begun.rbegin(); it != begun.rend(); ++it) {
      try {
        (*it)->table().endBulk();
      } catch (...) {
        // The first failure is the one reported.
      }
    }
    throw;
  }
  ++batch_depth_;
}

void TdmDataDictionary::EndBatch() {
  if (batch_depth_ == 0) return;
  --batch_depth_;
  // Every table ends its part even when another fails to write: none may
  // keep its lock. The first failure is reported.
  std::vector<engine::paradox::Table*> tables;
  std::exception_ptr failure;
  for (Dataset* view : {&tblTables, &tblFields, &tblIndex, &tblProps}) {
    if (!view->active() || !view->table().inBulk()) continue;
    try {
      view->table().endBulk();
      tables.push_back(&view->table());
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  if (batch_depth_ == 0) engine::paradox::Table::FlushAll(tables);
}

void TdmDataDictionary::OpenDictionary(const std::string& directory, Access access) {
  runs_.checkIdle();
  tblProps.close();
  tblIndex.close();
  tblFields.close();
  tblTables.close();
  DBDataDict.disconnect();
  DBDataDict.setParam("PATH", directory);
  DBDataDict.connect(session_.fs());
  for (Dataset* view : {&tblTables, &tblFields, &tblIndex, &tblProps}) {
    view->setReadOnly(access == Access::kReadOnly);
  }
  tblTables.open();
  tblFields.open();
  tblIndex.open();
  bool has_properties = false;
  engine::ResolveCaseInsensitive(session_.fs(), directory, kPropertiesTable, &has_properties);
  if (has_properties) tblProps.open();
}

bool TdmDataDictionary::writable() {
  for (Dataset* view : {&tblTables, &tblFields, &tblIndex, &tblProps}) {
    if (view->active() && !view->table().writable()) return false;
  }
  return tblTables.active() &&
         (tblProps.active() || session_.fs().canWriteDirectory(projectDirectory()));
}

void TdmDataDictionary::CheckWritable() {
  if (writable()) return;
  throw Error("The data dictionary in \"" + projectDirectory() +
              "\" cannot be changed: its directory or its tables may only be read");
}

void TdmDataDictionary::EnsurePropertiesTable() {
  if (tblProps.active()) return;
  // The code page comes from the open DDTables: a batch may hold its lock.
  CreatePropertiesTable(projectDirectory(), session_.fs(), codePage());
  tblProps.open();
  // Rows written in a batch reach the disk with the other tables'.
  for (int depth = 0; depth < batch_depth_; ++depth) tblProps.table().beginBulk();
}

int TdmDataDictionary::codePage() { return tblTables.table().structure().code_page; }

void TdmDataDictionary::tblTablesBeforePost(Dataset& d) {
  if (d.fieldByName("Alias").asString().empty() || d.fieldByName("Nome").asString().empty()) {
    questions_.ask(MessageKind::kPlain, "The alias and the table name cannot be null!",
                   Buttons::kOk);
    throw engine::Abort{};
  }
}

void TdmDataDictionary::tblTablesBeforeDelete(Dataset&) {
  while (!tblFields.eof()) tblFields.remove();
  while (!tblIndex.eof()) tblIndex.remove();
  if (tblProps.active()) {
    while (!tblProps.eof()) tblProps.remove();
  }
}

void TdmDataDictionary::tblFieldsNewRecord(Dataset& d) {
  const Value code = tblTables.fieldByName("Codice").value();
  // After the highest position this table has: after a deletion the count
  // of its rows is a position still taken. On the primary key (CodTabella,
  // Posizione) that is the last row of the code, found by a key search.
  const size_t position = d.fieldByName("Posizione").index();
  int64_t highest = 0;
  if (std::holds_alternative<int64_t>(code)) {
    engine::paradox::Table& table = tblFields.table();
    const uint32_t begin = table.lowerBound({code});
    const uint32_t end = table.upperBound({code});
    if (end > begin) {
      const engine::Row last = table.read(end - 1);
      if (const auto* p = std::get_if<int64_t>(&last.at(position))) highest = *p;
    }
  } else {
    Dataset temp(session_);
    temp.setDatabaseName(tblFields.databaseName());
    temp.setTableName(tblFields.tableName());
    temp.open();
    temp.setRange({code}, {code});
    if (!temp.isEmpty()) {
      temp.last();
      const Value last = temp.fieldByName("Posizione").value();
      if (const auto* p = std::get_if<int64_t>(&last)) highest = *p;
    }
  }
  d.fieldByName("Posizione").setAsInteger(highest + 1);
  d.fieldByName("CodTabella").setValue(code);
}

void TdmDataDictionary::tblFieldsAfterPost(Dataset&) {
  const engine::Date today = Locale::Today();
  auto& inserted = tblTables.fieldByName("DataInserimento");
  auto& modified = tblTables.fieldByName("DataUltimaModifica");
  if (!inserted.isNull() && inserted.asDate() == today) return;
  if (!modified.isNull() && modified.asDate() == today) return;
  tblTables.edit();
  tblTables.fieldByName("DataUltimaModifica").setAsDate(today);
  tblTables.post();
}

void TdmDataDictionary::tblIndexAfterPost(Dataset& d) { tblFieldsAfterPost(d); }

}  // namespace vellum::dictionary
