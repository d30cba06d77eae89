// The rebuild table chooser without its window: the alias, the tables of that
// alias and either an output directory (out-directory mode, for the rebuild)
// or the name of a file (file-name mode, for the text listing). It offers
// only aliases and tables that are in the dictionary.
//
// The dialog owns one RebuildChooser for the life of the program. Each
// showing starts with Activate, which reads the dictionary's aliases afresh
// and empties everything else; AliasChanged and DirectoryChanged follow the
// user's typing; the moves work on `lists`; okEnabled and the lists decide
// which buttons are enabled. Query1 and tblTables read the dictionary
// through the database "DataDict" of the session, which must outlive this.
// Engine errors while reading go to the caller.
#pragma once

#include <string>
#include <vector>

#include "dictionary/chooser_lists.h"
#include "engine/dataset.h"
#include "engine/query.h"
#include "engine/session.h"

namespace vellum::shell {

// What the user chose, read from the chooser after OK.
struct RebuildChoice {
  std::string alias;
  std::string output_directory;     // or the listing's file name
  std::vector<std::string> tables;  // in the chosen list's order
};

class RebuildChooser {
 public:
  enum class Mode {
    kOutDirectory,  // the edit box names an existing directory to rebuild into
    kFileName,      // the edit box names the file of the text listing
  };
  using Side = dictionary::ChooserLists::Side;

  explicit RebuildChooser(engine::Session& session);

  // A new showing in `mode`: reads the aliases of the dictionary (each once,
  // letter case aside, in alias order) and empties the alias text, the
  // directory and both lists.
  void Activate(Mode mode);

  // The alias text changed (typed or picked): the available list becomes the
  // dictionary's tables of that alias, the chosen list is emptied and, in
  // out-directory mode, the directory becomes the engine's directory of the
  // alias (empty when the engine knows no such alias; an alias file that
  // cannot be read raises its error, naming the file and the line). An empty text leaves
  // the available list empty and the directory as it was.
  void AliasChanged(const std::string& text);
  // The edit box's text changed.
  void DirectoryChanged(const std::string& text) { directory_ = text; }

  // OK can be pressed: at least one table is chosen and the edit box holds a
  // text that, in out-directory mode, names an existing directory.
  bool okEnabled() const;

  Mode mode() const { return mode_; }
  const std::vector<std::string>& aliases() const { return aliases_; }
  const std::string& alias() const { return alias_; }
  const std::string& directory() const { return directory_; }

  dictionary::ChooserLists lists;

  // "SELECT DISTINCT Alias FROM Ddtables.DB ORDER BY Alias" on DataDict.
  engine::Query Query1;
  // DDTables on PerNome; open only while the available list is filled.
  engine::Dataset tblTables;

 private:
  engine::Session& session_;
  Mode mode_ = Mode::kOutDirectory;
  std::vector<std::string> aliases_;
  std::string alias_;
  std::string directory_;
};

// The rows of a query's first column in order, each text kept once: a text
// equal to one kept before, letter case aside, is left out. Runs the query
// and closes it again.
std::vector<std::string> DistinctIgnoringCase(engine::Query& query);

// The names ("Nome") of the rows of `tables` (a closed DDTables dataset on
// PerNome) whose alias equals `alias` as the index compares it, without
// regard to letter case, in index order. Opens the dataset and closes it.
std::vector<std::string> TablesOfAlias(engine::Dataset& tables, const std::string& alias);

}  // namespace vellum::shell
