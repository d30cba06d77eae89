// Every table of the corpus of real tables, taken the whole road a user
// takes: loaded into a new dictionary, then rebuilt in place from that
// unchanged dictionary. A rebuild from an unchanged definition changes no
// value: `dump` prints every row the same, byte for byte, before and after
// (text, memos and blobs included), and the table's data file is a new one
// (the rebuild did restructure it). Encrypted tables are read and rebuilt
// with their password. The tables that cannot be rebuilt are known and
// refused with their reason, leaving their files as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/cli_invoke.h"
#include "tests/support/temp_dir.h"

namespace vellum::cli {
namespace {

namespace fs = std::filesystem;
using test::InvokeCli;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Corpus folders (relative, '/'-separated) with the .DB files each holds.
std::map<std::string, std::vector<std::string>> CorpusFolders() {
  std::map<std::string, std::vector<std::string>> folders;
  for (const auto& e : fs::recursive_directory_iterator(test::CorpusDir())) {
    if (!e.is_regular_file() || Upper(e.path().extension().string()) != ".DB") continue;
    const std::string folder =
        fs::relative(e.path().parent_path(), test::CorpusDir()).generic_string();
    folders[folder].push_back(e.path().filename().string());
  }
  for (auto& [folder, tables] : folders) std::sort(tables.begin(), tables.end());
  return folders;
}

// The tables a rebuild in place refuses, and a part of the reason it gives.
const std::map<std::string, std::string>& Refused() {
  static const std::map<std::string, std::string> refused = {
      {"teverett_paradoxReader/MEMBRE.DB", "its blob file MEMBRE.MB is missing"},
  };
  return refused;
}

// The password of the corpus's encrypted tables, which the commands read
// their rows with (their structure needs none).
const char* const kCorpusPassword = "123";

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string Stem(const std::string& file) { return fs::path(file).stem().string(); }

TEST(CorpusRebuildTest, AnUnchangedDictionaryRebuildsEveryTableKeepingEveryByte) {
  test::TempDir dir;
  const std::string conf = dir.file("aliases.conf");
  size_t tables = 0, rebuilt = 0, refused = 0;
  int number = 0;
  for (const auto& [folder, names] : CorpusFolders()) {
    SCOPED_TRACE(folder);
    const std::string alias = "C" + std::to_string(++number);
    const std::string work = dir.file(alias);
    const std::string dict = dir.file(alias + ".dict");
    test::CopyFolderFiles(test::CorpusDir() + "/" + folder, work);
    ASSERT_EQ(InvokeCli({"alias", "add", alias, work, "--config", conf}).status, 0);
    ASSERT_EQ(InvokeCli({"create-dictionary", dict}).status, 0);
    // Tables whose rows cannot be read are not loaded either: their load
    // fails with the same reason.
    InvokeCli({"load", "--config", conf, "-p", dict, "--source", work, "--as", alias});
    for (const std::string& name : names) {
      SCOPED_TRACE(name);
      ++tables;
      const std::string path = work + "/" + name;
      const test::CliResult before =
          InvokeCli({"dump", path, "--format", "json", "--password", kCorpusPassword});
      const auto files_before = test::SnapshotFiles(work);
      const ino_t inode = InodeOf(path);
      const test::CliResult rebuild =
          InvokeCli({"rebuild", "--config", conf, "-p", dict, "-t", alias + "." + Stem(name), "-d",
                     work, "--password", kCorpusPassword});
      const auto refusal = Refused().find(folder + "/" + name);
      if (refusal != Refused().end()) {
        ++refused;
        EXPECT_NE(rebuild.status, 0);
        EXPECT_NE((before.err + rebuild.err).find(refusal->second), std::string::npos)
            << before.err << rebuild.err;
        EXPECT_EQ(test::SnapshotFiles(work), files_before) << "a refused rebuild changed files";
        continue;
      }
      ASSERT_EQ(before.status, 0) << before.err;
      ASSERT_EQ(rebuild.status, 0) << rebuild.out << rebuild.err;
      EXPECT_NE(InodeOf(path), inode) << "the table was not rebuilt";
      const test::CliResult after =
          InvokeCli({"dump", path, "--format", "json", "--password", kCorpusPassword});
      ASSERT_EQ(after.status, 0) << after.err;
      EXPECT_TRUE(after.out == before.out) << "the rows changed";
      EXPECT_EQ(InvokeCli({"verify", path, "--password", kCorpusPassword}).status, 0);
      ++rebuilt;
    }
  }
  std::cout << "corpus rebuild sweep: " << tables << " tables, " << rebuilt
            << " rebuilt with every row kept, " << refused << " refused\n";
  EXPECT_EQ(tables, 93u);
  EXPECT_EQ(refused, Refused().size());
  EXPECT_EQ(rebuilt + refused, tables);
}

}  // namespace
}  // namespace vellum::cli
