// Directories of many tables: what every vellum-cli command costs per table
// when one directory holds 100, 1,000 or 10,000 tables, side by side in one
// run with copying the same files and syncing them (`cp`, then `sync`: the
// durable floor of writing that many files).
//
// Every table is a copy of one small keyed table with its primary index
// (.PX), a secondary index (.X02/.Y02) and validity checks (.VAL): five
// files a table. Per size, each command runs as a user runs it, in a fresh
// process (this program run again with --cli-child, which calls the same
// entry point as vellum-cli and reports the high-water mark of its resident
// memory, VmHWM):
//  - load:        load -p DICT --source DIR --as ALIAS --yes-all (every table)
//  - list:        list -p DICT --alias ALIAS -o FILE
//  - rebuild -c:  rebuild -p DICT -a ALIAS -d WORK -c (WORK a copy of DIR)
//  - rebuild:     rebuild -p DICT -a ALIAS -d WORK (in place, keeping rows)
//  - verify:      the integrity check of every table of DIR, in one process
// Each timed run starts from files prepared outside the timed region and
// written back (`sync`). Google Benchmark prints its table; a summary with
// the time per table, the peak memory and the targets follows.
//
// Environment: VELLUM_BENCH_TABLES (default "100,1000,10000") lists the
// sizes; VELLUM_BENCH_REPETITIONS (default 3) the runs of each command at
// each size; VELLUM_BENCH_DIR the directory for the tables (default: a new
// directory under the system's temporary directory, removed at the end).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "dictionary/schema.h"
#include "engine/paradox/table.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vellum::bench::PeakRssKb;
using vellum::bench::SummaryReporter;
using vellum::engine::FieldType;
using vellum::engine::Value;
using vellum::engine::paradox::Row;
using vellum::engine::paradox::Table;
using vellum::engine::paradox::TableDefinition;
using vellum::engine::paradox::ValidityCheck;

constexpr char kChildFlag[] = "--cli-child";
constexpr char kVerifyCommand[] = "verify-directory";
constexpr int kRowsPerTable = 20;

std::string g_root;
std::vector<int> g_sizes = {100, 1000, 10000};
int g_repetitions = 3;

// ---------------------------------------------------------------------------
// The tables

std::string Directory(const std::string& what, int tables) {
  return g_root + "/" + what + "-" + std::to_string(tables);
}

std::string Alias(int tables) { return "DIR" + std::to_string(tables); }

TableDefinition TemplateDefinition() {
  TableDefinition def;
  def.fields = {{"ID", FieldType::kInteger, 0, true},
                {"NAME", FieldType::kString, 20, false},
                {"CITY", FieldType::kString, 20, false},
                {"AMOUNT", FieldType::kCurrency, 0, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false},
                 {"NAME", {"NAME"}, false, false, false, false}};
  ValidityCheck amount;
  amount.field_number = 4;
  amount.has_min = true;  // 0.0
  ValidityCheck city;
  city.field_number = 3;
  city.has_default = true;
  std::memcpy(city.def.data(), "Rome", 4);
  def.checks = {city, amount};
  return def;
}

// The table every table of a directory is a copy of.
std::string TemplateDirectory() {
  const std::string dir = g_root + "/template";
  if (fs::exists(dir + "/TEMPLATE.DB")) return dir;
  fs::create_directories(dir);
  Table::Create(dir, "TEMPLATE", TemplateDefinition());
  auto table = Table::Open(dir, "TEMPLATE", {.writable = true, .exclusive = true});
  for (int i = 1; i <= kRowsPerTable; ++i) {
    table->insert(Row{Value{int64_t{i}}, Value{"name " + std::to_string(i % 7)},
                      Value{std::string("city")}, Value{i * 2.5}});
  }
  table->flush();
  return dir;
}

std::string TableName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "T%05d", i);
  return name;
}

// Runs a program with `args` and waits for it; false when it fails.
bool Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Sync() {
  if (!Spawn({"sync"})) throw std::runtime_error("sync failed");
}

// The directory of `tables` copies of the template, made once.
std::string SourceDirectory(int tables) {
  const std::string dir = Directory("tables", tables);
  if (fs::exists(dir + "/" + TableName(tables) + ".VAL")) return dir;
  const std::string from = TemplateDirectory();
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (int i = 1; i <= tables; ++i) {
    for (const char* ext : {".DB", ".PX", ".X02", ".Y02", ".VAL"}) {
      fs::copy_file(from + "/TEMPLATE" + ext, dir + "/" + TableName(i) + ext);
    }
  }
  Sync();
  return dir;
}

// A fresh copy of the source directory (outside the timed region).
std::string WorkCopy(int tables) {
  const std::string work = Directory("work", tables);
  fs::remove_all(work);
  if (!Spawn({"cp", "-r", SourceDirectory(tables), work})) throw std::runtime_error("cp failed");
  Sync();
  return work;
}

