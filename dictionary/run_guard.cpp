#include "dictionary/run_guard.h"

#include <utility>

#include "engine/errors.h"

namespace vellum::dictionary {

void RunGuard::checkIdle() const {
  if (running()) throw Error("The command \"" + current_ + "\" is still running");
}

RunGuard::Scope::Scope(RunGuard& guard, std::string name) : guard_(guard) {
  guard_.checkIdle();
  guard_.current_ = name.empty() ? std::string("?") : std::move(name);
}

}  // namespace vellum::dictionary
