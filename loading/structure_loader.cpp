#include "loading/structure_loader.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <set>
#include <utility>

#include "dictionary/field_type_names.h"
#include "dictionary/locale_helper.h"
#include "dictionary/schema.h"
#include "dictionary/table_properties.h"
#include "engine/errors.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/val_file.h"
#include "engine/text.h"

namespace vellum::loading {

namespace {

using dictionary::TdmDataDictionary;
using engine::Dataset;
using engine::DatasetField;
using engine::DatasetState;
using engine::FieldType;
using engine::Row;
using engine::Value;
using engine::paradox::Table;
using engine::paradox::TableStructure;

// Name under which a table's primary index (which has no name) is stored.
constexpr const char* kPrimaryIndexName = "*PRIMARY*";
// Significant digits of a floating-point value written as text.
constexpr int kFloatDigits = 15;
// Characters of the dictionary's ValoreMinimo / ValoreMassimo / ValoreDefault.
constexpr size_t kCheckTextSize = 20;
// Characters of the dictionary's name columns (DDTables.Alias and Nome,
// DDFields.Nome, DDIndex.Nome) and of DDIndex.CampiChiave.
constexpr size_t kNameSize = 50;
constexpr size_t kKeyFieldsSize = 255;

bool IsMarked(const std::string& name) { return !name.empty() && name[0] == kOldRowMark; }

std::string Marked(const std::string& name) { return kOldRowMark + name; }

// `text` as a String column of `field` stores it: cut to the column's size
// without splitting a UTF-8 character; empty text is NULL. Keys built this
// way find what the column holds.
Value AsStored(const DatasetField& field, std::string text) {
  if (text.empty()) return Value{};
  const size_t size = static_cast<size_t>(std::max(field.size(), 0));
  if (field.type() == FieldType::kString) text = engine::CutToCharacters(text, size);
  return Value{std::move(text)};
}

bool IsBlank(const DatasetField& field) { return field.asString().empty(); }

int64_t Position(Dataset& fields) { return fields.fieldByName("Posizione").asInteger(); }

std::string Name(Dataset& view) { return view.fieldByName("Nome").asString(); }

// Posts a pending edit or insert, as moving a view in the middle of one does.
void CheckBrowseMode(Dataset& view) {
  if (view.active() && view.state() != DatasetState::kBrowse) view.post();
}

// Walks the view's rows from the first, in its current order, and gives each
// row the description of the old row whose name is its own marked name. Only
// a new row can find one: an old row would need a second mark.
void CarryDescriptionsOver(Dataset& view, const Value& code) {
  DatasetField& name = view.fieldByName("Nome");
  for (view.first(); !view.eof(); view.next()) {
    const Dataset::Bookmark here = view.bookmark();
    if (view.findKey({code, AsStored(name, Marked(name.asString()))})) {
      const Value description = view.fieldByName("Descrizione").value();
      view.gotoBookmark(here);
      view.edit();
      view.fieldByName("Descrizione").setValue(description);
      view.post();
    } else {
      view.gotoBookmark(here);
    }
  }
}

// Field rows above the old-row offset before an upgrade begins were left by
// an earlier upgrade of the table that an engine error cut short (a
// completed upgrade deletes all of them). Marking the current rows would
// collide with them on both keys of DDFields, so they go first. Each one was
// an old row, possibly still holding the only copy of a description:
// - when another row has its unmarked name, that row gets the description if
//   it has none, and the leftover is deleted;
// - otherwise it is put back as an ordinary old row (unmarked name, at its
//   old position or the lowest free one), and the upgrade treats it like any
//   other old row: its description goes to a new field of that name, and the
//   row itself is deleted at the end.
// The final step of an upgrade would delete every one of these rows anyway,
// so no row survives that a completed upgrade would have removed.
void ClearLeftoverFieldRows(Dataset& fields, const Value& code) {
  struct Leftover {
    int64_t position;
    std::string name;
    Value description;
  };
  std::vector<Leftover> leftovers;
  std::set<int64_t> taken;  // positions of the other rows
  for (fields.first(); !fields.eof(); fields.next()) {
    const int64_t position = Position(fields);
    if (position > kOldRowOffset) {
      leftovers.push_back({position, Name(fields), fields.fieldByName("Descrizione").value()});
    } else {
      taken.insert(position);
    }
  }
  if (leftovers.empty()) return;

  fields.setIndexName("PerNome");
  DatasetField& name_field = fields.fieldByName("Nome");
  for (const Leftover& old : leftovers) {
    const Dataset::Bookmark old_row{code, Value{old.position}};
    const std::string name = IsMarked(old.name) ? old.name.substr(1) : old.name;
    const bool name_held = !name.empty() && fields.findKey({code, AsStored(name_field, name)}) &&
                           fields.bookmark() != old_row;
    if (name_held || name.empty()) {
      if (name_held && Position(fields) <= kOldRowOffset &&
          IsBlank(fields.fieldByName("Descrizione")) && !engine::IsNull(old.description)) {
        fields.edit();
        fields.fieldByName("Descrizione").setValue(old.description);
        fields.post();
      }
      if (fields.gotoBookmark(old_row)) fields.remove();
      continue;
    }
    int64_t position = old.position - kOldRowOffset;
    if (position >= kOldRowOffset || taken.count(position) > 0) {
      position = 1;
      while (taken.count(position) > 0) ++position;
    }
    taken.insert(position);
    if (!fields.gotoBookmark(old_row)) continue;
    fields.edit();
    fields.fieldByName("Posizione").setAsInteger(position);
    fields.fieldByName("Nome").setAsString(name);
    fields.post();
  }
  fields.setIndexFieldNames("CodTabella");
}

// Index rows with a marked name before an upgrade begins were left by an
// earlier upgrade of the table that an engine error cut short, or typed so by
// hand; a completed upgrade deletes every one of them, and marking the
// current rows would collide with them. Each is put back under its unmarked
// name when no row has that name, so that its description is carried over
// like any old row's; otherwise the row of that name gets its description
// when it has none, and the leftover is deleted. A row whose unmarked name is
// empty or still marked (from an index whose own name began with the mark)
// is deleted: no index of that name stays through an upgrade.
void ClearLeftoverIndexRows(Dataset& indexes, const Value& code) {
  struct Leftover {
    std::string name;
    Value description;
  };
  std::vector<Leftover> leftovers;
  for (indexes.first(); !indexes.eof(); indexes.next()) {
    if (IsMarked(Name(indexes))) {
      leftovers.push_back({Name(indexes), indexes.fieldByName("Descrizione").value()});
    }
  }
  DatasetField& name_field = indexes.fieldByName("Nome");
  for (const Leftover& old : leftovers) {
    const Row old_row{code, AsStored(name_field, old.name)};
    const std::string name = old.name.substr(1);
    if (!name.empty() && !IsMarked(name)) {
      if (!indexes.findKey({code, AsStored(name_field, name)})) {
        if (!indexes.findKey(old_row)) continue;
        indexes.edit();
        indexes.fieldByName("Nome").setAsString(name);
        indexes.post();
        continue;
      }
      if (IsBlank(indexes.fieldByName("Descrizione")) && !engine::IsNull(old.description)) {
        indexes.edit();
        indexes.fieldByName("Descrizione").setValue(old.description);
        indexes.post();
      }
    }
    if (indexes.findKey(old_row)) indexes.remove();
  }
}

// Opens a source table under `name`, or else under `name` with ".DBF"
// appended; null when neither opens, with `reason` set to the reason: the first
// attempt's, unless that one only found no table and the second found one it
// could not read. Only an engine error of the first attempt leads to the
// second; any failure of the second gives null.
std::unique_ptr<Table> OpenSourceTable(engine::Session& session, const std::string& source,
                                       const std::string& name, std::string* reason) {
  bool not_found = false;
  try {
    return Table::Open(session.resolveDirectory(source), name, {}, session.fs());
  } catch (const engine::EDBEngineError& e) {
    *reason = e.what();
    not_found = e.category() == engine::ErrorCategory::kNotFound;
  }
  try {
    return Table::Open(session.resolveDirectory(source), name + ".DBF", {}, session.fs());
  } catch (const engine::EDBEngineError& e) {
    if (not_found && e.category() != engine::ErrorCategory::kNotFound) *reason = e.what();
  } catch (const std::exception& e) {
    if (not_found) *reason = e.what();
  }
  return nullptr;
}

// A text the load would store: what it is (for the message), the text, and
// the size of its column in characters (0: the column's rule cuts it).
struct StoredText {
  std::string what;
  std::string text;
  size_t size = 0;
};

// Every name and text a load of `table` stores in the dictionary.
std::vector<StoredText> TextsToStore(const std::string& table_name, const TableStructure& table,
                                     const dictionary::TableProperties& properties) {
  std::vector<StoredText> texts;
  texts.push_back({"the table name", table_name, kNameSize});
  for (size_t i = 0; i < table.fields.size(); ++i) {
    texts.push_back(
        {"the name of field " + std::to_string(i + 1), table.fields[i].name, kNameSize});
  }
  for (const auto& index : table.indexes) {
    if (index.name.empty()) continue;
    texts.push_back({"the name of index \"" + index.name + "\"", index.name, kNameSize});
    texts.push_back({"the key fields of index \"" + index.name + "\"",
                     engine::JoinWithSemicolons(index.key_fields), kKeyFieldsSize});
  }
  for (const auto& check : table.checks) {
    if (check.field_number < 1 || check.field_number > table.fields.size()) continue;
    if (table.fields[check.field_number - 1].type != FieldType::kString) continue;
    const std::string field = table.fields[check.field_number - 1].name;
    for (const auto* value : {&check.min, &check.max, &check.def}) {
      texts.push_back({"a validity value of field \"" + field + "\"",
                       CheckValueToText(FieldType::kString, *value), 0});
    }
  }
  for (const auto& property : dictionary::PropertyTexts(properties)) {
    texts.push_back({property.what, property.text, static_cast<size_t>(property.column_size)});
  }
  return texts;
}

// Why the dictionary cannot hold `text` (code page `code_page`, a column of
// `size` characters), or nothing when it can.
std::optional<std::string> WhyNotStorable(const std::string& text, size_t size,
                                          const engine::paradox::CodePage& code_page) {
  if (!code_page.fromUtf8Exact(text)) {
    return "holds characters that the dictionary's code page " +
           std::to_string(code_page.number()) +
           " cannot hold; a dictionary created in a code page that has them can";
  }
  if (size > 0 && engine::CharacterCount(text) > size) {
    return "is longer than the " + std::to_string(size) + " characters the dictionary holds";
  }
  return std::nullopt;
}

// The message refusing the load of `table` as `table_name`, or nothing when
// the dictionary can hold every text of it as it is.
std::optional<std::string> RefusalOf(TdmDataDictionary& dm, const std::string& table_name,
                                     const TableStructure& table,
                                     const dictionary::TableProperties& properties) {
  const engine::paradox::CodePage code_page(dm.codePage());
  for (const StoredText& stored : TextsToStore(table_name, table, properties)) {
    if (auto why = WhyNotStorable(stored.text, stored.size, code_page)) {
      return "The table \"" + table_name + "\" cannot be loaded: " + stored.what + ", \"" +
             stored.text + "\", " + *why;
    }
  }
  return std::nullopt;
}

// After an error ended a load: gives up pending row changes of the views and
// puts the detail views back on their key order, so the dictionary can be
// browsed and loaded again. Failures here are ignored; the error that ended
// the load is the one reported.
void PutViewsBack(TdmDataDictionary& dm) {
  for (Dataset* view : {&dm.tblFields, &dm.tblIndex, &dm.tblTables}) {
    try {
      if (view->active() && view->state() != DatasetState::kBrowse) view->cancel();
    } catch (const std::exception&) {
    }
  }
  for (Dataset* view : {&dm.tblFields, &dm.tblIndex}) {
    try {
      if (view->active()) view->setIndexFieldNames("CodTabella");
    } catch (const std::exception&) {
    }
  }
}

}  // namespace

std::string CheckValueToText(FieldType type, const std::array<uint8_t, 256>& buffer) {
  switch (type) {
    case FieldType::kString:
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kWord:
    case FieldType::kBoolean:
    case FieldType::kFloat:
    case FieldType::kCurrency:
      break;
    default:
      throw Error("Defaults: not supported type \"" + dictionary::FieldTypeName(type) + "\"");
  }
  const Value value = engine::paradox::CheckValueOf(type, 0, buffer).value_or(Value{});
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "-1" : "0";
  if (const auto* number = std::get_if<int64_t>(&value)) return std::to_string(*number);
  // The dictionary's columns hold 20 characters: a value whose 15 digits do
  // not fit is rounded to fewer, rather than cut (which could drop the end of
  // its exponent).
  const double real = std::get<double>(value);
  std::string text;
  for (int digits = kFloatDigits; digits >= 1; --digits) {
    text = Locale::FloatToText(real, digits);
    if (text.size() <= kCheckTextSize) break;
  }
  return text;
}

void LoadFields(TdmDataDictionary& data_module, const TableStructure& source) {
  Dataset& fields = data_module.tblFields;
  const Value code = data_module.tblTables.fieldByName("Codice").value();
  CheckBrowseMode(fields);
  fields.setIndexFieldNames("CodTabella");
  ClearLeftoverFieldRows(fields, code);

  // Mark the old rows, lowest position first, until every one is above the
  // offset: old and new rows then coexist under both keys.
  if (!fields.isEmpty()) {
    for (fields.first(); !fields.eof() && Position(fields) < kOldRowOffset; fields.first()) {
      const int64_t position = Position(fields);
      const std::string name = Name(fields);
      fields.edit();
      fields.fieldByName("Posizione").setAsInteger(position + kOldRowOffset);
      fields.fieldByName("Nome").setAsString(Marked(name));
      fields.post();
    }
  }

  for (size_t i = 0; i < source.fields.size(); ++i) {
    const engine::paradox::FieldInfo& field = source.fields[i];
    fields.insert();
    fields.fieldByName("CodTabella").setValue(code);
    fields.fieldByName("Posizione").setAsInteger(static_cast<int64_t>(i) + 1);
    fields.fieldByName("Nome").setAsString(field.name);
    fields.fieldByName("Tipo").setAsString(dictionary::FieldTypeName(field.type));
    fields.fieldByName("Obbligatorio").setAsBoolean(field.required);
    if (field.size > 0) fields.fieldByName("Lunghezza").setAsInteger(field.size);
    fields.post();
  }

  // Names match without regard to letter case, as PerNome compares them.
  fields.setIndexName("PerNome");
  CarryDescriptionsOver(fields, code);
  fields.setIndexFieldNames("CodTabella");

  while (!fields.isEmpty()) {
    fields.findNearest({code, Value{int64_t{kOldRowOffset}}});
    if (fields.fieldByName("CodTabella").value() != code || Position(fields) <= kOldRowOffset) {
      break;
    }
    fields.remove();
  }
}

void LoadIndexes(TdmDataDictionary& data_module, const TableStructure& source) {
  Dataset& indexes = data_module.tblIndex;
  const Value code = data_module.tblTables.fieldByName("Codice").value();
  CheckBrowseMode(indexes);
  indexes.setIndexFieldNames("CodTabella");
  ClearLeftoverIndexRows(indexes, code);

  // Mark the old rows. A marked name usually sorts behind every unmarked one,
  // so the first unmarked row is the first row; names sorting behind the mark
  // are found too.
  while (!indexes.isEmpty()) {
    indexes.first();
    while (!indexes.eof() && IsMarked(Name(indexes))) indexes.next();
    if (indexes.eof()) break;
    const std::string name = Name(indexes);
    indexes.edit();
    indexes.fieldByName("Nome").setAsString(Marked(name));
    indexes.post();
  }

  for (const engine::paradox::IndexInfo& index : source.indexes) {
    indexes.insert();
    indexes.fieldByName("CodTabella").setValue(code);
    indexes.fieldByName("Nome").setAsString(index.name.empty() ? kPrimaryIndexName : index.name);
    indexes.fieldByName("CampiChiave").setAsString(engine::JoinWithSemicolons(index.key_fields));
    indexes.fieldByName("Primario").setAsBoolean(index.primary);
    indexes.fieldByName("Unico").setAsBoolean(index.unique);
    indexes.fieldByName("Discendente").setAsBoolean(index.descending);
    indexes.fieldByName("IgnoraMaiuscMinusc").setAsBoolean(index.case_insensitive);
    indexes.post();
  }

  // The primary order (CodTabella;Nome) matches names with regard to case.
  CarryDescriptionsOver(indexes, code);

  const Row first_marked{code, Value{std::string(1, kOldRowMark)}};
  while (!indexes.isEmpty()) {
    indexes.findNearest(first_marked);
    if (indexes.fieldByName("CodTabella").value() != code || !IsMarked(Name(indexes))) break;
    indexes.remove();
  }
}

std::vector<std::string> LoadValidityChecks(TdmDataDictionary& data_module, Questions& questions,
                                            const TableStructure& source) {
  std::vector<std::string> messages;
  Dataset& fields = data_module.tblFields;
  const Value code = data_module.tblTables.fieldByName("Codice").value();
  CheckBrowseMode(fields);
  fields.setIndexFieldNames("CodTabella");
  for (const engine::paradox::ValidityCheck& check : source.checks) {
    if (check.field_number < 1 || check.field_number > source.fields.size()) continue;
    const engine::paradox::FieldInfo& field = source.fields[check.field_number - 1];
    std::string minimum, maximum, default_value;
    try {
      if (check.has_min) minimum = CheckValueToText(field.type, check.min);
      if (check.has_max) maximum = CheckValueToText(field.type, check.max);
      if (check.has_default) default_value = CheckValueToText(field.type, check.def);
    } catch (const Error& error) {
      messages.push_back(std::string(error.what()) + " on field " + field.name);
      questions.ask(MessageKind::kPlain, messages.back(), Buttons::kOk);
      continue;
    }
    if (!fields.findKey({code, Value{int64_t{check.field_number}}})) continue;
    fields.edit();
    fields.fieldByName("ValoreMinimo").setAsString(minimum);
    fields.fieldByName("ValoreMassimo").setAsString(maximum);
    fields.fieldByName("ValoreDefault").setAsString(default_value);
    fields.post();
  }
  return messages;
}

void LoadTableProperties(TdmDataDictionary& data_module,
                         const dictionary::TableProperties& properties) {
  data_module.EnsurePropertiesTable();
  dictionary::WriteTableProperties(data_module.tblProps,
                                   data_module.tblTables.fieldByName("Codice").value(), properties);
}

size_t LoadReport::count(TableLoad::Result result) const {
  return static_cast<size_t>(std::count_if(tables.begin(), tables.end(),
                                           [&](const TableLoad& t) { return t.result == result; }));
}

namespace {

// One run of LoadStructures over the tables of one source: the upgrade-all
// flag and the steps of one table.
class LoadRun {
 public:
  LoadRun(TdmDataDictionary& data_module, Ui& ui, std::string source, std::string alias)
      : dm_(data_module), ui_(ui), source_(std::move(source)), alias_(std::move(alias)) {}

