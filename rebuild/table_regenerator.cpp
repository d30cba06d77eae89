#include "rebuild/table_regenerator.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/schema.h"
#include "engine/creation_batch.h"
#include "engine/errors.h"
#include "engine/text.h"
#include "rebuild/name_compare.h"
#include "rebuild/table_definition_builder.h"

namespace vellum::rebuild {

using engine::Dataset;
using engine::Operation;
using engine::Row;
using engine::TableDescriptor;
using engine::Upper;
using engine::Value;
using engine::paradox::Table;

namespace {

// A rebuilt table without a level of its own is asked for at this level.
constexpr int kRebuildLevel = 7;
// An alias run makes the tables it created durable at least this often.
constexpr size_t kTablesPerCommit = 256;

// Releases a table descriptor when the rebuild of its table ends, whether
// the engine call succeeded or not.
class DescriptorRelease {
 public:
  explicit DescriptorRelease(TableDescriptor& descriptor) : descriptor_(descriptor) {}
  ~DescriptorRelease() { ReleaseTableDescriptor(descriptor_); }
  DescriptorRelease(const DescriptorRelease&) = delete;
  DescriptorRelease& operator=(const DescriptorRelease&) = delete;

 private:
  TableDescriptor& descriptor_;
};

// Lifts the key range of a cursor when an alias walk ends, so that a later
// search of the same regenerator sees the whole dictionary again.
class RangeRelease {
 public:
  explicit RangeRelease(Dataset& cursor) : cursor_(cursor) {}
  ~RangeRelease() {
    try {
      cursor_.cancelRange();
    } catch (const std::exception&) {
      // The walk's own failure, if any, is the one that matters.
    }
  }
  RangeRelease(const RangeRelease&) = delete;
  RangeRelease& operator=(const RangeRelease&) = delete;

 private:
  Dataset& cursor_;
};

// Holds the dictionary's three tables still while a table's description is
// read, taken in the order the data module's batches take them: another
// program's load waits instead of changing the rows between two reads.
// Released before anything slow (a question, the rebuild itself).
class DescriptionLock {
 public:
  DescriptionLock(Dataset& tables, Dataset& fields, Dataset& indexes)
      : tables_(tables.table()), fields_(fields.table()), indexes_(indexes.table()) {}

