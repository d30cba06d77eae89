// One long run at a time over the dictionary.
//
// A long run (a load, a batch rebuild, a listing) lets the window system
// handle pending events once per item, so anything the user can click may
// run in the middle of it. A run holds a RunGuard::Scope for its whole
// length; the windows consult running() to disable what would start a second
// run or destroy what the run uses (switching or closing the dictionary,
// closing the main window, the menu commands), and the core itself refuses
// to start a second run or to switch the dictionary while one is on.
//
// The data module owns the guard of its dictionary; a Scope borrows it and
// must not outlive it. One thread only, as everything of the user interface.
#pragma once

#include <string>

namespace vellum::dictionary {

class RunGuard {
 public:
  RunGuard() = default;
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

  // True while a run holds a Scope.
  bool running() const { return !current_.empty(); }
  // The name of the run that holds it ("Load", "Rebuild"); empty when none.
  const std::string& current() const { return current_; }
  // Raises vellum::Error "The command "<current>" is still running" while a
  // run is on; does nothing otherwise.
  void checkIdle() const;

  // Marks the run `name` as running for its life. Raises vellum::Error when
  // another run holds the guard (nothing is marked then).
  class Scope {
   public:
    Scope(RunGuard& guard, std::string name);
    ~Scope() { guard_.current_.clear(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    RunGuard& guard_;
  };

 private:
  std::string current_;
};

}  // namespace vellum::dictionary
