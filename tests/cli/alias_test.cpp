// Tests of `vellum-cli alias`, run in-process through RunCli with string
// streams over alias files in a temporary directory. Files are checked by
// reading them back with the engine's AliasConfig and as text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "engine/session.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/temp_dir.h"

namespace vellum::cli {
namespace {

using engine::AliasConfig;
using test::TempDir;

using Result = test::CliResult;
const auto Invoke = &test::InvokeCli;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Sets VELLUM_CONFIG for the lifetime of the object and restores the earlier
// value (or its absence) afterwards.
class ConfigEnvironment {
 public:
  explicit ConfigEnvironment(const std::string& path) {
    if (const char* old = std::getenv("VELLUM_CONFIG")) saved_ = old;
    ::setenv("VELLUM_CONFIG", path.c_str(), 1);
  }
  ~ConfigEnvironment() {
    if (saved_) {
      ::setenv("VELLUM_CONFIG", saved_->c_str(), 1);
    } else {
      ::unsetenv("VELLUM_CONFIG");
    }
  }
  ConfigEnvironment(const ConfigEnvironment&) = delete;
  ConfigEnvironment& operator=(const ConfigEnvironment&) = delete;

 private:
  std::optional<std::string> saved_;
};

class AliasCommandTest : public ::testing::Test {
 protected:
  AliasCommandTest() : conf_(dir_.file("conf/aliases.conf")) {
    std::filesystem::create_directories(dir_.file("data one"));
    std::filesystem::create_directories(dir_.file("two"));
  }

  Result Alias(std::vector<std::string> args) {
    args.insert(args.begin(), "alias");
    args.push_back("--config");
    args.push_back(conf_);
    return Invoke(args);
  }

  TempDir dir_;
  std::string conf_;
};

TEST_F(AliasCommandTest, AddStoresAbsoluteDirectoriesAndListPrintsThemInOrder) {
  // A missing file means no aliases.
  Result empty = Alias({"list"});
  EXPECT_EQ(empty.status, kExitOk) << empty.err;
  EXPECT_EQ(empty.out, "");

  Result first = Alias({"add", "Zeta", dir_.file("data one")});
  ASSERT_EQ(first.status, kExitOk) << first.err;
  EXPECT_EQ(first.err, "");
  // A relative directory with a trailing separator becomes an absolute path
  // without it.
  const std::string relative =
      std::filesystem::relative(dir_.file("two"), std::filesystem::current_path()).string() + "/";
  Result second = Alias({"add", "alpha", relative, "--driver", "standard"});
  ASSERT_EQ(second.status, kExitOk) << second.err;

  const AliasConfig config = AliasConfig::Load(conf_);
  ASSERT_EQ(config.aliases().size(), 2u);
  EXPECT_EQ(config.aliases()[0].name, "Zeta");
  EXPECT_EQ(config.aliases()[0].type, "STANDARD");
  EXPECT_EQ(config.aliases()[0].path, dir_.path() + "/data one");
  EXPECT_EQ(config.aliases()[1].name, "alpha");
  EXPECT_EQ(config.aliases()[1].type, "STANDARD");
  // relative() resolves symbolic links, so the stored path is the canonical one.
  EXPECT_EQ(config.aliases()[1].path, std::filesystem::weakly_canonical(dir_.file("two")).string());

  Result list = Alias({"list"});
  EXPECT_EQ(list.status, kExitOk) << list.err;
  EXPECT_EQ(list.out, "Zeta STANDARD " + dir_.path() + "/data one\nalpha STANDARD " +
                          config.aliases()[1].path + "\n");
}

TEST_F(AliasCommandTest, RemoveDeletesOneAliasInAnyLetterCase) {
  ASSERT_EQ(Alias({"add", "One", dir_.file("two")}).status, kExitOk);
  ASSERT_EQ(Alias({"add", "Two", dir_.file("two")}).status, kExitOk);
  Result removed = Alias({"remove", "ONE"});
  EXPECT_EQ(removed.status, kExitOk) << removed.err;
  const AliasConfig config = AliasConfig::Load(conf_);
  ASSERT_EQ(config.aliases().size(), 1u);
  EXPECT_EQ(config.aliases()[0].name, "Two");
  EXPECT_EQ(Alias({"list"}).out, "Two STANDARD " + dir_.path() + "/two\n");
}

TEST_F(AliasCommandTest, RemovingAnUnknownAliasFailsAndLeavesTheFileAlone) {
  ASSERT_EQ(Alias({"add", "Keep", dir_.file("two")}).status, kExitOk);
  const std::string before = ReadText(conf_);
  Result r = Alias({"remove", "Gone"});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Contains(r.err, "no alias \"Gone\"")) << r.err;
  EXPECT_TRUE(Contains(r.err, conf_)) << r.err;
  EXPECT_EQ(ReadText(conf_), before);
}

TEST_F(AliasCommandTest, AddRefusesAMissingDirectoryADuplicateAndOtherDrivers) {
  Result missing = Alias({"add", "Nowhere", dir_.file("absent")});
  EXPECT_EQ(missing.status, kExitFailure);
  EXPECT_TRUE(Contains(missing.err, "does not exist")) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(conf_));

  // A file is not a directory.
  std::ofstream(dir_.file("plain.txt")) << "x";
  EXPECT_EQ(Alias({"add", "File", dir_.file("plain.txt")}).status, kExitFailure);