  // Loads the table `entry.name`, filling in `entry`; false when the run
  // ends at this table (Cancel, or a rule refused its row).
  bool loadTable(TableLoad& entry) {
    std::string reason;
    std::unique_ptr<Table> table = OpenSourceTable(dm_.session(), source_, entry.name, &reason);
    if (!table) {
      ui_.ask(MessageKind::kError,
              "Impossible to load the informations of the table \"" + entry.name + "\": " + reason,
              Buttons::kOk);
      entry.result = TableLoad::Result::kNotOpened;
      entry.reason = reason;
      return true;
    }
    // The table is recorded under its own name: its data file's, without
    // the extension, however it was typed.
    entry.recorded_name = table->structure().name;
    const dictionary::TableProperties properties = dictionary::PropertiesOf(table->structure());
    if (auto refusal = RefusalOf(dm_, entry.recorded_name, table->structure(), properties)) {
      ui_.ask(MessageKind::kError, *refusal, Buttons::kOk);
      entry.result = TableLoad::Result::kNotStorable;
      entry.reason = *refusal;
      return true;
    }
    if (!selectTableRow(entry)) {
      return entry.result == TableLoad::Result::kKept;
    }
    LoadFields(dm_, table->structure());
    LoadIndexes(dm_, table->structure());
    entry.messages = LoadValidityChecks(dm_, ui_, table->structure());
    LoadTableProperties(dm_, properties);
    noteWhatARebuildCannotKeep(*table, entry);
    return true;
  }

