// The data module: the connection to the open dictionary and the three
// dictionary views the whole program works through, with the rules that keep
// them consistent (table code and position of new field rows, cascade
// delete, mandatory alias and name, date of last modification).
//
// It owns the database "DataDict" (a directory database whose PATH is the
// project directory) and the views tblTables, tblFields and tblIndex for the
// whole run; tblFields and tblIndex are details of tblTables. So is
// tblProps, the view of DDProps, which is open only when the dictionary has
// that table (EnsurePropertiesTable gives it one); deleting a table row
// deletes its DDProps rows as well. Its rules ask through the application's
// Questions, which must outlive it. Its RunGuard keeps long runs over the
// dictionary one at a time.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dictionary/run_guard.h"
#include "dictionary/ui.h"
#include "engine/dataset.h"
#include "engine/session.h"

namespace vellum::dictionary {

// A data source: what the data-aware widgets bind to.
struct DataSource {
  engine::Dataset* dataset = nullptr;
};

// What the start rule needs of the application, which owns the project
// directory dialog and the end of the program.
struct Startup {
  // Started with command-line arguments: the rule does nothing (batch mode
  // opens the dictionary itself).
  bool has_command_line_arguments = false;
  // Shows the project directory dialog; the directory chosen, or nullopt
  // when the dialog was cancelled. Missing counts as cancelled.
  std::function<std::optional<std::string>()> choose_project_directory;
  // Asks the application to end as soon as start-up is over.
  std::function<void()> terminate;
};

class TdmDataDictionary {
 public:
  // Creates the module without running the start rule (batch mode, the
  // command line): DataDict connected with PATH ".", the views closed until
  // OpenDictionary.
  TdmDataDictionary(engine::Session& session, Questions& questions);
  // Creates the module as above, then runs the start rule: unless started
  // with command-line arguments, asks the application for the project
  // directory and opens the dictionary there, or asks the application to
  // terminate when none was chosen.
  TdmDataDictionary(engine::Session& session, Questions& questions, const Startup& startup);
  ~TdmDataDictionary();

  // How a command opens the dictionary: for reading only (a listing, a
  // rebuild), or for reading and writing.
  enum class Access { kReadWrite, kReadOnly };

  // Points DataDict at `directory` and opens tblTables, tblFields, tblIndex,
  // and tblProps when the dictionary has DDProps. Refused (vellum::Error,
  // nothing changed) while a long run is on. With kReadOnly the views are
  // read-only and nothing in the dictionary needs write access; with
  // kReadWrite a dictionary this user may only read still opens, for
  // reading (writable() is then false).
  void OpenDictionary(const std::string& directory, Access access = Access::kReadWrite);
  // Whether the open dictionary can be changed: its views are open for
  // writing and its tables could be opened so, and, when it has no DDProps
  // yet (a load creates it), its directory can be written.
  bool writable();
  // Raises vellum::Error "The data dictionary in "<dir>" cannot be changed:
  // its directory or its tables may only be read" unless writable(); for
  // commands that write the dictionary, before they change anything.
  void CheckWritable();
  // Creates DDProps in the open dictionary when it has none (in the
  // dictionary's code page) and opens tblProps. Engine errors go to the caller.
  void EnsurePropertiesTable();
  // The code page of the open dictionary's tables: every name it stores must
  // fit it.
  int codePage();
  // The current project directory (DataDict's PATH).
  std::string projectDirectory() const { return DBDataDict.param("PATH"); }

  // Many rows in a row (a load): from BeginBatch to the matching EndBatch
  // the three tables keep their changes in memory, where the views and the
  // rules see them as usual, and EndBatch writes them all and syncs the
  // files together. Batches nest; only the outermost EndBatch writes.
  //
  // Other programs writing the dictionary: BeginBatch takes the change
  // lock of each table (waiting for another program's change to end, then
  // raising a lock conflict) and sees everything written before it; no
  // other program writes the three tables until EndBatch has written the
  // batch's rows. So a read-modify-write inside a batch (a load finding a
  // table's row, the position of a new field row) cannot lose another
  // program's work. Outside a batch every post and delete takes the lock
  // by itself.
  void BeginBatch();
  void EndBatch();

  engine::Session& session() { return session_; }
  Questions& questions() { return questions_; }
  // Held by every long run over the dictionary; see RunGuard.
  RunGuard& runs() { return runs_; }

  // Cursors of their own over the three dictionary tables, ordered and
  // linked as tblTables, tblFields and tblIndex are, for reading that must
  // not move what the user sees (the text listing, printing). They see
  // every posted row the views see; nothing is written through them. The
  // caller owns them; they need the dictionary open and must go before the
  // module does.
  struct ReadingCursors {
    explicit ReadingCursors(engine::Session& session)
        : tables(session), fields(session), indexes(session) {}
    engine::Dataset tables;
    engine::Dataset fields;
    engine::Dataset indexes;
  };
  std::unique_ptr<ReadingCursors> OpenReadingCursors();

  engine::Database& DBDataDict;
  engine::Dataset tblTables;
  engine::Dataset tblFields;
  engine::Dataset tblIndex;
  engine::Dataset tblProps;  // open only when the dictionary has DDProps
  DataSource dsTables{&tblTables};
  DataSource dsFields{&tblFields};
  DataSource dsIndex{&tblIndex};

 private:
  void dmDataDictionaryCreate(const Startup& startup);
  void tblTablesBeforePost(engine::Dataset& dataset);
  void tblTablesBeforeDelete(engine::Dataset& dataset);
  void tblFieldsNewRecord(engine::Dataset& dataset);
  void tblFieldsAfterPost(engine::Dataset& dataset);
  void tblIndexAfterPost(engine::Dataset& dataset);

  engine::Session& session_;
  Questions& questions_;
  RunGuard runs_;
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
