#include "dictionary/schema.h"

#include <exception>

#include "engine/errors.h"
#include "engine/paradox/code_page.h"
#include "engine/text.h"

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
  def.indexes = {{"", {"Codice"}, true, true, false, false},
                 {"PerNome", {"Alias", "Nome"}, false, true, false, true},
                 {"PerTabella", {"Nome"}, false, false, false, true}};
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
  def.indexes = {{"", {"CodTabella", "Posizione"}, true, true, false, false},
                 {"PerNome", {"CodTabella", "Nome"}, false, true, false, true}};
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
  def.indexes = {{"", {"CodTabella", "Nome"}, true, true, false, false}};
  return def;
}

TableDefinition DDPropsDefinition() {
  TableDefinition def;
  def.fields = {{"CodTabella", FieldType::kInteger, 0, false},
                {"Voce", FieldType::kString, 20, false},
                {"Numero", FieldType::kSmallint, 0, false},
                {"Nome", FieldType::kString, 64, false},
                {"Campi", FieldType::kString, 255, false},
                {"Valore", FieldType::kString, 255, false},
                {"Opzioni", FieldType::kInteger, 0, false},
                {"CampiMaster", FieldType::kString, 100, false},
                {"Dati", FieldType::kMemo, 50, false}};
  def.indexes = {{"", {"CodTabella", "Voce", "Numero"}, true, true, false, false}};
  return def;
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

void CheckCodePage(int code_page) {
  if (!engine::paradox::CodePage(code_page).supported()) {
    engine::ThrowInvalid("Code page " + std::to_string(code_page) + " is not supported");
  }
}

void CreateTable(const std::string& directory, const std::string& name, TableDefinition def,
                 int code_page, engine::FileSystem& fs) {
  def.code_page = code_page;
  engine::paradox::Table::Create(directory, name, def, fs);
}

}  // namespace

void CreateDictionary(const std::string& directory, engine::FileSystem& fs, int code_page) {
  if (directory.empty()) throw Error("The directory name is empty");
  CheckCodePage(code_page);
  MakeDirectory(directory, fs);
  if (IsProjectDirectory(directory, fs)) {
    throw Error("\"" + directory + "\" already holds a Data Dictionary; nothing was changed");
  }
  if (!fs.canWriteDirectory(directory)) {
    throw Error("Cannot create a data dictionary in \"" + directory +
                "\": the directory may only be read");
  }
  CreateDictionaryTables(directory, fs, code_page);
}

void CreateDictionaryTables(const std::string& directory, engine::FileSystem& fs, int code_page) {
  CheckCodePage(code_page);
  // DDTables makes the directory a dictionary, so it comes last: a creation
  // that fails part-way leaves a directory that does not count as one, and
  // creating again replaces what was made.
  CreateTable(directory, "DDFields", DDFieldsDefinition(), code_page, fs);
  CreateTable(directory, "DDIndex", DDIndexDefinition(), code_page, fs);
  CreateTable(directory, "DDProps", DDPropsDefinition(), code_page, fs);
  CreateTable(directory, "DDTables", DDTablesDefinition(), code_page, fs);
}

void CreatePropertiesTable(const std::string& directory, engine::FileSystem& fs, int code_page) {
  bool found = false;
  engine::ResolveCaseInsensitive(fs, directory, kPropertiesTable, &found);
  if (found) return;
  CreateTable(directory, "DDProps", DDPropsDefinition(), code_page, fs);
}

bool IsDictionaryTable(const std::string& name) {
  const std::string base = engine::paradox::TableBaseName(name);
  for (const char* own : kDictionaryTables) {
    if (engine::SameNameIgnoringCase(engine::paradox::TableBaseName(own), base)) return true;
  }
  return false;
}

bool IsProjectDirectory(const std::string& directory, engine::FileSystem& fs) {
  bool found = false;
  engine::ResolveCaseInsensitive(fs, directory, "DDTables.DB", &found);
  return found;
}

}  // namespace vellum::dictionary
