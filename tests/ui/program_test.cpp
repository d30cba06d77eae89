// The desktop program end to end, as a new user would meet it: a dictionary
// filled with `vellum-cli load` from real tables, then `vellum` started as a
// process on the offscreen platform, with the program's test driver acting
// as the user (it presses Run and answers every box, writing down what it
// saw). The tables it rebuilt are checked with `vellum-cli verify`.
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include "tests/support/temp_dir.h"

namespace vellum::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTables[] = {"CUSTOMER", "EMPLOYEE", "FILMS", "STORE", "TAXRATE"};

struct ProcessRun {
  int status = -1;
  std::string out;
  std::vector<std::vector<std::string>> transcript;  // kind, then fields

  // The lines of `kind`.
  std::vector<std::vector<std::string>> lines(const std::string& kind) const {
    std::vector<std::vector<std::string>> found;
    for (const auto& line : transcript) {
      if (line[0] == kind) found.push_back(line);
    }
    return found;
  }
};

std::string Unescaped(const std::string& field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      text += field[i];
      continue;
    }
    const char c = field[++i];
    text += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
  }
  return text;
}

std::vector<std::vector<std::string>> ReadTranscript(const std::string& path) {
  std::vector<std::vector<std::string>> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(Unescaped(field));
    if (!fields.empty()) lines.push_back(fields);
  }
  return lines;
}

// The tables of the corpus's mtdemo copied into <temp>/data, the alias DEMO
// naming that directory, and a dictionary in <temp>/dict loaded from it.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CopyFolderFiles(CorpusDir() + "/leonhad_paradoxdriver/mtdemo", data_);
    env_.insert("VELLUM_CONFIG", QString::fromStdString(dir_.file("aliases.conf")));
    env_.insert("XDG_CONFIG_HOME", QString::fromStdString(dir_.file("config")));
    env_.insert("QT_QPA_PLATFORM", "offscreen");
    ASSERT_EQ(Cli({"alias", "add", "DEMO", data_}).status, 0);
    ASSERT_EQ(Cli({"create-dictionary", dict_}).status, 0);
    ASSERT_EQ(Cli({"load", "-p", dict_, "--source", data_, "--as", "DEMO", "--yes-all"}).status, 0);
  }

  ProcessRun Start(const char* program, const std::vector<std::string>& args,
                   const QProcessEnvironment& extra = {}) {
    QProcess process;
    QProcessEnvironment env = env_;
    env.insert(extra);
    const std::string transcript = dir_.file("transcript.txt");
    fs::remove(transcript);
    env.insert("VELLUM_TEST_TRANSCRIPT", QString::fromStdString(transcript));
    process.setProcessEnvironment(env);
    QStringList arguments;
    for (const std::string& arg : args) arguments << QString::fromStdString(arg);
    process.start(program, arguments);
    ProcessRun run;
    if (!process.waitForFinished(120000)) {
      process.kill();
      process.waitForFinished();
      ADD_FAILURE() << program << " did not end";
      return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.transcript = ReadTranscript(transcript);
    return run;
  }
  ProcessRun Cli(const std::vector<std::string>& args) { return Start(VELLUM_CLI_PATH, args); }
  ProcessRun Vellum(const std::vector<std::string>& args, const QProcessEnvironment& extra = {}) {
    return Start(VELLUM_PROGRAM_PATH, args, extra);
  }

  TempDir dir_;
  std::string data_ = dir_.file("data");
  std::string dict_ = dir_.file("dict");
  QProcessEnvironment env_ = QProcessEnvironment::systemEnvironment();
};

