#include "rebuild/rebuild_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>
#include <tuple>

#include "engine/creation_batch.h"
#include "engine/errors.h"
#include "engine/number_text.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/table.h"
#include "engine/text.h"
#include "rebuild/table_regenerator.h"

namespace vellum::rebuild {

namespace {

using engine::CharacterCount;
using engine::FieldType;
using engine::Operation;
using engine::Value;

// --- how a restructure converts a value ---------------------------------
// These follow the engine's conversion of a value into a field of another
// type or size, so that the plan counts what a rebuild would lose.

// The text a value becomes in a text field.
std::string AsText(const Value& v) {
  if (auto* d = std::get_if<double>(&v)) return engine::FormatGeneral(*d);
  if (auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  if (auto* bytes = std::get_if<engine::Bytes>(&v))
    return std::string(bytes->begin(), bytes->end());
  return engine::ValueToText(v);
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
      return {type, engine::IsLargeObjectType(type) ? field.units1 : 0};
  }
}

// Collects the plan of every table that reaches the engine call.
// Its failures: those of the engine's checks and, in the full plan, of
// reading the rows; those of the regenerator come through failed().
class Planner {
 public:
  Planner(engine::FileSystem& fs, std::string alias, std::string work_directory, bool recreate,
          PlanDetail detail, bool show_steps)
      : fs_(fs),
        alias_(std::move(alias)),
        work_directory_(std::move(work_directory)),
        recreate_(recreate),
        detail_(detail),
        show_steps_(show_steps) {
    // Sort runs of the key check go to the system's temporary directory.
    std::error_code ec;
    const std::string temp = std::filesystem::temp_directory_path(ec).string();
    if (!ec && fs_.isDirectory(temp)) check_options_.scratch_directory = temp;
    check_options_.as_new = recreate;
  }

  // A table that failed before its descriptor reached the engine call.
  void failed(const std::string& table, const std::exception_ptr& error) {
    TablePlan plan;
    plan.alias = alias_;
    plan.table = table;
    plan.data_file = engine::JoinPath(work_directory_, table + ".DB");
    record(plan, error);
    tables_.push_back(std::move(plan));
  }

  void add(const engine::TableDescriptor& descriptor, const std::vector<std::string>& notes) {
    TablePlan plan;
    plan.described = true;
    plan.notes = notes;
    plan.alias = alias_;
    plan.table = engine::FileNameOf(descriptor.table_path);
    bool present = false;
    const std::string data_name = engine::paradox::TableBaseName(plan.table) + ".DB";
    plan.data_file = fs_.isDirectory(work_directory_)
                         ? engine::ResolveCaseInsensitive(fs_, work_directory_, data_name, &present)
                         : engine::JoinPath(work_directory_, data_name);
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
        ip.key_fields.push_back(n >= 1 && n <= descriptor.fields.size()
                                    ? descriptor.fields[n - 1].name
                                    : std::string());
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

    try {
      engine::CheckBuildTable(descriptor, fs_, check_options_);
    } catch (const std::exception&) {
      record(plan, std::current_exception());
    }
    if (detail_ == PlanDetail::kFull) countWhatIsLost(plan, descriptor);
    tables_.push_back(std::move(plan));
  }

  // The tables, and the failures and first error of `plan`.
  void finish(BatchPlan* plan) {
    for (const TablePlan& table : tables_) {
      if (table.failure.empty()) continue;
      plan->failures.push_back(table.alias + "." + table.table + ": " + table.failure);
    }
    if (!plan->first_error && first_error_) {
      plan->first_error = first_error_;
      if (show_steps_) {
        plan->first_step = RegeneratingText(alias_, first_failed_table_);
        plan->first_step_done = first_failed_index_;
        plan->first_step_total = tables_.size();
      }
    }
    plan->tables = std::move(tables_);
  }

 private:
  void record(TablePlan& plan, const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      plan.failure = e.what();
    } catch (...) {
      plan.failure = "unexpected failure";
    }
    if (first_error_) return;
    first_error_ = error;
    first_failed_table_ = plan.table;
    first_failed_index_ = tables_.size();  // the plan is added right after
  }

  void countWhatIsLost(TablePlan& plan, const engine::TableDescriptor& descriptor) {
    try {
      if (plan.action == TableAction::kRecreate) {
        countRows(plan);
      } else if (plan.action == TableAction::kRestructure) {
        countLosses(plan, descriptor);
      }
    } catch (const std::exception&) {
      // A table the rebuild could not read fails it too.
      if (plan.failure.empty()) record(plan, std::current_exception());
    }
  }

