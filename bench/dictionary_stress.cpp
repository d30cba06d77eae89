// Several programs at once on one dictionary and its tables, for a bounded
// time, then a count of what each reported done against what is there.
//
// Workers (each its own process):
//  - loaders run `vellum-cli load` of the source tables under a new alias
//    each time (now and then again under one of their earlier aliases, an
//    upgrade); done = exit status 0;
//  - editors open the data module and append a token of their own to the
//    description of a random table row (edit, post: a read-modify-write);
//    done = the post returned;
//  - rebuilders run `vellum-cli rebuild` of the alias SRC (the source
//    tables' own description) into a new directory, and restructure a
//    source table in place; done = exit status 0.
// Afterwards: `vellum-cli verify` of the dictionary's tables, of every source
// table and of every rebuilt table; every load reported done has each source
// table with all its field and index rows; every token reported done is in
// its description; every source table still holds its rows.
//
//   dictionary_stress [--seconds N] [--loaders N] [--editors N]
//                     [--rebuilders N] [--dir DIR]
//
// Exit status 0 when nothing was lost and nothing is damaged.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/data_module.h"
#include "engine/dataset.h"
#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/support/scripted_ui.h"

namespace {

namespace fs = std::filesystem;
using vellum::engine::Dataset;
using vellum::engine::EDBEngineError;
using vellum::engine::FieldType;
using vellum::engine::Session;
using vellum::engine::Value;
using vellum::engine::paradox::Row;
using vellum::engine::paradox::Table;
using vellum::engine::paradox::TableDefinition;
using Clock = std::chrono::steady_clock;

constexpr int kSourceTables = 6;
constexpr int kRowsPerTable = 300;

struct Settings {
  int seconds = 60;
  int loaders = 3;
  int editors = 2;
  int rebuilders = 1;
  std::string dir;
};

std::string TableName(int t) { return "T" + std::to_string(t); }

// ---------------------------------------------------------------------------
// Running vellum-cli

// Runs vellum-cli with `args`, its output to `log`; its exit status.
int Cli(const std::vector<std::string>& args, const std::string& log) {
  pid_t child = fork();
  if (child == 0) {
    FILE* out = std::freopen(log.c_str(), "a", stdout);
    FILE* err = out ? std::freopen(log.c_str(), "a", stderr) : nullptr;
    if (!err) _exit(126);
    std::vector<std::string> all = {VELLUM_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// ---------------------------------------------------------------------------
// The source tables

void MakeSourceTables(const std::string& dir) {
  TableDefinition def;
  def.fields = {{"Id", FieldType::kInteger, 0, false},
                {"Name", FieldType::kString, 30, false},
                {"Amount", FieldType::kFloat, 0, false},
                {"Day", FieldType::kDate, 0, false},
                {"Note", FieldType::kMemo, 20, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false},
                 {"ByName", {"Name", "Id"}, false, false, false, true}};
  for (int t = 1; t <= kSourceTables; ++t) {
    Table::Create(dir, TableName(t), def);
    auto table = Table::Open(dir, TableName(t), {true, true});
    table->beginBulk();
    for (int r = 0; r < kRowsPerTable; ++r) {
      table->insert(Row{Value{int64_t{r}}, Value{"name " + std::to_string(r * 7 % 101)},
                        Value{r * 1.25}, Value{vellum::engine::Date{730000 + r}},
                        Value{std::string(static_cast<size_t>(r % 3 == 0 ? 60 : 5), 'm')}});
    }
    table->endBulk();
    table->flush();
  }
}

// ---------------------------------------------------------------------------
// Workers. Each writes one line per attempt to its log:
//   load ALIAS STATUS | edit CODE TOKEN | edit-refused REASON | rebuild WHAT STATUS

using Deadline = Clock::time_point;

void Loader(const Settings& s, int n, Deadline end) {
  std::ofstream log(s.dir + "/worker-load" + std::to_string(n) + ".txt");
  std::mt19937 rng(static_cast<unsigned>(n * 7919 + 1));
  std::vector<std::string> mine;
  for (int k = 0; Clock::now() < end; ++k) {
    std::string alias = "L" + std::to_string(n) + "_" + std::to_string(k);
    if (!mine.empty() && rng() % 4 == 0) alias = mine[rng() % mine.size()];  // an upgrade
    const int status =
        Cli({"load", "-p", s.dir + "/dict", "--source", s.dir + "/src", "--as", alias, "--yes-all"},
            s.dir + "/cli-load" + std::to_string(n) + ".txt");
    log << "load " << alias << " " << status << std::endl;
    if (status == 0) mine.push_back(alias);
  }
}

void Editor(const Settings& s, int n, Deadline end) {
  std::ofstream log(s.dir + "/worker-edit" + std::to_string(n) + ".txt");
  std::mt19937 rng(static_cast<unsigned>(n * 104729 + 3));
  Session session(s.dir + "/aliases.conf");
  vellum::test::ScriptedUi ui;
  vellum::dictionary::TdmDataDictionary dm(session, ui);
  dm.OpenDictionary(s.dir + "/dict");
  Dataset& tables = dm.tblTables;
  for (int k = 0; Clock::now() < end; ++k) {
    try {
      tables.refresh();
      if (tables.rowCount() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      const auto at = static_cast<uint32_t>(rng() % tables.rowCount());
      if (!tables.gotoBookmark(tables.bookmarkAt(at))) continue;
      const std::string token = "e" + std::to_string(n) + "." + std::to_string(k) + ";";
      tables.edit();
      auto& description = tables.fieldByName("Descrizione");
      description.setAsString(description.asString() + token);
      const int64_t code = tables.fieldByName("Codice").asInteger();
      tables.post();
      log << "edit " << code << " " << token << std::endl;
    } catch (const EDBEngineError& e) {
      if (tables.active()) tables.cancel();
      log << "edit-refused " << std::hex << e.code() << std::dec << std::endl;
    }
  }
}

void Rebuilder(const Settings& s, int n, Deadline end) {
  std::ofstream log(s.dir + "/worker-rebuild" + std::to_string(n) + ".txt");
  const std::string cli_log = s.dir + "/cli-rebuild" + std::to_string(n) + ".txt";
  for (int k = 0; Clock::now() < end; ++k) {
    if (k % 2 == 0) {
      const std::string out = s.dir + "/out/" + std::to_string(n) + "_" + std::to_string(k);
      const int status = Cli({"rebuild", "-p", s.dir + "/dict", "-a", "SRC", "-d", out}, cli_log);
      log << "rebuild " << out << " " << status << std::endl;
    } else {
      const std::string table = TableName(1 + k / 2 % kSourceTables);
      const int status = Cli(
          {"rebuild", "-p", s.dir + "/dict", "-t", "SRC." + table, "-d", s.dir + "/src"}, cli_log);
      log << "rebuild src/" << table << " " << status << std::endl;
    }
  }
}

// ---------------------------------------------------------------------------
// The count

struct Tally {
  int attempts = 0;
  int done = 0;
  std::map<std::string, int> failures;  // by exit status or error code
};

struct Report {
  std::map<std::string, Tally> kinds;                   // load, edit, rebuild
  std::set<std::string> loaded;                         // aliases whose load reported done
  std::vector<std::pair<int64_t, std::string>> tokens;  // edits reported done
  std::vector<std::string> rebuilt;                     // output directories
  std::vector<std::string> problems;
};

void ReadLogs(const Settings& s, Report* r) {
  for (const auto& entry : fs::directory_iterator(s.dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("worker-", 0) != 0) continue;
    std::ifstream in(entry.path());
    std::string kind, what, result;
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      words >> kind >> what >> result;
      if (kind == "edit") {
        ++r->kinds["edit"].attempts;
        ++r->kinds["edit"].done;
        r->tokens.emplace_back(std::stoll(what), result);
      } else if (kind == "edit-refused") {
        ++r->kinds["edit"].attempts;
        ++r->kinds["edit"].failures["engine error " + what];
      } else {
        Tally& t = r->kinds[kind];
        ++t.attempts;
        if (result == "0") {
          ++t.done;
          if (kind == "load") r->loaded.insert(what);
          if (kind == "rebuild" && what.rfind("src/", 0) != 0) r->rebuilt.push_back(what);
        } else {
          ++t.failures["exit " + result];
        }
      }
    }
  }
}

void Verify(const Settings& s, const std::string& table, Report* r) {
  if (Cli({"verify", table}, s.dir + "/cli-verify.txt") != 0) {
    r->problems.push_back("verify fails: " + table);
  }
}

// Every load reported done holds each source table with all its field and
// index rows; every edit reported done left its token.
void CheckDictionary(const Settings& s, Report* r) {
  const std::string dict = s.dir + "/dict";
  for (const char* t : {"DDTables", "DDFields", "DDIndex"}) Verify(s, dict + "/" + t, r);
  auto tables = Table::Open(dict, "DDTables");
  auto fields = Table::Open(dict, "DDFields");
  auto indexes = Table::Open(dict, "DDIndex");
  std::map<std::string, int64_t> code_of;  // "ALIAS.NAME" -> Codice
  std::map<int64_t, std::string> description;
  for (uint32_t i = 0; i < tables->recordCount(); ++i) {
    const Row row = tables->read(i);
    const int64_t code = std::get<int64_t>(row[0]);
    const std::string key = std::get<std::string>(row[1]) + "." + std::get<std::string>(row[2]);
    if (!code_of.emplace(key, code).second) r->problems.push_back("two rows for " + key);
    const auto* text = std::get_if<std::string>(&row[6]);
    description[code] = text ? *text : "";
  }
  std::map<int64_t, std::set<int64_t>> positions;
  std::map<int64_t, int> index_rows;
  for (uint32_t i = 0; i < fields->recordCount(); ++i) {
    const Row row = fields->read(i);
    positions[std::get<int64_t>(row[0])].insert(std::get<int64_t>(row[1]));
  }
  for (uint32_t i = 0; i < indexes->recordCount(); ++i) {
    ++index_rows[std::get<int64_t>(indexes->read(i)[0])];
  }
  const std::set<int64_t> all_positions = {1, 2, 3, 4, 5};
  for (const std::string& alias : r->loaded) {
    for (int t = 1; t <= kSourceTables; ++t) {
      const std::string key = alias + "." + TableName(t);
      auto it = code_of.find(key);
      if (it == code_of.end()) {
        r->problems.push_back("lost: " + key);
        continue;
      }
      if (positions[it->second] != all_positions) r->problems.push_back("fields lost: " + key);
      if (index_rows[it->second] != 2) r->problems.push_back("indexes lost: " + key);
    }
  }
  for (const auto& [code, token] : r->tokens) {
    if (description[code].find(token) == std::string::npos) {
      r->problems.push_back("edit lost: " + token + " of table code " + std::to_string(code));
    }
  }
}

void CheckTables(const Settings& s, Report* r) {
  for (int t = 1; t <= kSourceTables; ++t) {
    Verify(s, s.dir + "/src/" + TableName(t), r);
    if (Table::Open(s.dir + "/src", TableName(t))->recordCount() != kRowsPerTable) {
      r->problems.push_back("rows lost: src/" + TableName(t));
    }
  }
  for (const std::string& out : r->rebuilt) {
    for (int t = 1; t <= kSourceTables; ++t) Verify(s, out + "/" + TableName(t), r);
  }
}

void Print(const Report& r, double seconds) {
  std::printf("%.0f s of work\n", seconds);
  for (const auto& [kind, t] : r.kinds) {
    std::printf("%-8s %5d attempts, %5d reported done", kind.c_str(), t.attempts, t.done);
    for (const auto& [why, n] : t.failures) std::printf(", %d refused (%s)", n, why.c_str());
    std::printf("\n");
  }
  std::printf("checked: %zu aliases loaded, %zu edit tokens, %zu rebuilt directories\n",
              r.loaded.size(), r.tokens.size(), r.rebuilt.size());
  if (r.problems.empty()) {
    std::printf("nothing lost, nothing damaged\n");
  } else {
    for (const auto& p : r.problems) std::printf("PROBLEM: %s\n", p.c_str());
  }
}

Settings Parse(int argc, char** argv) {
  Settings s;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--seconds") s.seconds = std::stoi(value);
    if (option == "--loaders") s.loaders = std::stoi(value);
    if (option == "--editors") s.editors = std::stoi(value);
    if (option == "--rebuilders") s.rebuilders = std::stoi(value);
    if (option == "--dir") s.dir = value;
  }
  if (s.dir.empty()) {
    s.dir = (fs::temp_directory_path() / ("vellum-stress-" + std::to_string(getpid()))).string();
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const Settings s = Parse(argc, argv);
  fs::create_directories(s.dir + "/src");
  fs::create_directories(s.dir + "/out");
  {
    std::ofstream conf(s.dir + "/aliases.conf");
    conf << "SRC STANDARD " << s.dir << "/src\n";
  }
  setenv("VELLUM_CONFIG", (s.dir + "/aliases.conf").c_str(), 1);
  MakeSourceTables(s.dir + "/src");
  const std::string setup_log = s.dir + "/cli-setup.txt";
  if (Cli({"create-dictionary", s.dir + "/dict"}, setup_log) != 0 ||
      Cli({"load", "-p", s.dir + "/dict", "--source", "SRC", "--as", "SRC"}, setup_log) != 0) {
    std::cerr << "setting up failed; see " << setup_log << "\n";
    return 2;
  }

  const auto start = Clock::now();
  const Deadline end = start + std::chrono::seconds(s.seconds);
  std::vector<pid_t> workers;
  auto spawn = [&](auto work, int n) {
    pid_t child = fork();
    if (child == 0) {
      try {
        work(s, n, end);
      } catch (const std::exception& e) {
        std::cerr << "worker failed: " << e.what() << "\n";
        _exit(1);
      }
      _exit(0);
    }
    workers.push_back(child);
  };
  for (int i = 0; i < s.loaders; ++i) spawn(Loader, i);
  for (int i = 0; i < s.editors; ++i) spawn(Editor, i);
  for (int i = 0; i < s.rebuilders; ++i) spawn(Rebuilder, i);
  int failed_workers = 0;
  for (pid_t w : workers) {
    int status = 0;
    waitpid(w, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed_workers;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  Report report;
  ReadLogs(s, &report);
  CheckDictionary(s, &report);
  CheckTables(s, &report);
  if (failed_workers > 0) {
    report.problems.push_back(std::to_string(failed_workers) + " workers stopped on an error");
  }
  Print(report, seconds);
  std::printf("logs in %s\n", s.dir.c_str());
  return report.problems.empty() ? 0 : 1;
}