// ---------------------------------------------------------------------------
// Running a command in a fresh process

struct ChildRun {
  double seconds = 0;  // wall time of the whole process
  long peak_kb = 0;    // its VmHWM
  int status = -1;
};

ChildRun RunChild(const std::vector<std::string>& args) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> all = {"directory_bench", kChildFlag};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  std::string output;
  char buffer[256];
  ssize_t got;
  while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, got);
  close(pipe_fds[0]);
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  ChildRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::istringstream in(output);
  in >> run.peak_kb >> run.status;
  if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0 || run.status != 0) {
    std::string command;
    for (const auto& a : args) command += " " + a;
    throw std::runtime_error("command failed:" + command + " (status " +
                             std::to_string(run.status) + ")");
  }
  return run;
}

// The child: runs one command with its output thrown away, then reports its
// peak memory and exit status.
int ChildMain(int argc, char** argv) {
  std::vector<std::string> args(argv + 2, argv + argc);
  std::ofstream null("/dev/null");
  int status = 0;
  if (!args.empty() && args[0] == kVerifyCommand) {
    for (const std::string& name : vellum::engine::paradox::ListTables(args[1])) {
      if (vellum::cli::Verify({args[1], name}, vellum::cli::VerifyFormat::kText, null) != 0) {
        status = 1;
      }
    }
  } else {
    status = vellum::cli::RunCli(args, null, null);
  }
  std::printf("%ld %d\n", PeakRssKb(), status);
  return 0;
}

// ---------------------------------------------------------------------------
// The benchmarks

// The dictionary holding the tables of size `tables`, loaded once when no
// load benchmark did it.
std::string Dictionary(int tables) { return Directory("dictionary", tables); }

void FreshDictionary(int tables) {
  const std::string dict = Dictionary(tables);
  fs::remove_all(dict);
  fs::create_directories(dict);
  vellum::dictionary::CreateDictionaryTables(dict);
}

std::vector<std::string> LoadArgs(int tables) {
  return {"load", "-p",          Dictionary(tables), "--source", SourceDirectory(tables),
          "--as", Alias(tables), "--yes-all"};
}

std::string LoadedDictionary(int tables) {
  static std::map<int, bool> loaded;
  if (!loaded[tables]) {
    FreshDictionary(tables);
    RunChild(LoadArgs(tables));
    loaded[tables] = true;
  }
  return Dictionary(tables);
}

void Report(benchmark::State& state, const ChildRun& run, int tables) {
  state.SetIterationTime(run.seconds);
  state.counters["ms_per_table"] = run.seconds * 1000.0 / tables;
  state.counters["peak_MB"] = run.peak_kb / 1024.0;
}

void BM_CopyAndSync(benchmark::State& state) {
  const int tables = static_cast<int>(state.range(0));
  const std::string source = SourceDirectory(tables);
  const std::string copy = Directory("copy", tables);
  for (auto _ : state) {
    fs::remove_all(copy);
    Sync();
    const auto start = std::chrono::steady_clock::now();
    if (!Spawn({"cp", "-r", source, copy})) throw std::runtime_error("cp failed");
    Sync();
    ChildRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Report(state, run, tables);
  }
}

void BM_Load(benchmark::State& state) {
  const int tables = static_cast<int>(state.range(0));
  SourceDirectory(tables);
  for (auto _ : state) {
    FreshDictionary(tables);
    Sync();
    Report(state, RunChild(LoadArgs(tables)), tables);
  }
}

void BM_List(benchmark::State& state) {
  const int tables = static_cast<int>(state.range(0));
  const std::string dict = LoadedDictionary(tables);
  const std::string out = Directory("listing", tables) + ".txt";
  for (auto _ : state) {
    Report(state, RunChild({"list", "-p", dict, "--alias", Alias(tables), "-o", out}), tables);
  }
}

void BM_RebuildRecreate(benchmark::State& state) {
  const int tables = static_cast<int>(state.range(0));
  const std::string dict = LoadedDictionary(tables);
  for (auto _ : state) {
    const std::string work = WorkCopy(tables);
    Report(state, RunChild({"rebuild", "-p", dict, "-a", Alias(tables), "-d", work, "-c"}), tables);
  }
}

void BM_RebuildInPlace(benchmark::State& state) {
  const int tables = static_cast<int>(state.range(0));
  const std::string dict = LoadedDictionary(tables);
  for (auto _ : state) {
    const std::string work = WorkCopy(tables);
    Report(state, RunChild({"rebuild", "-p", dict, "-a", Alias(tables), "-d", work}), tables);
  }
}

void BM_Verify(benchmark::State& state) {
  const int tables = static_cast<int>(state.range(0));
  const std::string source = SourceDirectory(tables);
  for (auto _ : state) Report(state, RunChild({kVerifyCommand, source}), tables);
}

