// Small helpers shared by the commands: reading their options and
// passwords, and reporting usage errors and failures the way every
// vellum-cli command does.
#pragma once

#include <exception>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace vellum::cli {

// Reads a command's arguments one at a time. An argument is an option when
// it starts with "-" and is longer than that, until "--", after which every
// argument is positional. Options with a value take it from the next
// argument ("--as SRC", "-p DIR") or from the same one ("--as=SRC",
// "-pDIR"); a later occurrence replaces an earlier value. The arguments must
// outlive the reader.
class OptionReader {
 public:
  explicit OptionReader(const std::vector<std::string>& args) : args_(args) {}

  // True when every argument has been taken, or an option lacked its value
  // (error() then says which).
  bool done();
  // The argument at hand.
  const std::string& current() const { return args_[next_]; }
  // True when the argument at hand is positional.
  bool positional() const;
  // Takes the argument at hand and returns it.
  std::string take() { return args_[next_++]; }
  // Takes the argument at hand when it is the option `name`.
  bool flag(std::string_view name);
  // Takes the argument at hand when it is the option `name`, and its value
  // into `value`. A missing value sets error().
  bool value(std::string_view name, std::string* value);
  // Why the reading stopped early; empty when it did not.
  const std::string& error() const { return error_; }

 private:
  const std::vector<std::string>& args_;
  size_t next_ = 0;
  bool options_done_ = false;
  std::string error_;
};

// Writes "vellum-cli: COMMAND: MESSAGE" and a pointer to the command's help;
// returns kExitUsage.
int CommandUsage(std::ostream& err, std::string_view command, const std::string& message);

// Writes the error that ended a command, with the entries an engine error
// carries beyond its message; returns kExitFailure.
int CommandFailure(std::ostream& err, std::string_view command, const std::exception& e);

// Flushes a command's output; when it could not be written says so and
// returns kExitFailure, otherwise `status`.
int FinishOutput(std::ostream& out, std::ostream& err, std::string_view command, int status);

// The passwords of encrypted tables a command was given: those of its
// --password options in their order, then the one the environment variable
// VELLUM_PASSWORD holds (when set and not empty). They are never printed.
std::vector<std::string> CommandPasswords(std::vector<std::string> options);

// True when `directory` holds a data dictionary. Otherwise says why it is no
// project directory on `err` and returns false.
bool CheckProjectDirectory(const std::string& directory, std::string_view command,
                           std::ostream& err);

}  // namespace vellum::cli