TEST_F(ProgramTest, AnAliasRebuiltIntoANewDirectoryHasTheStructureOfItsSource) {
  const std::string out = dir_.file("out");
  const ProcessRun run = Vellum({"-p", dict_, "-a", "DEMO", "-d", out});
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.lines("batch").size(), 1u);
  EXPECT_EQ(run.lines("batch")[0],
            (std::vector<std::string>{"batch", "Batch form", "DEMO", out, "Rebuilding tables"}));
  EXPECT_TRUE(run.lines("engine-error").empty());
  EXPECT_TRUE(run.lines("box").empty());
  for (const char* table : kTables) {
    const std::string rebuilt = out + "/" + table;
    EXPECT_EQ(Cli({"verify", rebuilt}).status, 0) << table;
    // The same fields and key as the table the dictionary was loaded from.
    const std::string source_fields = Cli({"describe", data_ + "/" + table}).out;
    const std::string rebuilt_fields = Cli({"describe", rebuilt}).out;
    const auto fields_of = [](const std::string& json) {
      return json.substr(json.find("\"fields\""),
                         json.find("\"indexes\"") - json.find("\"fields\""));
    };
    EXPECT_EQ(fields_of(rebuilt_fields), fields_of(source_fields)) << table;
  }
}

TEST_F(ProgramTest, AnUnknownOptionShowsTheHelpAndEndsWithTheUsageStatus) {
  const ProcessRun run = Vellum({"-p", dict_, "-x"});
  EXPECT_EQ(run.status, 2);  // as vellum-cli ends on an unknown option
  ASSERT_EQ(run.lines("box").size(), 1u);
  EXPECT_EQ(run.lines("box")[0][1], "Information");
  EXPECT_EQ(run.lines("box")[0][2].rfind("Tables rebuilding\r\n", 0), 0u);
  EXPECT_TRUE(run.lines("batch").empty());
}

TEST_F(ProgramTest, ATableInUseFailsTheRunInTheErrorDialogAndTheWindowStays) {
  const std::string store_rows = Cli({"dump", data_ + "/STORE"}).out;
  // Another program holds STORE open.
  const int fd = ::open((data_ + "/STORE.DB").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  const ProcessRun run = Vellum({"-p", dict_, "-a", "DEMO"});
  ::close(fd);
  EXPECT_EQ(run.status, 1);
  ASSERT_EQ(run.lines("engine-error").size(), 1u);
  EXPECT_NE(run.lines("engine-error")[0][1].find("STORE.DB"), std::string::npos);
  // The window stayed open after the error, showing the failing table and
  // its place in the run.
  ASSERT_EQ(run.lines("batch-open").size(), 1u);
  EXPECT_EQ(run.lines("batch-open")[0][1], "Regenerating \"DEMO.STORE\"...\n4 of 5");
  // The tables before it were rebuilt; its rows are all still there.
  for (const char* table : {"CUSTOMER", "EMPLOYEE", "FILMS"}) {
    EXPECT_EQ(Cli({"verify", data_ + "/" + table}).status, 0) << table;
  }
  EXPECT_EQ(Cli({"dump", data_ + "/STORE"}).out, store_rows);
}

TEST_F(ProgramTest, AnInteractiveStartOpensTheChosenDictionaryAndRemembersIt) {
  QProcessEnvironment choice;
  choice.insert("VELLUM_TEST_DIRECTORY", QString::fromStdString(dict_));
  const ProcessRun run = Vellum({}, choice);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines("directory-dialog"),
            (std::vector<std::vector<std::string>>{
                {"directory-dialog", "Open data dictionary...", dict_}}));
  EXPECT_EQ(
      run.lines("main"),
      (std::vector<std::vector<std::string>>{{"main", "Central Data dictionary manager", dict_}}));
  std::ifstream settings(dir_.file("config/Corvane/Vellum.conf"));
  std::stringstream text;
  text << settings.rdbuf();
  EXPECT_NE(text.str().find("LastDirectory=" + dict_), std::string::npos) << text.str();
}

TEST_F(ProgramTest, CancelAtStartEndsTheProgramWithoutItsMainWindow) {
  const ProcessRun run = Vellum({});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines("directory-dialog").size(), 1u);
  EXPECT_TRUE(run.lines("main").empty());
}

// The menu commands of an interactive start: the test driver gives them in
// order, answering the chooser and every question with its default button.
QProcessEnvironment Commands(const std::string& dictionary, const std::vector<std::string>& lines) {
  QProcessEnvironment extra;
  extra.insert("VELLUM_TEST_DIRECTORY", QString::fromStdString(dictionary));
  std::string commands;
  for (const std::string& line : lines) commands += line + "\n";
  extra.insert("VELLUM_TEST_COMMANDS", QString::fromStdString(commands));
  return extra;
}

