#include "tests/support/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace vellum::test {

ChildProcess::ChildProcess(const std::vector<std::string>& args) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) throw std::runtime_error("cannot make a pipe");
  std::vector<std::string> all = {VELLUM_TEST_CHILD_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot start a process");
  if (pid_ == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  out_ = pipe_fds[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && status_ == -1) wait();
  if (out_ >= 0) ::close(out_);
}

std::string ChildProcess::readLine() {
  std::string line;
  char c;
  while (::read(out_, &c, 1) == 1) {
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

int ChildProcess::wait() {
  if (pid_ <= 0) return status_;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(out_, buffer, sizeof buffer)) > 0)
    output_.append(buffer, static_cast<size_t>(n));
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return status_;
}

int RunChild(const std::vector<std::string>& args, std::string* output) {
  ChildProcess child(args);
  const int status = child.wait();
  if (output) *output = child.output();
  return status;
}

engine::paradox::TableDefinition RowCommandTable() {
  using engine::FieldType;
  engine::paradox::TableDefinition def;
  def.fields = {{"Id", FieldType::kInteger, 0, false}, {"Name", FieldType::kString, 20, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false},
                 {"ByName", {"Name"}, false, false, false, false}};
  return def;
}

int RunRowCommand(const std::string& command, const std::string& dir, const std::string& table,
                  int64_t id, const std::string& name) {
  std::vector<std::string> args = {command, dir, table, std::to_string(id)};
  if (command != "delete") args.push_back(name);
  return RunChild(args);
}

}  // namespace vellum::test