  // The rows a table deleted first loses; nothing when it cannot be read.
  void countRows(TablePlan& plan) {
    try {
      auto table = engine::paradox::Table::Open(
          work_directory_, engine::paradox::TableBaseName(plan.table) + ".DB", {}, fs_);
      plan.rows = table->recordCount();
    } catch (const std::exception&) {
      // Deleted all the same; how many rows it held stays unknown.
    }
  }

  // Reads the present table once, counting per field the values the
  // restructure would cut or empty and the values of the fields it drops.
  void countLosses(TablePlan& plan, const engine::TableDescriptor& descriptor) {
    engine::paradox::OpenOptions options;
    if (!descriptor.password.empty()) options.passwords.push_back(descriptor.password);
    auto table = engine::paradox::Table::Open(
        work_directory_, engine::paradox::TableBaseName(plan.table) + ".DB", options, fs_);
    const auto& old_fields = table->structure().fields;
    plan.rows = table->recordCount();

    // Per new field, the existing field it comes from when its values go
    // through a conversion (a field of the same type and size keeps its
    // bytes, large objects always convert), and whether the conversion moves
    // the stored bytes (text, bytes and large objects: cut, never re-encoded)
    // into a field of storage type `px`.
    std::vector<int> converted(plan.fields.size(), -1);
    std::vector<bool> moves_bytes(plan.fields.size(), false);
    std::vector<engine::paradox::PxType> px(plan.fields.size(), engine::paradox::PxType::kAlpha);
    std::set<size_t> kept;
    for (size_t i = 0; i < plan.fields.size(); ++i) {
      FieldPlan& fp = plan.fields[i];
      const uint16_t number = descriptor.fields[i].field_number;
      if (fp.operation == Operation::kAdd || number < 1 || number > old_fields.size()) continue;
      const auto& old = old_fields[number - 1];
      kept.insert(number - 1);
      fp.old_type = old.type;
      fp.old_size = old.size;
      const bool same_bytes =
          old.type == fp.type && old.size == fp.size && !engine::IsLargeObjectType(fp.type);
      if (same_bytes) continue;
      converted[i] = number - 1;
      moves_bytes[i] = engine::paradox::PxTypeFor(fp.type, &px[i]) &&
                       engine::paradox::HoldsStoredBytes(old.px_type) &&
                       engine::paradox::HoldsStoredBytes(px[i]);
    }
    for (size_t j = 0; j < old_fields.size(); ++j) {
      if (kept.count(j) == 0) {
        plan.dropped.push_back({old_fields[j].name, old_fields[j].type, old_fields[j].size, 0});
      }
    }

    const int code_page = table->structure().code_page;
    engine::paradox::Table::Scanner scanner(*table);
    engine::paradox::Row row;
    while (scanner.next(row)) {
      for (size_t i = 0; i < plan.fields.size(); ++i) {
        if (converted[i] < 0) continue;
        FieldPlan& fp = plan.fields[i];
        const auto from = static_cast<size_t>(converted[i]);
        if (moves_bytes[i]) {
          const engine::Bytes bytes = table->fieldBytes(from, scanner.raw());
          const size_t length = static_cast<size_t>(std::max(fp.size, 0));
          if (engine::paradox::KeptStoredBytes(bytes, px[i], length, code_page) < bytes.size()) {
            ++fp.cut;
          }
          continue;
        }
        switch (PredictValueLoss(row[from], fp.type, fp.size)) {
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
  PlanDetail detail_;
  engine::BuildCheckOptions check_options_;
  std::vector<TablePlan> tables_;
  std::exception_ptr first_error_;
  std::string first_failed_table_;
  size_t first_failed_index_ = 0;
  bool show_steps_;  // whether the run shows a progress text per table
};

// The files of the backup: each must be readable, and the backup directory
// must have room for them (less the files of the same tables it deletes).
void CheckBackup(engine::FileSystem& fs, const std::string& backup, BatchPlan* plan) {
  uint64_t needed = 0;
  for (const auto& [from, to] : plan->copies) {
    try {
      needed += fs.open(from, engine::OpenMode::kRead)->size();
    } catch (const std::exception& e) {
      // NOLINTBEGIN(performance-inefficient-string-concatenation): a message, built once on failure
      const std::string failure =
          "Cannot make the backup copy of \"" + from + "\" in \"" + backup + "\": " + e.what();
      // NOLINTEND(performance-inefficient-string-concatenation)
      plan->failures.push_back(failure);
      if (!plan->first_error) plan->first_error = std::make_exception_ptr(Error(failure));
    }
  }
  uint64_t freed = 0;
  for (const auto& file : plan->deleted_files) {
    try {
      freed += fs.open(file, engine::OpenMode::kRead)->size();
    } catch (const std::exception&) {
      // Not there to free anything.
    }
  }
  std::string existing = backup;
  while (!fs.isDirectory(existing) && engine::DirectoryOf(existing) != existing &&
         !existing.empty()) {
    existing = engine::DirectoryOf(existing);
  }
  if (!fs.canWriteDirectory(existing.empty() ? "." : existing)) {
    const std::string failure = "Cannot write the backup copy in \"" + existing + "\"";
    plan->failures.push_back(failure);
    if (!plan->first_error) plan->first_error = std::make_exception_ptr(Error(failure));
    return;
  }
  const std::optional<uint64_t> free = fs.availableBytes(existing.empty() ? "." : existing);
  if (free && *free + freed < needed) {
    const std::string failure = "There is not enough room in \"" + existing +
                                "\" for the backup copy: " + std::to_string(needed >> 20) +
                                " MB are needed and " + std::to_string((*free + freed) >> 20) +
                                " MB are free";
    plan->failures.push_back(failure);
    if (!plan->first_error) plan->first_error = std::make_exception_ptr(Error(failure));
  }
}

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

std::optional<BatchPlan> PlanBatch(const BatchJob& job, dictionary::TdmDataDictionary& data_module,
                                   Ui& ui, PlanDetail detail) {
  engine::Session& session = data_module.session();
  engine::FileSystem& fs = session.fs();
  TTableRegenerator regenerator(session, ui, data_module.tblTables, data_module.tblFields,
                                data_module.tblIndex);
  BatchPlan plan;

  std::string alias, table;
  if (!JobTarget(job, ui, &alias, &table)) return std::nullopt;
  CheckBackupDirectory(job, fs);
  // -c recreates its tables in a batch, which keeps files in a directory
  // of its own inside the work directory.
  if (job.options.recreate) {
    engine::CreationBatch::CheckWorkDirectory(fs, job.work_directory);
  }

  // The directories a run creates once its checks have passed.
  const std::string& backup = job.options.backup_directory;
  for (const std::string* directory : {&backup, &job.work_directory}) {
    if (directory->empty() || fs.isDirectory(*directory)) continue;
    CheckCreatable(fs, *directory);
    plan.created_directories.push_back(*directory);
  }

  // What preparing the work directory deletes and copies.
  const FilePattern pattern =
      job.aliasMode() ? FilePattern::AllFiles() : FilePattern::TableFiles(table);
  const std::string& project = job.options.project_directory;
  if (job.options.recreate) {
    for (const auto& name : FilesToDelete(job.work_directory, pattern, fs, project)) {
      plan.deleted_files.push_back(engine::JoinPath(job.work_directory, name));
    }
  } else if (!backup.empty()) {
    for (const auto& name : FilesToDelete(backup, pattern, fs, project)) {
      plan.deleted_files.push_back(engine::JoinPath(backup, name));
    }
    for (const auto& name : MatchingFiles(job.work_directory, pattern, fs)) {
      plan.copies.emplace_back(engine::JoinPath(job.work_directory, name),
                               engine::JoinPath(backup, name));
    }
    CheckBackup(fs, backup, &plan);
  }

  // The tables, through the regenerator's dry run: the descriptor and its
  // operation codes as a rebuild would make them, the engine's checks, and
  // nothing changed.
  Planner planner(fs, alias, job.work_directory, job.options.recreate, detail, job.aliasMode());
  regenerator.run_mode = job.options.recreate ? TTableRegenerator::RunMode::kDryRunAsAbsent
                                              : TTableRegenerator::RunMode::kDryRun;
  regenerator.before_build = [&planner, &regenerator](const engine::TableDescriptor& descriptor) {
    planner.add(descriptor, regenerator.notes);
  };
  regenerator.on_table_failure = [&planner](const std::string& name,
                                            const std::exception_ptr& error) {
    planner.failed(name, error);
  };
  if (job.aliasMode()) {
    regenerator.RegenerateAlias(alias, job.work_directory, false);
  } else {
    try {
      regenerator.RegenerateTable(alias, table, job.work_directory);
    } catch (const std::exception&) {
      planner.failed(table, std::current_exception());
    }
  }
  planner.finish(&plan);
  return plan;
}

}  // namespace vellum::rebuild
