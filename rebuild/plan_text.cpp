#include "rebuild/plan_text.h"

#include <string>

#include "dictionary/field_type_names.h"
#include "engine/text.h"

namespace vellum::rebuild {

namespace {

using engine::FieldType;
using engine::Operation;

// --- the plan's text -------------------------------------------------------

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string TypeText(FieldType type, int size) {
  std::string text = dictionary::FieldTypeName(type);
  const bool sized = type == FieldType::kString || type == FieldType::kBytes ||
                     type == FieldType::kBCD || engine::IsLargeObjectType(type);
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

}  // namespace

void WritePlan(const BatchPlan& plan, std::ostream& out) {
  out << "Plan of the rebuild; nothing has been changed.\n";
  for (const auto& directory : plan.created_directories) {
    out << "Would create directory \"" << directory << "\"\n";
  }
  for (const auto& file : plan.deleted_files) out << "Delete \"" << file << "\"\n";
  for (const auto& [from, to] : plan.copies) {
    out << "Copy \"" << from << "\" to \"" << to << "\"\n";
  }
  for (const TablePlan& table : plan.tables) {
    out << "Table " << table.alias << '.' << table.table << ": ";
    if (!table.described) {
      out << "cannot be rebuilt: " << table.failure << '\n';
      continue;
    }
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
          << engine::JoinWithSemicolons(index.key_fields) << ": " << OperationText(index.operation)
          << '\n';
    }
    for (const CheckPlan& check : table.checks) {
      out << "  check " << check.field << ": " << OperationText(check.operation) << '\n';
    }
    for (const std::string& note : table.notes) out << "  note: " << note << '\n';
    if (!table.failure.empty()) out << "  fails: " << table.failure << '\n';
  }
  if (plan.failed()) {
    out << "The rebuild would fail (" << Plural(plan.failures.size(), "problem", "problems")
        << "); a run stops at the first, before anything is changed.\n";
  }
}

}  // namespace vellum::rebuild
