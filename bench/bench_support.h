// What the benchmark programs share: SQLite error checks, the directory
// the tables live in, a reporter that keeps every run's time for the
// summary, and peak memory measured in a fresh child process.
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellum::bench {

inline void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
  }
}

// The directory for a program's tables: VELLUM_BENCH_DIR when set (kept),
// otherwise a new temporary directory named after `prefix` (removed when
// this goes).
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& prefix) {
    if (const char* dir = std::getenv("VELLUM_BENCH_DIR")) {
      path_ = dir;
      std::filesystem::create_directories(path_);
      return;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    own_ = true;
  }
  ~ScratchDirectory() {
    std::error_code ec;
    if (own_) std::filesystem::remove_all(path_, ec);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool own_ = false;
};

// Google Benchmark's console output, keeping every iteration's real time
// (by benchmark name, with its arguments when it has any) and the counters
// of each run for the summary printed after it.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string key = run.run_name.function_name;
      if (!run.run_name.args.empty()) key += "/" + run.run_name.args;
      times[key].push_back(run.GetAdjustedRealTime());
      for (const auto& [name, counter] : run.counters) {
        counters[run.benchmark_name()][name] = counter.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Median time of a benchmark in its time unit (0 when it did not run).
  double median(const std::string& name) const {
    auto it = times.find(name);
    if (it == times.end() || it->second.empty()) return 0;
    std::vector<double> t = it->second;
    std::sort(t.begin(), t.end());
    return t.size() % 2 ? t[t.size() / 2] : (t[t.size() / 2 - 1] + t[t.size() / 2]) / 2;
  }
  size_t runs(const std::string& name) const {
    auto it = times.find(name);
    return it == times.end() ? 0 : it->second.size();
  }
  std::map<std::string, std::vector<double>> times;
  std::map<std::string, std::map<std::string, double>> counters;
};

// High-water mark of this process's resident memory in KB (VmHWM). Unlike
// the rusage of a child, it starts afresh at exec, so it does not include
// the memory of the parent the child was forked from.
inline long PeakRssKb() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(status);
  return kb;
}

// Runs this program again with the single argument `flag` and returns what
// it wrote to its standard output; a child that fails raises an error
// naming `what`.
inline std::string RunSelf(const char* program_name, const std::string& flag, const char* what) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    execl("/proc/self/exe", program_name, flag.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe_fds[1]);
  std::string output;
  char buffer[256];
  ssize_t got;
  while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<size_t>(got));
  }
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(std::string(what) + " failed: " + output);
  }
  return output;
}

}  // namespace vellum::bench
