// SIGINT stops a load between tables. The program runs as a child process
// whose standard output is a small pipe: the test reads the first progress
// line, sends SIGINT, and only then drains the rest. Until it drains, the
// child can get at most a pipe's worth of lines ahead, so the signal always
// arrives in the middle of the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "dictionary/schema.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"

namespace vellum::cli {
namespace {

namespace fs = std::filesystem;

using engine::FieldType;
using engine::paradox::Table;
using engine::paradox::TableDefinition;

constexpr int kTables = 300;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// Reads one byte at a time up to and including the first line end, so that
// nothing after it leaves the pipe.
std::string ReadLine(int fd) {
  std::string line;
  char c = 0;
  while (read(fd, &c, 1) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

struct Child {
  pid_t pid = -1;
  int out = -1;  // read end of its standard output
};

// Starts vellum-cli with `args`, its output into a pipe of one page, its
// errors into `err_file`, no terminal.
Child Start(const std::vector<std::string>& args, const std::string& err_file) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  fcntl(pipe_fds[0], F_SETPIPE_SZ, 4096);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = open("/dev/null", O_RDONLY);
    dup2(err, STDERR_FILENO);
    dup2(in, STDIN_FILENO);
    close(pipe_fds[0]);
    const std::string program = test::CliPath();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  return {pid, pipe_fds[0]};
}

TEST(InterruptCliTest, SigintStopsTheLoadBetweenTablesLeavingEachWhole) {
  test::TempDir dir;
  const std::string src = dir.file("src");
  const std::string dict = dir.file("dict");
  fs::create_directories(src);
  fs::create_directories(dict);
  dictionary::CreateDictionaryTables(dict);
  // One table, copied under many long names (long names fill the pipe with
  // fewer tables).
  TableDefinition def;
  def.fields = {{"ID", FieldType::kInteger, 0},
                {"NAME", FieldType::kString, 20},
                {"PRICE", FieldType::kFloat, 0}};
  def.indexes = {{"", {"ID"}, true, true}};
  Table::Create(src, "MODEL", def);
  std::vector<std::string> names;
  for (int i = 0; i < kTables; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "A_TABLE_WITH_A_FAIRLY_LONG_NAME_%04d", i);
    names.push_back(name);
    fs::copy_file(src + "/MODEL.DB", src + "/" + name + ".DB");
    fs::copy_file(src + "/MODEL.PX", src + "/" + name + ".PX");
  }
  fs::remove(src + "/MODEL.DB");
  fs::remove(src + "/MODEL.PX");

  std::vector<std::string> args = {
      "load", "--config", dir.file("aliases.conf"), "-p", dict, "--source", src, "--as", "S"};
  args.insert(args.end(), names.begin(), names.end());
  const std::string err_file = dir.file("err.txt");
  const Child child = Start(args, err_file);
  ASSERT_GT(child.pid, 0);
  const std::string first = ReadLine(child.out);
  ASSERT_EQ(first, "Loading \"" + names[0] + "\n");
  ASSERT_EQ(kill(child.pid, SIGINT), 0);
  const std::string rest = ReadAll(child.out);
  close(child.out);
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);

  std::ifstream err_in(err_file);
  const std::string err((std::istreambuf_iterator<char>(err_in)), {});
  ASSERT_TRUE(WIFEXITED(status)) << err;
  EXPECT_EQ(WEXITSTATUS(status), kExitInterrupted) << err;

  // Every table announced was loaded whole; none after it.
  const std::vector<std::string> shown = Lines(first + rest);
  ASSERT_GE(shown.size(), 1u);
  ASSERT_LT(shown.size(), names.size());
  for (size_t i = 0; i < shown.size(); ++i) {
    ASSERT_EQ(shown[i], "Loading \"" + names[i]);
  }
  EXPECT_NE(err.find("interrupted before \"" + names[shown.size()] + "\""), std::string::npos)
      << err;

  auto tables = Table::Open(dict, dictionary::kTablesTable);
  auto fields = Table::Open(dict, dictionary::kFieldsTable);
  auto indexes = Table::Open(dict, dictionary::kIndexTable);
  ASSERT_EQ(tables->recordCount(), shown.size());
  std::map<int64_t, std::string> name_of_code;
  for (uint32_t i = 0; i < tables->recordCount(); ++i) {
    const auto row = tables->read(i);
    name_of_code[std::get<int64_t>(row[0])] = std::get<std::string>(row[2]);
  }
  std::map<std::string, int> fields_of;
  for (uint32_t i = 0; i < fields->recordCount(); ++i) {
    ++fields_of[name_of_code.at(std::get<int64_t>(fields->read(i)[0]))];
  }
  std::map<std::string, int> indexes_of;
  for (uint32_t i = 0; i < indexes->recordCount(); ++i) {
    ++indexes_of[name_of_code.at(std::get<int64_t>(indexes->read(i)[0]))];
  }
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(fields_of[names[i]], 3) << names[i];
    EXPECT_EQ(indexes_of[names[i]], 1) << names[i];
  }
  for (auto* table : {tables.get(), fields.get(), indexes.get()}) {
    EXPECT_TRUE(table->verify().empty()) << table->structure().name;
  }
}

}  // namespace
}  // namespace vellum::cli