void Register() {
  using Fn = void (*)(benchmark::State&);
  const std::pair<const char*, Fn> all[] = {
      {"BM_CopyAndSync", BM_CopyAndSync},
      {"BM_Load", BM_Load},
      {"BM_List", BM_List},
      {"BM_RebuildRecreate", BM_RebuildRecreate},
      {"BM_RebuildInPlace", BM_RebuildInPlace},
      {"BM_Verify", BM_Verify},
  };
  for (const auto& [name, fn] : all) {
    auto* b = benchmark::RegisterBenchmark(name, fn);
    for (int size : g_sizes) b->Arg(size);
    b->Iterations(1)->Repetitions(g_repetitions)->UseManualTime()->Unit(benchmark::kMillisecond);
    b->ReportAggregatesOnly(false);
  }
}

// ---------------------------------------------------------------------------
// Summary

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Median time per table in ms of a benchmark at a size (0 when it did not run).
double PerTable(const SummaryReporter& r, const std::string& name, int tables) {
  return r.median(name + "/" + std::to_string(tables)) / tables;
}

double PeakMb(const SummaryReporter& r, const std::string& name, int tables) {
  const std::string prefix = name + "/" + std::to_string(tables);
  std::vector<double> peaks;
  for (const auto& [run, counters] : r.counters) {
    if (run.rfind(prefix + "/", 0) != 0 && run != prefix) continue;
    auto it = counters.find("peak_MB");
    if (it != counters.end() && it->second > 0) peaks.push_back(it->second);
  }
  return Median(peaks);
}

void PrintSummary(const SummaryReporter& r) {
  const std::pair<const char*, const char*> rows[] = {{"BM_CopyAndSync", "cp, then sync"},
                                                      {"BM_Load", "load"},
                                                      {"BM_List", "list"},
                                                      {"BM_RebuildRecreate", "rebuild -c"},
                                                      {"BM_RebuildInPlace", "rebuild"},
                                                      {"BM_Verify", "verify"}};
  std::printf("\nSummary: median time per table (ms) and peak memory (MB)\n%-16s", "");
  for (int size : g_sizes) std::printf(" %10d tables     ", size);
  std::printf("  largest/smallest\n");
  const auto ran = [&](const char* name) { return PerTable(r, name, g_sizes.front()) > 0; };
  for (const auto& [name, label] : rows) {
    std::printf("%-16s", label);
    if (!ran(name)) {
      std::printf(" (not run)\n");
      continue;
    }
    for (int size : g_sizes) {
      std::printf(" %8.3f ms %7.1f MB", PerTable(r, name, size), PeakMb(r, name, size));
    }
    const double first = PerTable(r, name, g_sizes.front());
    const double last = PerTable(r, name, g_sizes.back());
    std::printf("  %6.2f\n", first > 0 ? last / first : 0.0);
  }
  std::printf("\nTargets:\n");
  for (const auto& [name, label] : rows) {
    if (std::string(name) == "BM_CopyAndSync" || !ran(name)) continue;
    const double first = PerTable(r, name, g_sizes.front());
    const double last = PerTable(r, name, g_sizes.back());
    const double ratio = first > 0 ? last / first : 0;
    std::printf("  %-11s per table at %d within 1.5x of %d: %.2fx %s\n", label, g_sizes.back(),
                g_sizes.front(), ratio, ratio <= 1.5 ? "met" : "MISSED");
  }
  for (int size : g_sizes) {
    if (!ran("BM_Load") || !ran("BM_RebuildRecreate") || !ran("BM_CopyAndSync")) break;
    const double load = PerTable(r, "BM_Load", size);
    const double recreate = PerTable(r, "BM_RebuildRecreate", size);
    const double floor = PerTable(r, "BM_CopyAndSync", size);
    std::printf(
        "  %6d tables: load %.3f ms/table (<= 1) %s; rebuild -c %.3f ms/table (<= 3) %s, "
        "%.2fx cp+sync (<= 5) %s\n",
        size, load, load <= 1 ? "met" : "MISSED", recreate, recreate <= 3 ? "met" : "MISSED",
        floor > 0 ? recreate / floor : 0.0, floor > 0 && recreate / floor <= 5 ? "met" : "MISSED");
  }
}

std::vector<int> ParseSizes(const char* text) {
  std::vector<int> sizes;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) sizes.push_back(std::stoi(item));
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], kChildFlag) == 0) return ChildMain(argc, argv);
  if (const char* sizes = std::getenv("VELLUM_BENCH_TABLES")) g_sizes = ParseSizes(sizes);
  if (g_sizes.empty()) return 2;
  if (const char* repetitions = std::getenv("VELLUM_BENCH_REPETITIONS")) {
    g_repetitions = std::max(1, std::atoi(repetitions));
  }
  vellum::bench::ScratchDirectory scratch("vellum-directory-bench");
  g_root = scratch.path();
  Register();
  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter);
  return 0;
}
