// Runs the tests' second program (tests/child/test_child.cpp) as another
// process, to act on tables and dictionaries as another user's program would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/paradox/table.h"

namespace vellum::test {

class ChildProcess {
 public:
  // Starts the second program with `args` (its command and arguments).
  explicit ChildProcess(const std::vector<std::string>& args);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line it writes on its standard output, without the line end;
  // empty at the end of its output.
  std::string readLine();
  // Waits for it to end: its exit status (-1 when it did not exit normally).
  int wait();
  // Everything it wrote and did not read with readLine().
  const std::string& output() const { return output_; }

 private:
  int pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string output_;
};

// Runs the second program to its end; its exit status.
int RunChild(const std::vector<std::string>& args, std::string* output = nullptr);

// The table the second program's row commands (insert, delete, rename) act
// on: Id (Integer, the key) and Name (Alpha 20, with the secondary index
// ByName).
engine::paradox::TableDefinition RowCommandTable();

// Runs one row command of the second program on table `table` of `dir`:
// "insert" and "rename" take `name`, "delete" none. Its exit status.
int RunRowCommand(const std::string& command, const std::string& dir, const std::string& table,
                  int64_t id, const std::string& name = "");

}  // namespace vellum::test
