#include "cli/rebuild_plan.h"

#include "engine/table_descriptor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <set>
#include <tuple>

#include "dictionary/field_type_names.h"
#include "engine/errors.h"
#include "engine/number_text.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/table.h"
#include "rebuild/table_regenerator.h"

namespace vellum::cli {

namespace {

using engine::FieldType;
using engine::Operation;
using engine::Value;

// --- how a restructure converts a value ---------------------------------
// These follow the engine's conversion of a value into a field of another
// type or size, so that the plan counts what a rebuild would lose.

bool IsLargeObject(FieldType type) {
  switch (type) {
    case FieldType::kBlob:
    case FieldType::kMemo:
    case FieldType::kGraphic:
    case FieldType::kFmtMemo:
    case FieldType::kParadoxOle:
    case FieldType::kDBaseOle:
    case FieldType::kTypedBinary:
      return true;
    default:
      return false;
  }
}

// The text a value becomes in a text field.
std::string AsText(const Value& v) {
  if (auto* d = std::get_if<double>(&v)) return engine::FormatGeneral(*d);
  if (auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  if (auto* bytes = std::get_if<engine::Bytes>(&v))
    return std::string(bytes->begin(), bytes->end());
  return engine::ValueToText(v);
}

// Characters of UTF-8 text, as a cut to a number of characters counts them.
size_t CharacterCount(const std::string& text) {
  size_t i = 0;
  size_t n = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    i += c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    ++n;
  }
  return n;
}

// Logical type and size of a field descriptor, as the engine reports them
// once the table is built.
std::pair<FieldType, int> ShapeOf(const engine::FieldDescriptor& field) {
  const FieldType type = engine::LogicalTypeOfStorage(field.storage_type, field.storage_subtype);
  switch (type) {
    case FieldType::kString:
    case FieldType::kBytes:
      return {type, field.units1};
    case FieldType::kBCD:
      return {type, field.units2};
    default:
      return {type, IsLargeObject(type) ? field.units1 : 0};
  }
}

// --- the plan's text -------------------------------------------------------

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string TypeText(FieldType type, int size) {
  std::string text = dictionary::FieldTypeName(type);
  const bool sized = type == FieldType::kString || type == FieldType::kBytes ||
                     type == FieldType::kBCD || IsLargeObject(type);
  if (sized) text += "(" + std::to_string(size) + ")";
  return text;
}

const char* OperationText(Operation operation) {
  switch (operation) {
    case Operation::kAdd:
      return "add";
    case Operation::kCopy:
      return "copy";
    case Operation::kModify:
      return "modify";
    case Operation::kRedo:
      return "redo";
    case Operation::kNone:
      break;
  }
  return "none";
}

// Collects the plan of every table that reaches the engine call.
class Planner {
 public:
  Planner(engine::FileSystem& fs, std::string alias, std::string work_directory, bool recreate)
      : fs_(fs),
        alias_(std::move(alias)),
        work_directory_(std::move(work_directory)),
        recreate_(recreate) {}

  void add(const engine::TableDescriptor& descriptor) {
    TablePlan plan;
    plan.alias = alias_;
    plan.table = engine::FileNameOf(descriptor.table_path);
    bool present = false;
    plan.data_file =
        fs_.isDirectory(work_directory_)
            ? engine::ResolveCaseInsensitive(fs_, work_directory_, plan.table + ".DB", &present)
            : engine::JoinPath(work_directory_, plan.table + ".DB");
    if (!present) {
      plan.action = TableAction::kCreate;
    } else {
      plan.action = recreate_ ? TableAction::kRecreate : TableAction::kRestructure;
    }

    for (size_t i = 0; i < descriptor.fields.size(); ++i) {
      const auto& field = descriptor.fields[i];
      FieldPlan fp;
      fp.name = field.name;
      std::tie(fp.type, fp.size) = ShapeOf(field);
      fp.operation =
          i < descriptor.field_operations.size() ? descriptor.field_operations[i] : Operation::kAdd;
      plan.fields.push_back(fp);
    }
    for (size_t k = 0; k < descriptor.indexes.size(); ++k) {
      const auto& index = descriptor.indexes[k];
      IndexPlan ip;
      ip.name = index.name;
      for (uint16_t j = 0; j < index.key_field_count; ++j) {
        const uint16_t n = index.key_fields[j];
        if (j > 0) ip.key_fields += ";";
        if (n >= 1 && n <= descriptor.fields.size()) ip.key_fields += descriptor.fields[n - 1].name;
      }
      ip.operation =
          k < descriptor.index_operations.size() ? descriptor.index_operations[k] : Operation::kAdd;
      plan.indexes.push_back(ip);
    }
    for (size_t c = 0; c < descriptor.checks.size(); ++c) {
      const uint16_t n = descriptor.checks[c].field_number;
      CheckPlan cp;
      cp.field = n >= 1 && n <= descriptor.fields.size() ? descriptor.fields[n - 1].name : "";
      cp.operation =
          c < descriptor.check_operations.size() ? descriptor.check_operations[c] : Operation::kAdd;
      plan.checks.push_back(cp);
    }

    if (plan.action == TableAction::kRecreate) {
      countRows(plan);
    } else if (plan.action == TableAction::kRestructure) {
      countLosses(plan, descriptor);
    }
    tables_.push_back(std::move(plan));
  }

