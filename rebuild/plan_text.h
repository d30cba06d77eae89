// The plan of a batch rebuild as text: what `vellum-cli rebuild --plan`
// prints and what the desktop program's rebuild questions show as their
// details. The plan itself is worked out in rebuild/rebuild_plan.h, by the
// code the run uses.
#pragma once

#include <ostream>

#include "rebuild/rebuild_plan.h"

namespace vellum::rebuild {

// Writes the plan as text, one line per step, field, index and check, then
// one line per failure the run would meet.
void WritePlan(const BatchPlan& plan, std::ostream& out);

}  // namespace vellum::rebuild