 private:
  Table::ReadLock tables_;
  Table::ReadLock fields_;
  Table::ReadLock indexes_;
};

// True when `path` could be made a directory: the nearest part of it that
// exists is a directory.
bool CouldCreateDirectory(engine::FileSystem& fs, const std::string& path) {
  std::string existing = path;
  while (!existing.empty() && !fs.exists(existing)) {
    const std::string parent = engine::DirectoryOf(existing);
    if (parent == existing) break;
    existing = parent;
  }
  return fs.isDirectory(existing.empty() ? "." : existing);
}

// Creates the missing `directory` with its parents.
void MakeOutputDirectory(engine::FileSystem& fs, const std::string& directory) {
  try {
    fs.makeDirectories(directory);
  } catch (const std::exception&) {
    // Reported below, as for a path that exists but is no directory.
  }
  if (!fs.isDirectory(directory)) throw Error("Cannot create directory \"" + directory + "\"");
}

// The regenerator only reads the dictionary: its cursors are read-only, so
// that a dictionary this user may only read serves as well.
void OpenCursorLike(Dataset& cursor, const Dataset& like, const std::string& index_name) {
  cursor.setReadOnly(true);
  cursor.setDatabaseName(like.databaseName());
  cursor.setTableName(like.tableName());
  cursor.setIndexName(index_name);
  cursor.open();
}

// Opens the table `file` of `directory` exclusively, reading its validity
// file when `read_checks`, with the session's passwords (an encrypted table
// without its password still gives its structure). A validity file that
// cannot be read is passed over with a note: what it held cannot be kept.
std::unique_ptr<Table> OpenExisting(engine::Session& session, const std::string& directory,
                                    const std::string& file, const std::string& table,
                                    bool read_checks, std::vector<std::string>& notes) {
  engine::FileSystem& fs = session.fs();
  const engine::paradox::OpenOptions options{.writable = false,
                                             .exclusive = true,
                                             .read_checks = read_checks,
                                             .passwords = session.passwords()};
  if (!read_checks) return Table::Open(directory, file, options, fs);
  try {
    return Table::Open(directory, file, options, fs);
  } catch (const engine::EDBEngineError& e) {
    auto table_only = Table::Open(
        directory, file,
        {.exclusive = true, .read_checks = false, .passwords = session.passwords()}, fs);
    notes.push_back("Table \"" + table + "\": its validity file cannot be read (" + e.what() +
                    "); its pictures, lookups and referential integrity are not kept");
    return table_only;
  }
}

// The level to ask for: the table's own, else the rebuild's default.
int LevelToAskFor(const std::optional<dictionary::TableProperties>& properties,
                  const std::string& table, std::vector<std::string>& notes) {
  if (!properties) return kRebuildLevel;
  const int level = LevelOf(properties->level);
  if (level == 0) return kRebuildLevel;
  if (properties->level == "3.5") {
    notes.push_back("Table \"" + table + "\": level 3.5 is written as level 3");
  }
  return level;
}

}  // namespace

bool IsRebuiltIndexFile(const std::string& name) {
  const std::string ext = engine::ExtensionOf(name);
  if (SameNameIgnoringCase(ext, ".val") || SameNameIgnoringCase(ext, ".px")) return true;
  if (ext.size() < 4) return false;
  const std::string_view middle = std::string_view(ext).substr(1, 2);
  return SameNameIgnoringCase(middle, "xg") || SameNameIgnoringCase(middle, "yg");
}

Operation FieldOperation(const engine::paradox::FieldInfo& existing,
                         const engine::FieldDescriptor& descriptor) {
  const FieldLayout old = LayoutOf(existing.type, existing.size);
  const bool same = old.storage_type == descriptor.storage_type &&
                    old.storage_subtype == descriptor.storage_subtype &&
                    FieldLength(existing.type, existing.size) == descriptor.length;
  return same ? Operation::kCopy : Operation::kModify;
}

Operation IndexOperation(Dataset& index_row,
                         const std::vector<engine::paradox::IndexInfo>& existing) {
  const bool primary = index_row.fieldByName("Primario").asBoolean();
  // The engine reports the primary index with an empty name.
  const std::string wanted = primary ? "" : index_row.fieldByName("Nome").asString();
  for (const auto& index : existing) {
    if (!SameNameIgnoringCase(index.name, wanted)) continue;
    const bool same =
        index_row.fieldByName("CampiChiave").asString() ==
            engine::JoinWithSemicolons(index.key_fields) &&
        index_row.fieldByName("Unico").asBoolean() == index.unique && primary == index.primary &&
        index_row.fieldByName("Discendente").asBoolean() == index.descending &&
        index_row.fieldByName("IgnoraMaiuscMinusc").asBoolean() == index.case_insensitive;
    return same ? Operation::kRedo : Operation::kModify;
  }
  return Operation::kAdd;
}

TTableRegenerator::TTableRegenerator(engine::Session& session, Ui& ui, const Dataset& tables,
                                     const Dataset& fields, const Dataset& indexes)
    : session_(session),
      ui_(ui),
      tables_(session),
      fields_(session),
      indexes_(session),
      properties_(session) {
  OpenCursorLike(tables_, tables, "PerNome");
  OpenCursorLike(fields_, fields, "");
  OpenCursorLike(indexes_, indexes, "");
  bool has_properties = false;
  engine::ResolveCaseInsensitive(session.fs(), session.resolveDirectory(tables.databaseName()),
                                 dictionary::kPropertiesTable, &has_properties);
  if (has_properties) {
    properties_.setReadOnly(true);
    properties_.setDatabaseName(tables.databaseName());
    properties_.setTableName(dictionary::kPropertiesTable);
    properties_.open();
  }
}

std::optional<dictionary::TableProperties> TTableRegenerator::recordedProperties(
    const Value& code) {
  if (!properties_.active()) return std::nullopt;
  properties_.setRange(Row{code}, Row{code});
  return dictionary::ReadTableProperties(properties_);
}

TTableRegenerator::TTableRegenerator(dictionary::TdmDataDictionary& data_module, Ui& ui)
    : TTableRegenerator(data_module.session(), ui, data_module.tblTables, data_module.tblFields,
                        data_module.tblIndex) {}

TTableRegenerator::~TTableRegenerator() {
  properties_.close();
  indexes_.close();
  fields_.close();
  tables_.close();
}

void TTableRegenerator::RegenerateTable(const std::string& alias, const std::string& table,
                                        const std::string& output_directory,
                                        engine::CreationBatch* batch) {
  if (batch) {
    creation_batch_ = batch;
    struct Detach {
      engine::CreationBatch*& batch;
      ~Detach() { batch = nullptr; }
    } detach{creation_batch_};
    RegenerateTable(alias, table, output_directory);
    batch->commit();
    return;
  }
  engine::FileSystem& fs = session_.fs();
  std::optional<DescriptionLock> reading(std::in_place, tables_, fields_, indexes_);

  // The dictionary's row of the table; nothing is touched without it.
  if (!tables_.findKey(Row{Value{alias}, Value{table}})) {
    throw Error("Table \"" + table + "\" is not present in the datadictionary");
  }
  // A name from the dictionary must not reach outside the output directory.
  if (table.empty() || table == "." || table == ".." ||
      table.find_first_of("/\\") != std::string::npos) {
    throw Error("Invalid table name \"" + table + "\": a table name cannot contain a path");
  }
  checkNotDictionary(table, output_directory);

  const bool dry_run = run_mode != RunMode::kRebuild;
  notes.clear();
  const Value code = tables_.fieldByName("Codice").value();
  std::optional<dictionary::TableProperties> properties = recordedProperties(code);

  // A missing output directory must be one that can be made; it is made
  // with its parents once every check has passed, right before the engine
  // builds the table. The engine replaces a table's files in one swap, so
  // an existing directory needs nothing.
  const bool make_directory = !fs.isDirectory(output_directory);
  if (make_directory && !CouldCreateDirectory(fs, output_directory)) {
    throw Error("Cannot create directory \"" + output_directory + "\"");
  }

  // The table's field and index rows.
  fields_.setRange(Row{code}, Row{code});
  indexes_.setRange(Row{code}, Row{code});

  // The table as it is in the output directory, opened exclusively. A table
  // that is there but cannot be opened ends the rebuild.
  bool present = false;
  if (run_mode != RunMode::kDryRunAsAbsent && fs.isDirectory(output_directory)) {
    engine::ResolveCaseInsensitive(fs, output_directory,
                                   engine::paradox::TableBaseName(table) + ".DB", &present);
  }
  // A table whose files a creation batch is to delete is made anew.
  const bool replaced =
      creation_batch_ && creation_batch_->discarded(engine::paradox::TableBaseName(table));
  if (replaced) present = false;
  std::unique_ptr<Table> existing;
  try {
    // The open finishes or discards what an interrupted restructure left,
    // so the table compared with is the one the engine will restructure.
    // Its validity file is made anew; it is read only for what the table
    // keeps when the dictionary recorded nothing of it.
    if (present || (run_mode == RunMode::kRebuild && !replaced)) {
      existing =
          OpenExisting(session_, output_directory, engine::paradox::TableBaseName(table) + ".DB",
                       table, !properties, notes);
    }
  } catch (...) {
    if (present) {
      reading.reset();
      ui_.ask(
          MessageKind::kPlain,
          "Table \"" + table + "\" exists in the specified directory, but I'm not able to open it",
          Buttons::kOk);
      throw;
    }
  }

  if (existing) {
    // Text bytes are copied as they are: the code page stays the table's.
    if (!properties) properties = dictionary::PropertiesOf(existing->structure());
    properties->code_page = existing->structure().code_page;
  }
  const int level = LevelToAskFor(properties, table, notes);
  TableDescriptor descriptor =
      BuildTableDescriptor(output_directory, table, fields_, indexes_, level,
                           properties ? &*properties : nullptr, &notes);
  DescriptorRelease release(descriptor);

  // Operation codes: a new table adds everything; an existing one keeps what
  // it can of its fields and indexes.
  if (!existing) {
    descriptor.field_operations.assign(descriptor.fields.size(), Operation::kAdd);
    descriptor.index_operations.assign(descriptor.indexes.size(), Operation::kAdd);
    // Made anew in place of an encrypted table: encrypted as it was.
    const auto deleted = deleted_protections.find(Upper(engine::paradox::TableBaseName(table)));
    if (deleted != deleted_protections.end()) descriptor.password_checksum = deleted->second;
  } else {
    const auto& old_fields = existing->structure().fields;
    descriptor.field_operations.assign(descriptor.fields.size(), Operation::kAdd);
    for (size_t i = 0; i < descriptor.fields.size(); ++i) {
      engine::FieldDescriptor& field = descriptor.fields[i];
      for (size_t j = 0; j < old_fields.size(); ++j) {
        if (SameNameIgnoringCase(old_fields[j].name, field.name)) {
          descriptor.field_operations[i] = FieldOperation(old_fields[j], field);
          field.field_number = static_cast<uint16_t>(j + 1);
          break;
        }
      }
    }
    // Indexes whose files a rebuild makes anew count as missing; the primary
    // key is known from the data file alone.
    std::vector<engine::paradox::IndexInfo> old_indexes = existing->structure().indexes;
    std::erase_if(old_indexes, [](const engine::paradox::IndexInfo& index) {
      return !index.primary && IsRebuiltIndexFile(index.file);
    });
    descriptor.index_operations.assign(descriptor.indexes.size(), Operation::kAdd);
    indexes_.first();
    for (size_t k = 0; !indexes_.eof() && k < descriptor.indexes.size(); indexes_.next(), ++k) {
      descriptor.index_operations[k] = IndexOperation(indexes_, old_indexes);
    }
  }
  descriptor.check_operations.assign(descriptor.checks.size(), Operation::kAdd);
  reading.reset();
  if (existing) {
    // Its rows are copied: an encrypted table's need its password.
    if (existing->structure().encrypted()) descriptor.password = passwordFor(*existing, table);
    existing.reset();  // the engine needs the table to itself
  }

  if (before_build) before_build(descriptor);
  if (dry_run) return;
  if (make_directory) MakeOutputDirectory(fs, output_directory);
  for (const std::string& note : notes) ui_.progress(note);
  engine::BuildTableOptions options;
  options.creation_batch = creation_batch_;
  if (stop_within_table) {
    options.on_rows = [this, &table](uint64_t copied, uint64_t total) {
      ui_.rowProgress(copied, total);
      if (ui_.stopRequested()) throw TableStopped(table);
    };
  }
  engine::BuildTable(descriptor, fs, options);
}

std::string TTableRegenerator::passwordFor(const Table& existing, const std::string& table) {
  for (const std::string& password : session_.passwords()) {
    if (existing.isPassword(password)) return password;
  }
  // A wrong password is handed on when no right one comes, so that the
  // engine's refusal says it was wrong rather than missing.
  std::string wrong = session_.passwords().empty() ? "" : session_.passwords().front();
  const std::string path = engine::JoinPath(existing.directory(), existing.structure().file);
  while (true) {
    const std::optional<std::string> answer = ui_.askPassword(path);
    if (!answer) return wrong;
    if (existing.isPassword(*answer)) {
      session_.addPassword(*answer);
      return *answer;
    }
    if (!answer->empty()) wrong = *answer;
    ui_.ask(MessageKind::kError,
            "The password given is not the password of table \"" + table + "\"", Buttons::kOk);
  }
}

void TTableRegenerator::checkNotDictionary(const std::string& table,
                                           const std::string& output_directory) {
  std::string dictionary;
  try {
    dictionary = session_.resolveDirectory(tables_.databaseName());
  } catch (const std::exception&) {
    return;  // the cursors are open, so this does not happen
  }
  if (!session_.fs().sameDirectory(dictionary, output_directory)) return;
  if (dictionary::IsDictionaryTable(table)) {
    // NOLINTBEGIN(performance-inefficient-string-concatenation): a message, built once on failure
    throw Error("Table \"" + table + "\" is a table of the data dictionary in \"" +
                output_directory + "\"; it cannot be rebuilt there");
    // NOLINTEND(performance-inefficient-string-concatenation)
  }
}

TableStopped::TableStopped(const std::string& table)
    : Error("The rebuild of table \"" + table + "\" was stopped; the table is as it was") {}

std::string RegeneratingText(const std::string& alias, const std::string& table) {
  return "Regenerating \"" + alias + "." + table + "\"...";
}

bool TTableRegenerator::RegenerateAlias(const std::string& alias,
                                        const std::string& output_directory, bool show_progress,
                                        engine::CreationBatch* given_batch) {
  const std::vector<std::string> names = aliasTables(alias);
  checkOneFileEach(alias, names, output_directory);
  std::optional<engine::CreationBatch> own_batch;
  if (run_mode == RunMode::kRebuild && !given_batch) {
    own_batch.emplace(session_.fs(), output_directory);
  }
  engine::CreationBatch* batch = given_batch ? given_batch : own_batch ? &*own_batch : nullptr;
  creation_batch_ = batch;
  struct Detach {
    engine::CreationBatch*& batch;
    ~Detach() { batch = nullptr; }
  } detach{creation_batch_};
  try {
    for (size_t done = 0; done < names.size(); ++done) {
      if (ui_.stopRequested()) {
        if (batch) batch->commit();
        return false;
      }
      const std::string& name = names[done];
      if (show_progress) {
        std::string item = alias;
        item += '.';
        item += name;
        ui_.showProgress({RegeneratingText(alias, name), done, names.size(), std::move(item)});
      }
      ui_.processEvents();
      try {
        RegenerateTable(alias, name, output_directory);
      } catch (...) {
        if (!on_table_failure) throw;
        on_table_failure(name, std::current_exception());
      }
      if (batch && batch->pending() >= kTablesPerCommit) batch->commit();
    }
  } catch (...) {
    // The tables rebuilt before the failure stay rebuilt; should that fail
    // too, the failure the walk met is the one reported.
    try {
      if (batch) batch->commit();
    } catch (...) {
    }
    throw;
  }
  if (batch) batch->commit();
  return true;
}

std::vector<std::string> TTableRegenerator::aliasTables(const std::string& alias) {
  Table::ReadLock reading(tables_.table());
  if (!tables_.findKey(Row{Value{alias}})) {
    throw Error("Alias \"" + alias + "\" is not present in the datadictionary");
  }
  tables_.setRange(Row{Value{alias}}, Row{Value{alias}});
  RangeRelease release(tables_);
  std::vector<std::string> names;
  for (tables_.first(); !tables_.eof(); tables_.next()) {
    names.push_back(tables_.fieldByName("Nome").asString());
  }
  return names;
}

void TTableRegenerator::checkOneFileEach(const std::string& alias,
                                         const std::vector<std::string>& names,
                                         const std::string& output_directory) {
  std::map<std::string, std::string> seen;  // upper-case table name -> dictionary name
  for (const std::string& name : names) {
    const std::string base = Upper(engine::paradox::TableBaseName(name));
    auto [it, inserted] = seen.emplace(base, name);
    if (inserted) continue;
    // NOLINTBEGIN(performance-inefficient-string-concatenation): a message, built once on failure
    throw Error("The tables \"" + it->second + "\" and \"" + name + "\" of alias \"" + alias +
                "\" are one table file \"" +
                engine::JoinPath(output_directory, engine::paradox::TableBaseName(name) + ".DB") +
                "\"");
    // NOLINTEND(performance-inefficient-string-concatenation)
  }
}

}  // namespace vellum::rebuild