  ASSERT_EQ(Alias({"add", "Data", dir_.file("two")}).status, kExitOk);
  Result twice = Alias({"add", "DATA", dir_.file("data one")});
  EXPECT_EQ(twice.status, kExitFailure);
  EXPECT_TRUE(Contains(twice.err, "already exists")) << twice.err;

  Result driver = Alias({"add", "Other", dir_.file("two"), "--driver", "DBASE"});
  EXPECT_EQ(driver.status, kExitUsage);
  EXPECT_TRUE(Contains(driver.err, "DBASE")) << driver.err;

  const AliasConfig config = AliasConfig::Load(conf_);
  ASSERT_EQ(config.aliases().size(), 1u);
  EXPECT_EQ(config.aliases()[0].path, dir_.path() + "/two");
}

TEST_F(AliasCommandTest, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {"alias"},
      {"alias", "rename", "a", "b"},
      {"alias", "add", "OnlyName"},
      {"alias", "remove"},
      {"alias", "list", "extra"},
      {"alias", "list", "--driver", "STANDARD"},
      {"alias", "list", "--bogus"},
      {"alias", "list", "--config"},
  };
  for (const auto& args : bad) {
    Result r = Invoke(args);
    EXPECT_EQ(r.status, kExitUsage) << args.back() << ": " << r.err;
    EXPECT_TRUE(Contains(r.err, "vellum-cli: alias")) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(Contains(Invoke({"alias", "add", "OnlyName"}).err, "missing DIRECTORY"));
}

TEST_F(AliasCommandTest, HelpForTheCommandAndEachAction) {
  Result all = Invoke({"alias", "--help"});
  EXPECT_EQ(all.status, kExitOk);
  EXPECT_TRUE(Contains(all.out, "VELLUM_CONFIG")) << all.out;
  EXPECT_TRUE(Contains(all.out, "alias remove NAME")) << all.out;
  Result add = Invoke({"alias", "add", "--help"});
  EXPECT_EQ(add.status, kExitOk);
  EXPECT_TRUE(add.out.starts_with("Usage: vellum-cli alias add NAME DIRECTORY")) << add.out;
  EXPECT_TRUE(Contains(add.out, "absolute path")) << add.out;
  EXPECT_TRUE(Invoke({"alias", "list", "-h"}).out.starts_with("Usage: vellum-cli alias list"));
  EXPECT_TRUE(
      Invoke({"alias", "remove", "--help"}).out.starts_with("Usage: vellum-cli alias remove NAME"));
  // The program's help names the command.
  EXPECT_TRUE(Contains(Invoke({"--help"}).out, "alias list|add|remove"));
}

TEST_F(AliasCommandTest, WithoutConfigOptionTheFileComesFromVellumConfig) {
  const std::string env_conf = dir_.file("env/aliases.conf");
  {
    ConfigEnvironment env(env_conf);
    Result add = Invoke({"alias", "add", "FromEnv", dir_.file("two")});
    ASSERT_EQ(add.status, kExitOk) << add.err;
    EXPECT_EQ(Invoke({"alias", "list"}).out, "FromEnv STANDARD " + dir_.path() + "/two\n");
    // The engine's sessions see the alias.
    engine::Session session;
    EXPECT_EQ(session.aliasPath("fromenv"), dir_.path() + "/two");
    EXPECT_EQ(Invoke({"alias", "remove", "fromenv"}).status, kExitOk);
  }
  EXPECT_TRUE(AliasConfig::Load(env_conf).aliases().empty());
  EXPECT_FALSE(std::filesystem::exists(conf_));
}

TEST_F(AliasCommandTest, AMalformedFileIsReportedAndNotOverwritten) {
  std::filesystem::create_directories(dir_.file("conf"));
  std::ofstream(conf_) << "# mine\nbroken\n";
  Result list = Alias({"list"});
  EXPECT_EQ(list.status, kExitFailure);
  EXPECT_TRUE(Contains(list.err, "line 2")) << list.err;
  EXPECT_EQ(Alias({"add", "New", dir_.file("two")}).status, kExitFailure);
  EXPECT_EQ(ReadText(conf_), "# mine\nbroken\n");
}

TEST_F(AliasCommandTest, EveryCommandThatLooksAnAliasUpNamesTheFileAndTheBadLine) {
  const std::string dict = dir_.file("dict");
  ASSERT_EQ(Invoke({"create-dictionary", dict}).status, kExitOk);
  std::filesystem::create_directories(dir_.file("conf"));
  std::ofstream(conf_) << "# mine\nSHOP STANDARD " << dir_.file("two") << "\nBADLINE\n";
  const std::string problem =
      "Alias configuration \"" + conf_ + "\", line 3: expected NAME DRIVER DIRECTORY\n";
  const std::vector<std::vector<std::string>> commands = {
      {"rebuild", "-p", dict, "-a", "SHOP"},
      {"rebuild", "-p", dict, "-a", "SHOP", "--plan"},
      {"rebuild", "-p", dict, "-t", "SHOP.T", "-d", ":SHOP:"},
      {"load", "-p", dict, "--source", "SHOP", "--as", "SHOP"},
      {"alias", "list"},
  };
  for (std::vector<std::string> args : commands) {
    const std::string command = args[0] == "alias" ? "alias list" : args[0];
    SCOPED_TRACE(command);
    args.insert(args.end(), {"--config", conf_});
    const Result r = Invoke(args);
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_EQ(r.err, "vellum-cli: " + command + ": " + problem);
  }
}

}  // namespace
}  // namespace vellum::cli
