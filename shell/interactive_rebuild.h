// The interactive rebuild: the main window's Rebuild command after the
// rebuild chooser closed with OK. Each chosen table is confirmed (Yes, No,
// Cancel, or All for the rest of the run) and rebuilt by one table
// regenerator made for the run. An engine error on one table is shown as
// text with the choice to go on (OK) or stop (Cancel); any other error ends
// the run and goes to the caller.
//
// Everything the user sees goes through the Ui: the questions, each with the
// table's rebuild plan as its details when the caller supplies one, the
// status text "<directory>/<alias>.<table>..." with the tables done and their
// total before each rebuild, the rows copied while a table is restructured,
// and, at the end of the run in every case, an empty status text (the window
// shows the project directory again). The user may ask the run to stop
// (Progress::stopRequested): it stops before the next table, or within the
// table whose rows are being copied, which then stays as it was; each table
// is rebuilt whole or not at all, and the run says where it stopped.
//
// The run makes no assumption about its thread: the desktop program runs it
// on a worker thread, with a Ui that asks on the user-interface thread.
//
// The run holds the data module's RunGuard for its whole length; nothing is
// undone after a failure.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dictionary/data_module.h"
#include "dictionary/ui.h"
#include "engine/errors.h"
#include "rebuild/rebuild_plan.h"
#include "shell/rebuild_chooser.h"

namespace vellum::shell {

// "Do you want to rebuild the table "<table>" in the directory
// "<directory>"?"
std::string RebuildQuestion(const std::string& table, const std::string& directory);

// The text ReportRebuildError shows: `message`, an empty line, "Number of
// errors: <n>", then per entry of `error` in order the lines "Message: ",
// "   Category: ", "   Error Code: ", "   SubCode: ", "   Native Error: " and
// an empty line. Every line ends with a single carriage return; numbers are
// decimal, the category the code's high byte and the subcode its low byte.
std::string RebuildErrorText(const std::string& message, const engine::EDBEngineError& error);

// Shows RebuildErrorText in an error box with OK and Cancel and returns the
// answer: OK or Cancel.
Answer ReportRebuildError(Questions& questions, const std::string& message,
                          const engine::EDBEngineError& error);

// What a table's question tells before the user answers: the values the
// rebuild would lose, one line each, in the question's own text, and the
// whole plan as its details. Either may be empty.
struct RebuildPreview {
  std::string losses;
  std::string details;
};

// The preview of a table's question, given the alias, the table name and the
// output directory. It reports its own failures in the details it returns.
using RebuildDetails = std::function<RebuildPreview(
    const std::string& alias, const std::string& table, const std::string& output_directory)>;

// The values the rebuild of the table of `plan` would lose, one line per
// field in the table's order: "<n> values of field "<name>" would be lost"
// for values that do not convert and for the values of a field the new
// definition drops, "<n> values of field "<name>" would be cut" for values
// longer than the new size ("1 value" for one). Empty when nothing is lost.
std::string LostValuesText(const rebuild::TablePlan& plan);

// The preview a question shows in the desktop program: the plan of
// rebuilding `alias`.`table` into `output_directory` (rebuild::PlanBatch,
// in full: what each field, index and check becomes, the values a change
// cuts or empties, what cannot be kept, the failure the rebuild would meet)
// as details, and its LostValuesText. Working it out changes nothing on
// disk.
RebuildPreview RebuildPlanDetails(dictionary::TdmDataDictionary& data_module, Ui& ui,
                                  const std::string& alias, const std::string& table,
                                  const std::string& output_directory);

enum class RebuildRunEnd {
  kDone,       // every table was answered and dealt with
  kCancelled,  // Cancel at a question or after an engine error
  kStopped,    // the user asked the run to stop
};

// What a run did with the chosen tables; every chosen table is in one list.
struct RebuildRunReport {
  RebuildRunEnd end = RebuildRunEnd::kDone;
  std::vector<std::string> rebuilt;    // rebuilt without error, in order
  std::vector<std::string> skipped;    // answered No, or Cancel at its question
  std::vector<std::string> failed;     // ended by an engine error
  std::vector<std::string> stopped;    // stopped while its rows were copied; as it was
  std::vector<std::string> not_asked;  // not reached: the run ended before them
};

// Runs the rebuild of `choice` (see the top of this file). Refused
// (vellum::Error) while another run holds the data module's RunGuard. Errors
// other than the engine's, and engine errors making the regenerator, go to
// the caller after the status text was emptied and the regenerator freed.
RebuildRunReport RunInteractiveRebuild(dictionary::TdmDataDictionary& data_module,
                                       const RebuildChoice& choice, Ui& ui,
                                       const RebuildDetails& details = {});

}  // namespace vellum::shell