TEST_F(ProgramTest, TablesRebuiltAndListedFromTheMenuMatchTheCommandLine) {
  const std::string out = dir_.file("new");
  fs::create_directories(out);  // the chooser takes an existing directory
  const std::string listing = dir_.file("listing.txt");
  const ProcessRun run =
      Vellum({}, Commands(dict_, {"rebuild\tDEMO\t" + out + "\tFILMS,CUSTOMER",
                                  "list\tDEMO\t" + listing + "\tFILMS,CUSTOMER", "about"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.lines("command-failed").empty());
  EXPECT_TRUE(run.lines("engine-error").empty());
  EXPECT_EQ(run.lines("chooser"),
            (std::vector<std::vector<std::string>>{
                {"chooser", "Choose tables", "Out directory", "DEMO", out, "FILMS,CUSTOMER"},
                {"chooser", "Choose tables", "Filename", "DEMO", listing, "FILMS,CUSTOMER"}}));
  const auto boxes = run.lines("box");
  ASSERT_EQ(boxes.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const std::string table = i == 0 ? "FILMS" : "CUSTOMER";
    EXPECT_EQ(boxes[i][1], "Confirm");
    EXPECT_EQ(boxes[i][2], "Do you want to rebuild the table \"" + table +
                               "\" in the directory \"" + out + "\"?");
  }
  ASSERT_EQ(run.lines("about").size(), 1u);
  EXPECT_EQ(run.lines("about")[0][1], "About Vellum 2.0");
  EXPECT_EQ(run.lines("about")[0][2], "Vellum");
  EXPECT_EQ(run.lines("about")[0][3], " Versione 2.0.19");
  EXPECT_EQ(run.lines("main").size(), 1u);

  // Only the two tables were rebuilt, and they are sound.
  for (const char* table : kTables) {
    const bool chosen = std::string(table) == "FILMS" || std::string(table) == "CUSTOMER";
    EXPECT_EQ(fs::exists(out + "/" + table + ".DB"), chosen) << table;
  }
  EXPECT_EQ(Cli({"verify", out + "/FILMS"}).status, 0);
  EXPECT_EQ(Cli({"verify", out + "/CUSTOMER"}).status, 0);
  // The listing is the command line's listing of the same tables, byte for
  // byte.
  const std::string expected = dir_.file("expected.txt");
  ASSERT_EQ(
      Cli({"list", "-p", dict_, "--alias", "DEMO", "-o", expected, "FILMS", "CUSTOMER"}).status, 0);
  const std::string written = ReadFile(listing);
  EXPECT_FALSE(written.empty());
  EXPECT_EQ(written, ReadFile(expected));
}

// The corpus's encrypted tables loaded without their password (their
// structure is clear), and one of them rebuilt in place by the batch window:
// the password box comes up once, the test driver types the password, and
// the table stays encrypted with its rows.
TEST_F(ProgramTest, AnEncryptedTableIsRebuiltAfterThePasswordBox) {
  env_.remove("VELLUM_PASSWORD");
  const std::string encrypted = dir_.file("encrypted");
  CopyFolderFiles(CorpusDir() + "/leonhad_paradoxdriver/encrypt", encrypted);
  ASSERT_EQ(Cli({"alias", "add", "ENC", encrypted}).status, 0);
  ASSERT_EQ(Cli({"load", "-p", dict_, "--source", encrypted, "--as", "ENC", "--yes-all"}).status,
            0);
  const std::string table = encrypted + "/encrypted";
  const std::string rows = Cli({"dump", table, "--password", "123"}).out;
  ASSERT_NE(rows.find("Last one"), std::string::npos);
  QProcessEnvironment answer;
  answer.insert("VELLUM_TEST_PASSWORD", "123");
  const ProcessRun run = Vellum({"-p", dict_, "-t", "ENC.encrypted", "-d", encrypted}, answer);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.lines("engine-error").empty());
  EXPECT_EQ(run.lines("password"),
            (std::vector<std::vector<std::string>>{
                {"password", "Password",
                 "Table \"" + encrypted + "/encrypted.db\" is encrypted.\nEnter its password:"}}));
  EXPECT_EQ(Cli({"verify", table}).status, 1);  // still encrypted
  EXPECT_EQ(Cli({"verify", table, "--password", "123"}).status, 0);
  EXPECT_EQ(Cli({"dump", table, "--password", "123"}).out, rows);
}

// The shipped program has no test driver: with every variable the driver
// acts on set, nobody presses Run or answers for the user. The batch window
// stays open, untouched, until the program is ended from outside.
TEST_F(ProgramTest, TheShippedProgramIgnoresTheTestDriversVariables) {
  const std::string out = dir_.file("out");
  const std::string transcript = dir_.file("transcript.txt");
  const std::string shots = dir_.file("shots");
  fs::create_directories(shots);
  QProcessEnvironment env = env_;
  env.insert("VELLUM_TEST_TRANSCRIPT", QString::fromStdString(transcript));
  env.insert("VELLUM_TEST_SCREENSHOTS", QString::fromStdString(shots));
  env.insert("VELLUM_TEST_DIRECTORY", QString::fromStdString(dict_));
  env.insert("VELLUM_TEST_COMMANDS", "about\n");
  QProcess process;
  process.setProcessEnvironment(env);
  process.start(VELLUM_SHIPPED_PATH, {"-p", QString::fromStdString(dict_), "-a", "DEMO", "-d",
                                      QString::fromStdString(out)});
  ASSERT_TRUE(process.waitForStarted());
  // The driven program has pressed Run and ended well within this time.
  EXPECT_FALSE(process.waitForFinished(3000));
  process.kill();
  process.waitForFinished();
  EXPECT_FALSE(fs::exists(transcript));
  EXPECT_TRUE(fs::is_empty(shots));
  EXPECT_FALSE(fs::exists(out + "/FILMS.DB"));
}

// Without a display the version and the help are printed on the terminal,
// where Qt would stop the program for want of a display.
TEST_F(ProgramTest, VersionAndHelpWithoutADisplayArePrintedOnTheTerminal) {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env_.remove(name);
  for (const char* program : {VELLUM_SHIPPED_PATH, VELLUM_PROGRAM_PATH}) {
    const ProcessRun version = Start(program, {"--version"});
    EXPECT_EQ(version.status, 0) << program;
    EXPECT_EQ(version.out, std::string("vellum ") + VELLUM_VERSION + "\n") << program;
    for (const char* help : {"-h", "--help"}) {
      const ProcessRun run = Start(program, {help});
      EXPECT_EQ(run.status, 0) << help;
      EXPECT_EQ(run.out.rfind("Tables rebuilding\n", 0), 0u) << help << ": " << run.out;
      EXPECT_EQ(run.out.find('\r'), std::string::npos) << help;
    }
  }
  // With a screen, --version is still printed, not the batch help box.
  env_.insert("QT_QPA_PLATFORM", "offscreen");
  const ProcessRun version = Vellum({"--version"});
  EXPECT_EQ(version.out, std::string("vellum ") + VELLUM_VERSION + "\n");
  EXPECT_TRUE(version.lines("box").empty());
}

// The program follows the user's locale: in Italian the main window has
// its Italian caption.
TEST_F(ProgramTest, AnItalianLocaleGivesTheItalianWindows) {
  env_.remove("LC_ALL");
  env_.remove("LC_MESSAGES");
  env_.insert("LANG", "it_IT.UTF-8");
  QProcessEnvironment choice;
  choice.insert("VELLUM_TEST_DIRECTORY", QString::fromStdString(dict_));
  const ProcessRun run = Vellum({}, choice);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines("main"), (std::vector<std::vector<std::string>>{
                                   {"main", "Gestione centralizzata Data Dictionary", dict_}}));
}

}  // namespace
}  // namespace vellum::test
