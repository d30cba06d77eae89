// The plan of a batch rebuild as `vellum-cli rebuild --plan` prints it. The
// plan itself is worked out in rebuild/rebuild_plan.h, by the code the run
// uses.
#pragma once

#include <ostream>

#include "rebuild/rebuild_plan.h"

namespace vellum::cli {

// Writes the plan as text, one line per step, field, index and check, then
// one line per failure the run would meet.
void PrintPlan(const rebuild::BatchPlan& plan, std::ostream& out);

}  // namespace vellum::cli