  std::vector<TablePlan> take() { return std::move(tables_); }

 private:
  // The rows a table deleted first loses; nothing when it cannot be read.
  void countRows(TablePlan& plan) {
    try {
      auto table = engine::paradox::Table::Open(work_directory_, plan.table, {}, fs_);
      plan.rows = table->recordCount();
    } catch (const std::exception&) {
      // Deleted all the same; how many rows it held stays unknown.
    }
  }

  // Reads the present table once, counting per field the values the
  // restructure would cut or empty and the values of the fields it drops.
  void countLosses(TablePlan& plan, const engine::TableDescriptor& descriptor) {
    auto table = engine::paradox::Table::Open(work_directory_, plan.table, {}, fs_);
    const auto& old_fields = table->structure().fields;
    plan.rows = table->recordCount();

    // Per new field, the existing field it comes from when its values go
    // through a conversion (a field of the same type and size keeps its
    // bytes, large objects always convert).
    std::vector<int> converted(plan.fields.size(), -1);
    std::set<size_t> kept;
    for (size_t i = 0; i < plan.fields.size(); ++i) {
      FieldPlan& fp = plan.fields[i];
      const uint16_t number = descriptor.fields[i].field_number;
      if (fp.operation == Operation::kAdd || number < 1 || number > old_fields.size()) continue;
      const auto& old = old_fields[number - 1];
      kept.insert(number - 1);
      fp.old_type = old.type;
      fp.old_size = old.size;
      const bool same_bytes = old.type == fp.type && old.size == fp.size && !IsLargeObject(fp.type);
      if (!same_bytes) converted[i] = number - 1;
    }
    for (size_t j = 0; j < old_fields.size(); ++j) {
      if (kept.count(j) == 0) {
        plan.dropped.push_back({old_fields[j].name, old_fields[j].type, old_fields[j].size, 0});
      }
    }

    engine::paradox::Table::Scanner scanner(*table);
    engine::paradox::Row row;
    while (scanner.next(row)) {
      for (size_t i = 0; i < plan.fields.size(); ++i) {
        if (converted[i] < 0) continue;
        FieldPlan& fp = plan.fields[i];
        switch (PredictValueLoss(row[static_cast<size_t>(converted[i])], fp.type, fp.size)) {
          case ValueLoss::kCut:
            ++fp.cut;
            break;
          case ValueLoss::kEmptied:
            ++fp.emptied;
            break;
          case ValueLoss::kNone:
            break;
        }
      }
      size_t d = 0;
      for (size_t j = 0; j < old_fields.size(); ++j) {
        if (kept.count(j) != 0) continue;
        if (!engine::IsNull(row[j])) ++plan.dropped[d].values;
        ++d;
      }
    }
  }

