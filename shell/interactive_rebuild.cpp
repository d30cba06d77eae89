#include "shell/interactive_rebuild.h"

#include <cstddef>
#include <cstdint>
#include <sstream>

#include "rebuild/plan_text.h"
#include "rebuild/rebuild_plan.h"
#include "rebuild/table_regenerator.h"

namespace vellum::shell {

namespace {

constexpr char kLineEnd = '\r';

// Empties the status text when the run ends, however it ends.
class StatusReset {
 public:
  explicit StatusReset(Progress& progress) : progress_(progress) {}
  ~StatusReset() {
    try {
      progress_.progress("");
    } catch (...) {
      // The run's own outcome is what the caller must see.
    }
  }
  StatusReset(const StatusReset&) = delete;
  StatusReset& operator=(const StatusReset&) = delete;

 private:
  Progress& progress_;
};

// The hourglass for the life of a scope.
class BusyScope {
 public:
  explicit BusyScope(Progress& progress) : progress_(progress) { progress_.busy(true); }
  ~BusyScope() { progress_.busy(false); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  Progress& progress_;
};

RebuildPreview PreviewOf(const RebuildDetails& details, const RebuildChoice& choice,
                         const std::string& table, Progress& progress) {
  if (!details) return {};
  BusyScope busy(progress);
  try {
    return details(choice.alias, table, choice.output_directory);
  } catch (const std::exception& e) {
    // The rebuild itself meets the same failure and reports it.
    return {
        .losses = "",
        .details = std::string("The plan of this rebuild could not be worked out: ") + e.what()};
  }
}

// Asks about one table; the answer is Yes, No, Cancel or All.
Answer Confirm(const RebuildChoice& choice, const std::string& table, Ui& ui,
               const RebuildDetails& details) {
  const RebuildPreview preview = PreviewOf(details, choice, table, ui);
  std::string text = RebuildQuestion(table, choice.output_directory);
  if (!preview.losses.empty()) text += "\n\n" + preview.losses;
  return ui.askWithDetails(MessageKind::kConfirmation, text, Buttons::kYesNoCancelAll,
                           preview.details);
}

std::string ValuesLine(uint64_t count, const std::string& field, const char* what) {
  return std::to_string(count) + (count == 1 ? " value" : " values") + " of field \"" + field +
         "\" would be " + what;
}

// Rebuilds one table; false when the run ends there (the user stops it after
// an engine error, or within the table).
bool RebuildOne(rebuild::TTableRegenerator& regenerator, const RebuildChoice& choice, size_t index,
                Ui& ui, RebuildRunReport& report) {
  const std::string& table = choice.tables[index];
  ui.progress(choice.output_directory + "/" + choice.alias + "." + table + "...", index,
              choice.tables.size());
  ui.processEvents();
  try {
    BusyScope busy(ui);
    regenerator.RegenerateTable(choice.alias, table, choice.output_directory);
  } catch (const rebuild::TableStopped& stopped) {
    report.stopped.push_back(table);
    report.end = RebuildRunEnd::kStopped;
    ui.message(MessageKind::kInformation, stopped.what());
    return false;
  } catch (const engine::EDBEngineError& error) {
    report.failed.push_back(table);
    const std::string message = "Impossible to rebuild \"" + table + "\".";
    return ReportRebuildError(ui, message, error) != Answer::kCancel;
  }
  report.rebuilt.push_back(table);
  return true;
}

}  // namespace

std::string RebuildQuestion(const std::string& table, const std::string& directory) {
  return "Do you want to rebuild the table \"" + table + "\" in the directory \"" + directory +
         "\"?";
}

std::string RebuildErrorText(const std::string& message, const engine::EDBEngineError& error) {
  std::string text;
  const auto line = [&text](const std::string& content) {
    text += content;
    text += kLineEnd;
  };
  line(message);
  line("");
  line("Number of errors: " + std::to_string(error.entries().size()));
  for (const engine::ErrorEntry& entry : error.entries()) {
    line("Message: " + entry.message);
    line("   Category: " + std::to_string(entry.code / 256));
    line("   Error Code: " + std::to_string(entry.code));
    line("   SubCode: " + std::to_string(entry.code % 256));
    line("   Native Error: " + std::to_string(entry.native_code));
    line("");
  }
  return text;
}

Answer ReportRebuildError(Questions& questions, const std::string& message,
                          const engine::EDBEngineError& error) {
  const Answer answer =
      questions.ask(MessageKind::kError, RebuildErrorText(message, error), Buttons::kOkCancel);
  return answer == Answer::kOk ? Answer::kOk : Answer::kCancel;
}

namespace {

// Working out a question's details shows nothing of its own: what the
// regenerator would tell the user there (a table it cannot open), the
// plan's text says, and the rebuild itself says again. Every question is
// answered with the button that changes nothing.
class UnseenQuestions final : public Questions {
 public:
  Answer ask(MessageKind, const std::string&, Buttons buttons) override {
    return SafeAnswer(buttons);
  }
};

}  // namespace

std::string LostValuesText(const rebuild::TablePlan& plan) {
  std::vector<std::string> lines;
  for (const rebuild::FieldPlan& field : plan.fields) {
    if (field.emptied > 0) lines.push_back(ValuesLine(field.emptied, field.name, "lost"));
    if (field.cut > 0) lines.push_back(ValuesLine(field.cut, field.name, "cut"));
  }
  for (const rebuild::DroppedFieldPlan& field : plan.dropped) {
    if (field.values > 0) lines.push_back(ValuesLine(field.values, field.name, "lost"));
  }
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

RebuildPreview RebuildPlanDetails(dictionary::TdmDataDictionary& data_module, Ui& ui,
                                  const std::string& alias, const std::string& table,
                                  const std::string& output_directory) {
  rebuild::BatchJob job;
  job.options.project_directory = data_module.projectDirectory();
  job.options.table_text = alias + "." + table;
  job.work_directory = output_directory;
  UnseenQuestions unseen;
  JoinedUi quiet(unseen, ui);
  const std::optional<rebuild::BatchPlan> plan = rebuild::PlanBatch(job, data_module, quiet);
  if (!plan) return {};
  std::ostringstream text;
  rebuild::WritePlan(*plan, text);
  RebuildPreview preview{.losses = "", .details = text.str()};
  if (!plan->tables.empty()) preview.losses = LostValuesText(plan->tables.front());
  return preview;
}

RebuildRunReport RunInteractiveRebuild(dictionary::TdmDataDictionary& data_module,
                                       const RebuildChoice& choice, Ui& ui,
                                       const RebuildDetails& details) {
  dictionary::RunGuard::Scope run(data_module.runs(), "Rebuild");
  StatusReset reset(ui);
  rebuild::TTableRegenerator regenerator(data_module, ui);
  regenerator.stop_within_table = true;
  RebuildRunReport report;
  bool all = false;
  size_t i = 0;
  for (; i < choice.tables.size(); ++i) {
    const std::string& table = choice.tables[i];
    if (ui.stopRequested()) {
      report.end = RebuildRunEnd::kStopped;
      ui.message(MessageKind::kInformation,
                 "The rebuild stopped before the table \"" + table + "\".");
      break;
    }
    if (!all) {
      const Answer answer = Confirm(choice, table, ui, details);
      if (answer == Answer::kCancel) {
        report.end = RebuildRunEnd::kCancelled;
        report.skipped.push_back(table);
        ++i;
        break;
      }
      if (answer == Answer::kNo) {
        report.skipped.push_back(table);
        continue;
      }
      all = answer == Answer::kAll;
    }
    if (!RebuildOne(regenerator, choice, i, ui, report)) {
      if (report.end == RebuildRunEnd::kDone) report.end = RebuildRunEnd::kCancelled;
      ++i;
      break;
    }
  }
  report.not_asked.assign(choice.tables.begin() + static_cast<std::ptrdiff_t>(i),
                          choice.tables.end());
  return report;
}

}  // namespace vellum::shell
