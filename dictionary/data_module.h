// The data module: the connection to the open dictionary and the three
// dictionary views the whole program works through, with the rules that keep
// them consistent (table code and position of new field rows, cascade
// delete, mandatory alias and name, date of last modification).
//
// It owns the database "DataDict" (a directory database whose PATH is the
// project directory) and the views tblTables, tblFields and tblIndex for the
// whole run; tblFields and tblIndex are details of tblTables.
#pragma once

#include <memory>
#include <string>

#include "dictionary/ui.h"
#include "engine/dataset.h"
#include "engine/session.h"

namespace vellum::dictionary {

// A data source: what the data-aware widgets bind to.
struct DataSource {
  engine::Dataset* dataset = nullptr;
};

class TdmDataDictionary {
 public:
  // Creates the module: connects DataDict with PATH "." and runs the start
  // rule, which (without command-line arguments) asks for the project
  // directory through `ui` and opens the dictionary there, or asks the
  // application to terminate when the user cancels.
  TdmDataDictionary(engine::Session& session, Ui& ui, bool has_command_line_arguments);
  ~TdmDataDictionary();

  // Points DataDict at `directory` and opens tblTables, tblFields, tblIndex.
  void OpenDictionary(const std::string& directory);
  // The current project directory (DataDict's PATH).
  std::string projectDirectory() const { return DBDataDict.param("PATH"); }

  // Many rows in a row (a load): from BeginBatch to the matching EndBatch
  // the three tables keep their changes in memory, where the views and the
  // rules see them as usual, and EndBatch writes them all and syncs the
  // files together. Batches nest; only the outermost EndBatch writes.
  void BeginBatch();
  void EndBatch();

  engine::Session& session() { return session_; }
  Ui& ui() { return ui_; }

  engine::Database& DBDataDict;
  engine::Dataset tblTables;
  engine::Dataset tblFields;
  engine::Dataset tblIndex;
  DataSource dsTables{&tblTables};
  DataSource dsFields{&tblFields};
  DataSource dsIndex{&tblIndex};

 private:
  void dmDataDictionaryCreate(bool has_command_line_arguments);
  void tblTablesBeforePost(engine::Dataset& dataset);
  void tblTablesBeforeDelete(engine::Dataset& dataset);
  void tblFieldsNewRecord(engine::Dataset& dataset);
  void tblFieldsAfterPost(engine::Dataset& dataset);
  void tblIndexAfterPost(engine::Dataset& dataset);

  engine::Session& session_;
  Ui& ui_;
  int batch_depth_ = 0;
};

// A batch of the data module for the life of a scope. commit() ends it and
// reports a failure to write; a scope left by an exception ends it quietly
// (the tables then write their changes when they close).
class DictionaryBatch {
 public:
  explicit DictionaryBatch(TdmDataDictionary& module) : module_(module) { module_.BeginBatch(); }
  ~DictionaryBatch() {
    if (open_) {
      try {
        module_.EndBatch();
      } catch (...) {
      }
    }
  }
  DictionaryBatch(const DictionaryBatch&) = delete;
  DictionaryBatch& operator=(const DictionaryBatch&) = delete;
  void commit() {
    open_ = false;
    module_.EndBatch();
  }

 private:
  TdmDataDictionary& module_;
  bool open_ = true;
};

}  // namespace vellum::dictionary