  engine::FileSystem& fs_;
  std::string alias_;
  std::string work_directory_;
  bool recreate_;
  std::vector<TablePlan> tables_;
};

// Fails as a run fails when `directory` is missing and cannot be made.
void CheckCreatable(engine::FileSystem& fs, const std::string& directory) {
  std::string existing = directory;
  while (!existing.empty() && !fs.exists(existing)) {
    const std::string parent = engine::DirectoryOf(existing);
    if (parent == existing) break;
    existing = parent;
  }
  if (!fs.isDirectory(existing.empty() ? "." : existing)) {
    throw Error("Cannot create directory \"" + directory + "\"");
  }
}

}  // namespace

ValueLoss PredictValueLoss(const Value& v, FieldType type, int size) {
  if (engine::IsNull(v)) return ValueLoss::kNone;
  // The engine's own conversion decides what becomes empty.
  if (engine::IsNull(engine::ConvertFieldValue(v, type, size))) return ValueLoss::kEmptied;
  switch (type) {
    case FieldType::kString:
      return CharacterCount(AsText(v)) > static_cast<size_t>(std::max(size, 0)) ? ValueLoss::kCut
                                                                                : ValueLoss::kNone;
    case FieldType::kBytes: {
      size_t length = 0;
      if (auto* bytes = std::get_if<engine::Bytes>(&v)) {
        length = bytes->size();
      } else if (auto* s = std::get_if<std::string>(&v)) {
        length = s->size();
      }
      return length > static_cast<size_t>(std::max(size, 0)) ? ValueLoss::kCut : ValueLoss::kNone;
    }
    default:
      return ValueLoss::kNone;
  }
}

std::optional<BatchPlan> PlanBatch(const rebuild::BatchJob& job,
                                   dictionary::TdmDataDictionary& data_module, Ui& ui) {
  engine::Session& session = data_module.session();
  engine::FileSystem& fs = session.fs();
  rebuild::TTableRegenerator regenerator(session, ui, data_module.tblTables, data_module.tblFields,
                                         data_module.tblIndex);
  BatchPlan plan;

  // The directories a run creates first.
  const std::string& backup = job.options.backup_directory;
  for (const std::string* directory : {&backup, &job.work_directory}) {
    if (directory->empty() || fs.isDirectory(*directory)) continue;
    CheckCreatable(fs, *directory);
    plan.created_directories.push_back(*directory);
  }

  std::string alias = job.options.alias;
  std::string table;
  if (!job.aliasMode() && !rebuild::SplitTableText(job.options.table_text, &alias, &table)) {
    ui.ask(MessageKind::kError,
           "The table name to rebuild must include the alias name even, in the format "
           "\"ALIAS.TABLE\"",
           Buttons::kOk);
    return std::nullopt;
  }
  rebuild::CheckBackupDirectory(job);

  // What preparing the work directory deletes and copies.
  const rebuild::FilePattern pattern =
      job.aliasMode() ? rebuild::FilePattern::AllFiles() : rebuild::FilePattern::TableFiles(table);
  if (job.options.recreate) {
    for (const auto& name : rebuild::FilesToDelete(job.work_directory, pattern, fs)) {
      plan.deleted_files.push_back(engine::JoinPath(job.work_directory, name));
    }
  } else if (!backup.empty()) {
    for (const auto& name : rebuild::FilesToDelete(backup, pattern, fs)) {
      plan.deleted_files.push_back(engine::JoinPath(backup, name));
    }
    for (const auto& name : rebuild::MatchingFiles(job.work_directory, pattern, fs)) {
      plan.copies.emplace_back(engine::JoinPath(job.work_directory, name),
                               engine::JoinPath(backup, name));
    }
  }

  // The tables, through the regenerator's dry run: the descriptor and its
  // operation codes as a rebuild would make them, and nothing changed.
  Planner planner(fs, alias, job.work_directory, job.options.recreate);
  regenerator.run_mode = job.options.recreate ? rebuild::TTableRegenerator::RunMode::kDryRunAsAbsent
                                              : rebuild::TTableRegenerator::RunMode::kDryRun;
  regenerator.before_build = [&planner](const engine::TableDescriptor& descriptor) {
    planner.add(descriptor);
  };
  if (job.aliasMode()) {
    regenerator.RegenerateAlias(alias, job.work_directory, false);
  } else {
    regenerator.RegenerateTable(alias, table, job.work_directory);
  }
  plan.tables = planner.take();
  return plan;
}

void PrintPlan(const BatchPlan& plan, std::ostream& out) {
  out << "Plan of the rebuild; nothing has been changed.\n";
  for (const auto& directory : plan.created_directories) {
    out << "Create directory \"" << directory << "\"\n";
  }
  for (const auto& file : plan.deleted_files) out << "Delete \"" << file << "\"\n";
  for (const auto& [from, to] : plan.copies) {
    out << "Copy \"" << from << "\" to \"" << to << "\"\n";
  }
  for (const TablePlan& table : plan.tables) {
    out << "Table " << table.alias << '.' << table.table << ": ";
    switch (table.action) {
      case TableAction::kCreate:
        out << "create \"" << table.data_file << "\" empty";
        break;
      case TableAction::kRecreate:
        out << "delete and create \"" << table.data_file << "\" anew, empty";
        if (table.rows) out << "; " << Plural(*table.rows, "row", "rows") << " lost";
        break;
      case TableAction::kRestructure:
        out << "restructure \"" << table.data_file << "\" in place, keeping its "
            << Plural(table.rows.value_or(0), "row", "rows");
        break;
    }
    out << '\n';
    for (const FieldPlan& field : table.fields) {
      out << "  field " << field.name << ' ' << TypeText(field.type, field.size) << ": "
          << OperationText(field.operation);
      if (field.operation != Operation::kAdd && table.action == TableAction::kRestructure) {
        if (field.old_type != field.type || field.old_size != field.size) {
          out << " from " << TypeText(field.old_type, field.old_size);
        }
        if (field.cut > 0) out << "; " << Plural(field.cut, "value", "values") << " cut";
        if (field.emptied > 0) {
          out << "; " << Plural(field.emptied, "value", "values") << " emptied";
        }
      }
      out << '\n';
    }
    for (const DroppedFieldPlan& field : table.dropped) {
      out << "  field " << field.name << ' ' << TypeText(field.type, field.size) << ": drop";
      if (field.values > 0) out << "; " << Plural(field.values, "value", "values") << " lost";
      out << '\n';
    }
    for (const IndexPlan& index : table.indexes) {
      out << "  index " << (index.name.empty() ? "(primary)" : index.name) << " on "
          << index.key_fields << ": " << OperationText(index.operation) << '\n';
    }
    for (const CheckPlan& check : table.checks) {
      out << "  check " << check.field << ": " << OperationText(check.operation) << '\n';
    }
  }
}

}  // namespace vellum::cli