 private:
  // Makes the table's DDTables row the current one: a new row, or the row of
  // an earlier load when the upgrade question allows it. False when the
  // table is not to be written: answered No (kKept), Cancel (kNotLoaded), or
  // a rule refused the row and said why (kNotLoaded).
  bool selectTableRow(TableLoad& entry) {
    Dataset& tables = dm_.tblTables;
    const engine::Date today = Locale::Today();
    if (tables.findKey({AsStored(tables.fieldByName("Alias"), alias_),
                        AsStored(tables.fieldByName("Nome"), entry.recorded_name)})) {
      if (!confirmUpgrade(entry)) return false;
      tables.edit();
      tables.fieldByName("DataUltimaModifica").setAsDate(today);
      tables.post();
      entry.result = TableLoad::Result::kUpgraded;
    } else {
      tables.insert();
      tables.fieldByName("Alias").setAsString(alias_);
      tables.fieldByName("Nome").setAsString(entry.recorded_name);
      tables.fieldByName("DataInserimento").setAsDate(today);
      tables.post();
      entry.result = TableLoad::Result::kAdded;
    }
    // A rule refused the table row (an empty alias or name) and said so:
    // the load ends here, with the row as the rule left it.
    if (tables.state() == DatasetState::kBrowse) return true;
    entry.result = TableLoad::Result::kNotLoaded;
    return false;
  }

