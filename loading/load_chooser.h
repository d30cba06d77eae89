// The load table chooser without its window: the source of a load (an alias
// of the engine or a directory path), the alias under which the tables are
// recorded in the dictionary (the load-as name) and the tables to load.
//
// The dialog owns one LoadChooser for the life of the program, and the
// chooser keeps its state from one showing to the next: Activate empties
// only the source and the available list, so the chosen list and the
// load-as name stay as the last showing left them. SourceChanged and
// LoadAsChanged follow the user's typing; the moves work on `lists` (the
// same move rules as the rebuild chooser's); the *Enabled functions say
// which buttons can be pressed.
//
// The data module gives the session whose aliases and tables are offered
// and the project directory whose own tables are never offered; it must
// outlive the chooser.
#pragma once

#include <string>
#include <vector>

#include "dictionary/chooser_lists.h"
#include "dictionary/data_module.h"

namespace vellum::loading {

// What the user chose, read from the chooser after OK: what the loader is
// given.
struct LoadChoice {
  std::string source;               // alias or directory path
  std::string load_as;              // the alias recorded in the dictionary
  std::vector<std::string> tables;  // in the chosen list's order
};

// The alias type the chooser offers: the engine's own table directories.
inline constexpr const char* kStandardAliasType = "STANDARD";

class LoadChooser {
 public:
  using Side = dictionary::ChooserLists::Side;

  explicit LoadChooser(dictionary::TdmDataDictionary& data_module);

  // A new showing: the alias list becomes the engine's aliases of type
  // "STANDARD", in the engine's order (none when the alias file cannot be
  // read); the source text and the available list are emptied. The chosen
  // list and the load-as name stay.
  void Activate();

  // The source text changed (typed or picked): the available list becomes
  // the tables of that alias or directory, less the dictionary's own, or
  // empty when the engine cannot list them (an unknown alias, a directory
  // without tables, a name typed in part): that is not reported. The
  // chosen list is emptied, and the load-as name becomes the source when it
  // is an alias, else empty. Errors other than the engine's go to the caller.
  void SourceChanged(const std::string& text);
  // The load-as name was edited.
  void LoadAsChanged(const std::string& text) { load_as_ = text; }

  // ">" and ">>": there are tables available.
  bool includeEnabled() const { return !lists.empty(Side::kAvailable); }
  // "<" and "<<": tables are chosen.
  bool excludeEnabled() const { return !lists.empty(Side::kChosen); }
  // OK: tables are chosen, and there is a source to read them from and a
  // name to record them under. (A reopened chooser keeps its chosen tables
  // but not its source, so it cannot hand the loader an empty source.)
  bool okEnabled() const;

  const std::vector<std::string>& aliases() const { return aliases_; }
  const std::string& source() const { return source_; }
  const std::string& loadAs() const { return load_as_; }
  LoadChoice choice() const { return {source_, load_as_, lists.texts(Side::kChosen)}; }

  dictionary::ChooserLists lists;

 private:
  dictionary::TdmDataDictionary& data_module_;
  std::vector<std::string> aliases_;
  std::string source_;
  std::string load_as_;
};

}  // namespace vellum::loading
