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
// total before each rebuild, and, at the end of the run in every case, an
// empty status text (the window shows the project directory again). The
// user may ask the run to stop (Progress::stopRequested); it stops before
// the next table, each table rebuilt whole or not at all, and says so.
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

// The details of a table's question: what its rebuild will do, given the
// alias, the table name and the output directory. It reports its own
// failures in the text it returns.
using RebuildDetails = std::function<std::string(const std::string& alias, const std::string& table,
                                                 const std::string& output_directory)>;

// The details a question shows in the desktop program: the plan of
// rebuilding `alias`.`table` into `output_directory` (rebuild::PlanBatch,
// in full: what each field, index and check becomes, the values a change
// cuts or empties, what cannot be kept, the failure the rebuild would meet)
// as text. Working it out changes nothing on disk.
std::string RebuildPlanDetails(dictionary::TdmDataDictionary& data_module, Ui& ui,
                               const std::string& alias, const std::string& table,
                               const std::string& output_directory);

enum class RebuildRunEnd {
  kDone,       // every table was answered and dealt with
  kCancelled,  // Cancel at a question or after an engine error
  kStopped,    // the user asked the run to stop between tables
};

// What a run did with the chosen tables.
struct RebuildRunReport {
  RebuildRunEnd end = RebuildRunEnd::kDone;
  std::vector<std::string> rebuilt;  // rebuilt without error, in order
  std::vector<std::string> skipped;  // answered No
  std::vector<std::string> failed;   // ended by an engine error
};

// Runs the rebuild of `choice` (see the top of this file). Refused
// (vellum::Error) while another run holds the data module's RunGuard. Errors
// other than the engine's, and engine errors making the regenerator, go to
// the caller after the status text was emptied and the regenerator freed.
RebuildRunReport RunInteractiveRebuild(dictionary::TdmDataDictionary& data_module,
                                       const RebuildChoice& choice, Ui& ui,
                                       const RebuildDetails& details = {});

}  // namespace vellum::shell