  // A table whose rows a rebuild could not keep is said so now, not first
  // when it is rebuilt.
  void noteWhatARebuildCannotKeep(Table& table, TableLoad& entry) {
    const uint64_t cut = table.valuesOnlyInMissingBlobFile();
    if (cut == 0) return;
    const std::string& name = entry.recorded_name;
    entry.not_rebuildable = "The table \"" + name +
                            "\" is loaded, but it cannot be rebuilt keeping its rows: its blob "
                            "file " +
                            name + ".MB is missing, and " + std::to_string(cut) +
                            (cut == 1 ? " value" : " values") +
                            " of its memo and blob fields live there";
    ui_.ask(MessageKind::kWarning, entry.not_rebuildable, Buttons::kOk);
  }

  // The upgrade question for a table loaded before, unless All was answered
  // earlier in the run. True for Yes and All.
  bool confirmUpgrade(TableLoad& entry) {
    if (upgrade_all_) return true;
    const Answer answer = ui_.ask(MessageKind::kConfirmation,
                                  "The table \"" + alias_ + "." + entry.recorded_name +
                                      "\" has been already loaded. Do you confirm the upgrade?",
                                  Buttons::kYesNoCancelAll);
    entry.answer = answer;
    if (answer == Answer::kAll) upgrade_all_ = true;
    if (answer == Answer::kAll || answer == Answer::kYes) return true;
    // No leaves the table as it is; Cancel (or a closed box) ends the run.
    entry.result = answer == Answer::kNo ? TableLoad::Result::kKept : TableLoad::Result::kNotLoaded;
    return false;
  }

