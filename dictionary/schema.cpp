#include "dictionary/schema.h"

#include <exception>

#include "engine/errors.h"

namespace vellum::dictionary {

using engine::FieldType;
using engine::paradox::FieldDef;
using engine::paradox::IndexDef;
using engine::paradox::TableDefinition;

TableDefinition DDTablesDefinition() {
  TableDefinition def;
  def.fields = {{"Codice", FieldType::kAutoInc, 0, false},
                {"Alias", FieldType::kString, 50, false},
                {"Nome", FieldType::kString, 50, false},
                {"DataInserimento", FieldType::kDate, 0, false},
                {"DataUltimaModifica", FieldType::kDate, 0, false},
                {"Password", FieldType::kString, 20, false},
                {"Descrizione", FieldType::kMemo, 50, false}};
  def.indexes = {{"", "Codice", true, true, false, false},
                 {"PerNome", "Alias;Nome", false, true, false, true},
                 {"PerTabella", "Nome", false, false, false, true}};
  return def;
}

TableDefinition DDFieldsDefinition() {
  TableDefinition def;
  def.fields = {{"CodTabella", FieldType::kInteger, 0, false},
                {"Posizione", FieldType::kSmallint, 0, false},
                {"Nome", FieldType::kString, 50, false},
                {"Tipo", FieldType::kString, 8, false},
                {"Lunghezza", FieldType::kSmallint, 0, false},
                {"ValoreMinimo", FieldType::kString, 20, false},
                {"ValoreMassimo", FieldType::kString, 20, false},
                {"ValoreDefault", FieldType::kString, 20, false},
                {"Obbligatorio", FieldType::kBoolean, 0, false},
                {"Descrizione", FieldType::kMemo, 50, false}};
  def.indexes = {{"", "CodTabella;Posizione", true, true, false, false},
                 {"PerNome", "CodTabella;Nome", false, true, false, true}};
  return def;
}

TableDefinition DDIndexDefinition() {
  TableDefinition def;
  def.fields = {{"CodTabella", FieldType::kInteger, 0, false},
                {"Nome", FieldType::kString, 50, false},
                {"CampiChiave", FieldType::kString, 255, false},
                {"Descrizione", FieldType::kMemo, 50, false},
                {"Primario", FieldType::kBoolean, 0, false},
                {"Unico", FieldType::kBoolean, 0, false},
                {"Discendente", FieldType::kBoolean, 0, false},
                {"IgnoraMaiuscMinusc", FieldType::kBoolean, 0, false}};
  def.indexes = {{"", "CodTabella;Nome", true, true, false, false}};
  return def;
}

void CreateDictionaryTables(const std::string& directory, engine::FileSystem& fs) {
  // DDTables makes the directory a dictionary, so it comes last: a creation
  // that fails part-way leaves a directory that does not count as one, and
  // creating again replaces what was made.
  engine::paradox::Table::Create(directory, "DDFields", DDFieldsDefinition(), fs);
  engine::paradox::Table::Create(directory, "DDIndex", DDIndexDefinition(), fs);
  engine::paradox::Table::Create(directory, "DDTables", DDTablesDefinition(), fs);
}

namespace {

// Makes `directory`, with its missing parents, unless it is one already.
void MakeDirectory(const std::string& directory, engine::FileSystem& fs) {
  if (fs.exists(directory) && !fs.isDirectory(directory)) {
    throw Error("\"" + directory + "\" is not a directory");
  }
  if (fs.isDirectory(directory)) return;
  try {
    fs.makeDirectories(directory);
  } catch (const std::exception&) {
    // Told below, in the words of this rule.
  }
  if (!fs.isDirectory(directory)) throw Error("Cannot create directory \"" + directory + "\"");
}

}  // namespace

void CreateDictionary(const std::string& directory, engine::FileSystem& fs) {
  if (directory.empty()) throw Error("The directory name is empty");
  MakeDirectory(directory, fs);
  if (IsProjectDirectory(directory, fs)) {
    throw Error("\"" + directory + "\" already holds a Data Dictionary; nothing was changed");
  }
  CreateDictionaryTables(directory, fs);
}

bool IsProjectDirectory(const std::string& directory, engine::FileSystem& fs) {
  bool found = false;
  engine::ResolveCaseInsensitive(fs, directory, "DDTables.DB", &found);
  return found;
}

}  // namespace vellum::dictionary