  TdmDataDictionary& dm_;
  Ui& ui_;
  const std::string source_;
  const std::string alias_;
  bool upgrade_all_ = false;
};

// `names` less the dictionary's own tables when `source` is the
// dictionary's directory; those go to `skipped`.
std::vector<std::string> WithoutDictionaryTables(TdmDataDictionary& dm, const std::string& source,
                                                 const std::vector<std::string>& names,
                                                 std::vector<std::string>* skipped) {
  engine::Session& session = dm.session();
  try {
    if (!session.fs().sameDirectory(session.resolveDirectory(source), dm.projectDirectory())) {
      return names;
    }
  } catch (const std::exception&) {
    return names;  // no such source: each table says so when it is opened
  }
  std::vector<std::string> kept;
  for (const std::string& name : names) {
    (dictionary::IsDictionaryTable(name) ? *skipped : kept).push_back(name);
  }
  return kept;
}

// How a load that ended at `entry` ended.
LoadReport::End EndAt(const TableLoad& entry) {
  return entry.answer && *entry.answer != Answer::kYes && *entry.answer != Answer::kAll
             ? LoadReport::End::kCancelled
             : LoadReport::End::kRefused;
}

}  // namespace

LoadReport LoadStructures(TdmDataDictionary& data_module, Ui& ui, const std::string& source,
                          const std::string& load_as_alias,
                          const std::vector<std::string>& given_names) {
  dictionary::RunGuard::Scope run(data_module.runs(), "Load");
  data_module.CheckWritable();
  LoadReport report;
  const std::vector<std::string> table_names =
      WithoutDictionaryTables(data_module, source, given_names, &report.skipped);

  // An alias the dictionary cannot hold as it is would be cut into another.
  const engine::paradox::CodePage code_page(data_module.codePage());
  if (auto why = WhyNotStorable(load_as_alias, kNameSize, code_page)) {
    ui.ask(MessageKind::kError, "The alias \"" + load_as_alias + "\" " + *why, Buttons::kOk);
    report.end = LoadReport::End::kRefused;
    report.not_reached = table_names;
    return report;
  }
  // Row changes still pending in the views are posted first, as moving them
  // would; when a rule refuses one (and has said why), nothing is loaded.
  for (Dataset* view : {&data_module.tblTables, &data_module.tblFields, &data_module.tblIndex}) {
    CheckBrowseMode(*view);
    if (view->active() && view->state() != DatasetState::kBrowse) {
      report.end = LoadReport::End::kRefused;
      report.not_reached = table_names;
      return report;
    }
  }
  if (!report.skipped.empty()) {
    std::string names;
    for (const std::string& name : report.skipped) names += (names.empty() ? "" : ", ") + name;
    ui.ask(MessageKind::kInformation, "The data dictionary's own tables are not loaded: " + names,
           Buttons::kOk);
  }
  data_module.tblFields.disableControls();
  data_module.tblIndex.disableControls();
  ui.busy(true);
  auto finish = [&] {
    data_module.tblFields.enableControls();
    data_module.tblIndex.enableControls();
    ui.progress("", report.tables.size(), table_names.size());
    ui.busy(false);
  };

  // The rows of the whole load go to the files at its end, in one go.
  dictionary::DictionaryBatch batch(data_module);
  try {
    LoadRun load(data_module, ui, source, load_as_alias);
    size_t next = 0;
    for (; next < table_names.size(); ++next) {
      if (ui.stopRequested()) {
        report.end = LoadReport::End::kStopped;
        break;
      }
      ui.progress("Loading \"" + table_names[next], next, table_names.size());
      ui.processEvents();
      TableLoad& entry = report.tables.emplace_back();
      entry.name = table_names[next];
      if (!load.loadTable(entry)) {
        report.end = EndAt(entry);
        ++next;
        break;
      }
    }
    report.not_reached.assign(table_names.begin() + static_cast<std::ptrdiff_t>(next),
                              table_names.end());
    batch.commit();
  } catch (...) {
    PutViewsBack(data_module);
    finish();
    throw;
  }
  finish();
  return report;
}

}  // namespace vellum::loading
