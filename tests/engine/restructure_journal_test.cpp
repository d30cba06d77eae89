// The restructure journal as a file someone else may have written: torn and
// crafted journals, links, and recovery by a user who may not write the
// table's directory.
#include "engine/restructure_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "engine/table_descriptor.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/refusing_file_system.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

namespace stdfs = std::filesystem;
using paradox::FieldDef;
using paradox::IndexDef;
using paradox::Table;
using paradox::TableDefinition;

using test::WriteFile;

// A journal's text with its end line, the checksum computed here (FNV-1a of
// every byte before the end line).
std::string Sealed(const std::string& body) {
  uint32_t h = 2166136261u;
  for (unsigned char c : body) {
    h ^= c;
    h *= 16777619u;
  }
  return body + "END " + std::to_string(h) + "\n";
}

const std::string kHeader = "VELLUM-RESTRUCTURE 1\n";
const std::string kWork = "WORK .T.restructure\n";
const std::string kRenameData = "RENAME T.DB\tT.DB\n";

TEST(ParseJournalTest, OnlyTheWholeJournalIsOurs) {
  const std::string text = Sealed(kHeader + kWork + "DELETE T.XG0\nDELETE T.YG0\n" + kRenameData +
                                  "RENAME T.PX\tt.px\n");
  for (size_t n = 0; n < text.size(); ++n) {
    EXPECT_EQ(ParseJournal(text.substr(0, n), "T").state, ParsedJournal::State::kNotOurs)
        << "cut at " << n;
  }
  const ParsedJournal whole = ParseJournal(text, "t");
  ASSERT_EQ(whole.state, ParsedJournal::State::kCommitted) << whole.problem;
  EXPECT_EQ(whole.journal.deletes, (std::vector<std::string>{"T.XG0", "T.YG0"}));
  ASSERT_EQ(whole.journal.renames.size(), 2u);
  EXPECT_EQ(whole.journal.renames[1].second, "t.px");
  // A changed byte breaks the checksum: not ours; nor is a sealed text
  // without the header line.
  std::string flipped = text;
  flipped[kHeader.size() + 2] ^= 1;
  EXPECT_EQ(ParseJournal(flipped, "T").state, ParsedJournal::State::kNotOurs);
  EXPECT_EQ(ParseJournal(Sealed("notes\n"), "T").state, ParsedJournal::State::kNotOurs);
}

struct CraftedEntries {
  const char* name;
  std::string body;  // between the header and the end line
};

std::string CaseName(const testing::TestParamInfo<CraftedEntries>& info) { return info.param.name; }
void PrintTo(const CraftedEntries& c, std::ostream* os) { *os << c.name; }

class CraftedJournalTest : public testing::TestWithParam<CraftedEntries> {};

TEST_P(CraftedJournalTest, IsInvalid) {
  const ParsedJournal parsed = ParseJournal(Sealed(kHeader + GetParam().body), "T");
  EXPECT_EQ(parsed.state, ParsedJournal::State::kInvalid);
  EXPECT_FALSE(parsed.problem.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Entries, CraftedJournalTest,
    testing::Values(
        CraftedEntries{"WorkDirectoryUp", "WORK ../x\n" + kRenameData},
        CraftedEntries{"WorkDirectoryOfAnotherTable", "WORK .OTHER.restructure\n" + kRenameData},
        CraftedEntries{"WorkDirectoryAbsolute", "WORK /srv/.T.restructure\n" + kRenameData},
        CraftedEntries{"DeleteUp", kWork + "DELETE ../T.DB\n" + kRenameData},
        CraftedEntries{"DeleteAbsolute", kWork + "DELETE /srv/T.DB\n" + kRenameData},
        CraftedEntries{"DeleteBackslash", kWork + "DELETE ..\\T.DB\n" + kRenameData},
        CraftedEntries{"DeleteAnotherTable", kWork + "DELETE OTHER.DB\n" + kRenameData},
        CraftedEntries{"DeleteAFileNoTableOwns", kWork + "DELETE T.TXT\n" + kRenameData},
        CraftedEntries{"DeleteDotDot", kWork + "DELETE ..\n" + kRenameData},
        CraftedEntries{"DeleteControlCharacter", kWork + "DELETE T\x01.DB\n" + kRenameData},
        CraftedEntries{"RenameSourceInASubdirectory", kWork + "RENAME sub/T.DB\tT.DB\n"},
        CraftedEntries{"RenameTargetUp", kWork + "RENAME T.DB\t../T.DB\n"},
        CraftedEntries{"RenameOverAnotherTable", kWork + kRenameData + "RENAME T.PX\tOTHER.PX\n"},
        CraftedEntries{"RenameTwiceOverOneFile", kWork + kRenameData + "RENAME T.X02\tt.db\n"},
        CraftedEntries{"NoDataFile", kWork + "RENAME T.PX\tT.PX\n"},
        CraftedEntries{"UnknownLine", kWork + kRenameData + "CHMOD 777 T.DB\n"},
        CraftedEntries{"RenameWithoutTarget", kWork + "RENAME T.DB\n"}),
    CaseName);

TEST(ParseJournalTest, AJournalOfAnotherVersionIsInvalid) {
  EXPECT_EQ(ParseJournal(Sealed("VELLUM-RESTRUCTURE 9\n" + kWork + kRenameData), "T").state,
            ParsedJournal::State::kInvalid);
}

// A table T (ID, NAME; three rows) and a table OTHER beside it in <temp>/db,
// and files outside the directory in <temp>/outside.
class JournalOnDiskTest : public testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directories(db_);
    stdfs::create_directories(outside_);
    TableDefinition def;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}};
    Table::Create(db_, "T", def);
    Table::Create(db_, "OTHER", def);
    auto t = Table::Open(db_, "T", {.writable = true});
    for (int i = 1; i <= 3; ++i) t->insert({int64_t{i}, std::string("row ") + std::to_string(i)});
    WriteFile(outside_ + "/T.DB", "a file outside the table's directory");
    WriteFile(outside_ + "/keep.txt", "a user's file");
  }

  test::TempDir dir_;
  std::string db_ = dir_.path() + "/db";
  std::string outside_ = dir_.path() + "/outside";
};

struct CraftedLayout {
  const char* name;
  // Writes the journal (and whatever else the attack needs) into `db`.
  void (*craft)(const std::string& db, const std::string& outside);
};

std::string LayoutName(const testing::TestParamInfo<CraftedLayout>& info) {
  return info.param.name;
}
void PrintTo(const CraftedLayout& c, std::ostream* os) { *os << c.name; }

class CraftedJournalOnDiskTest : public JournalOnDiskTest,
                                 public testing::WithParamInterface<CraftedLayout> {};

TEST_P(CraftedJournalOnDiskTest, NothingOutsideTheTableIsTouchedAndTheJournalIsLeftAlone) {
  GetParam().craft(db_, outside_);
  const auto outside_before = test::SnapshotFiles(outside_);
  const auto db_before = test::SnapshotFiles(db_);

  // Every open recovers: a reader's, as describe, dump and verify open.
  auto t = Table::Open(db_, "T");
  EXPECT_EQ(t->recordCount(), 3u);
  EXPECT_NE(t->structure().recovery_note.find("left alone"), std::string::npos)
      << t->structure().recovery_note;
  t.reset();
  const test::CliResult describe = test::InvokeCli({"describe", db_ + "/T"});
  EXPECT_EQ(describe.status, 0) << describe.err;
  EXPECT_NE(describe.err.find("warning: "), std::string::npos) << describe.err;
  EXPECT_EQ(test::InvokeCli({"verify", db_ + "/T"}).status, 1);

  // A restructure refuses to start beside the journal.
  TableDescriptor d;
  d.table_path = db_ + "/T";
  FieldDescriptor id;
  id.name = "ID";
  id.storage_type = storage::kInt32;
  id.field_number = 1;
  d.fields = {id};
  d.field_operations = {Operation::kCopy};
  EXPECT_THROW(BuildTable(d), EDBEngineError);

  EXPECT_EQ(test::SnapshotFiles(outside_), outside_before);
  EXPECT_EQ(test::SnapshotFiles(db_), db_before);
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, CraftedJournalOnDiskTest,
    testing::Values(
        CraftedLayout{"DeleteThroughTraversal",
                      [](const std::string& db, const std::string&) {
                        WriteFile(db + "/T.JNL", Sealed(kHeader + kWork +
                                                        "DELETE ../outside/T.DB\n" + kRenameData));
                      }},
        CraftedLayout{"DeleteByAbsolutePath",
                      [](const std::string& db, const std::string& outside) {
                        WriteFile(db + "/T.JNL", Sealed(kHeader + kWork + "DELETE " + outside +
                                                        "/keep.txt\n" + kRenameData));
                      }},
        CraftedLayout{"DeleteAnotherTable",
                      [](const std::string& db, const std::string&) {
                        WriteFile(db + "/T.JNL",
                                  Sealed(kHeader + kWork + "DELETE OTHER.DB\n" + kRenameData));
                      }},
        CraftedLayout{"WorkDirectoryOutside",
                      [](const std::string& db, const std::string&) {
                        WriteFile(db + "/T.JNL",
                                  Sealed(kHeader + "WORK ../outside\n" + kRenameData));
                      }},
        CraftedLayout{"WorkDirectoryLinkedOutside",
                      [](const std::string& db, const std::string& outside) {
                        stdfs::create_directory_symlink(outside, db + "/.T.restructure");
                        WriteFile(db + "/T.JNL", Sealed(kHeader + kWork + kRenameData));
                      }},
        CraftedLayout{"UncommittedWithWorkDirectoryLinkedOutside",
                      [](const std::string& db, const std::string& outside) {
                        stdfs::create_directory_symlink(outside, db + "/.T.restructure");
                      }},
        CraftedLayout{"MovedFileLinkedOutside",
                      [](const std::string& db, const std::string& outside) {
                        stdfs::create_directories(db + "/.T.restructure");
                        stdfs::create_symlink(outside + "/T.DB", db + "/.T.restructure/T.DB");
                        WriteFile(db + "/T.JNL", Sealed(kHeader + kWork + kRenameData));
                      }}),
    LayoutName);

TEST_F(JournalOnDiskTest, AReaderWithoutWriteAccessReadsTheWholeOldTableBesideLeftovers) {
  // A restructure that never committed left its work directory.
  stdfs::create_directories(db_ + "/.T.restructure");
  WriteFile(db_ + "/.T.restructure/T.DB", "half-written new data file");
  const auto before = test::SnapshotFiles(db_);
  test::RefusingFileSystem read_only(FileSystem::Default());
  read_only.read_only = [](const std::string&) { return true; };

  auto t = Table::Open(db_, "T", {}, read_only);
  EXPECT_EQ(t->recordCount(), 3u);
  EXPECT_EQ(t->read(2)[1], Value{std::string("row 3")});
  EXPECT_NE(t->structure().recovery_note.find("recovery is pending"), std::string::npos)
      << t->structure().recovery_note;
  t.reset();
  EXPECT_EQ(test::SnapshotFiles(db_), before);

  // With write access the next open cleans up.
  EXPECT_EQ(Table::Open(db_, "T")->structure().recovery_note, "");
  EXPECT_FALSE(stdfs::exists(db_ + "/.T.restructure"));
}

// Fails every rename: a restructure commits and then cannot move its files.
// Every rename fails but the journal's into place (the commit).
class FailingRenames : public test::RefusingFileSystem {
 public:
  using RefusingFileSystem::RefusingFileSystem;
  void rename(const std::string& from, const std::string& to) override {
    if (ExtensionOf(to) != ".JNL") ThrowIo(from, "Cannot rename", EIO);
    RefusingFileSystem::rename(from, to);
  }
};

TEST_F(JournalOnDiskTest, ACommittedRestructureIsFinishedByTheNextOpenThatMayWrite) {
  TableDescriptor d;
  d.table_path = db_ + "/T";
  FieldDescriptor id;
  id.name = "ID";
  id.storage_type = storage::kInt32;
  id.field_number = 1;
  FieldDescriptor name = id;
  name.name = "NAME";
  name.storage_type = storage::kZString;
  name.units1 = 30;
  name.field_number = 2;
  d.fields = {id, name};
  d.field_operations = {Operation::kCopy, Operation::kModify};
  FailingRenames failing(FileSystem::Default());
  try {
    BuildTable(d, failing);
    ADD_FAILURE() << "the restructure reported success";
  } catch (const EDBEngineError& e) {
    EXPECT_NE(std::string(e.what()).find("is committed but could not be finished"),
              std::string::npos)
        << e.what();
  }
  ASSERT_TRUE(stdfs::exists(db_ + "/T.JNL"));

  // Without write access the old files may already be partly replaced: the
  // table is not read, and the message says why.
  test::RefusingFileSystem read_only(FileSystem::Default());
  read_only.read_only = [](const std::string&) { return true; };
  try {
    Table::Open(db_, "T", {}, read_only);
    ADD_FAILURE() << "a table with a committed, unfinished restructure was read";
  } catch (const EDBEngineError& e) {
    EXPECT_NE(std::string(e.what()).find("recovery is pending"), std::string::npos) << e.what();
  }

  auto t = Table::Open(db_, "T");
  EXPECT_EQ(t->structure().fields[1].size, 30);
  EXPECT_EQ(t->recordCount(), 3u);
  EXPECT_TRUE(t->verify().empty());
  EXPECT_FALSE(stdfs::exists(db_ + "/T.JNL"));
  EXPECT_FALSE(stdfs::exists(db_ + "/.T.restructure"));
}

// What describe, dump and verify do after a restructure was killed: they
// finish it when they can write the table's directory, and say what is
// pending when they cannot.
class KilledRestructureTest : public JournalOnDiskTest {
 protected:
  // A restructure of T (NAME widened to 30) killed after its commit: the
  // journal and the work directory are left, the old files still in place.
  void KillAfterCommit() {
    TableDescriptor d;
    d.table_path = db_ + "/T";
    FieldDescriptor id;
    id.name = "ID";
    id.storage_type = storage::kInt32;
    id.field_number = 1;
    FieldDescriptor name = id;
    name.name = "NAME";
    name.storage_type = storage::kZString;
    name.units1 = 30;
    name.field_number = 2;
    d.fields = {id, name};
    d.field_operations = {Operation::kCopy, Operation::kModify};
    FailingRenames failing(FileSystem::Default());
    EXPECT_THROW(BuildTable(d, failing), EDBEngineError);
    ASSERT_TRUE(stdfs::exists(db_ + "/T.JNL"));
  }

  // The size describe gives T's NAME field, or -1 when it gives none.
  static int NameSize(const std::string& json) {
    const size_t name = json.find("\"name\": \"NAME\"");
    const size_t size = json.find("\"size\": ", name);
    if (name == std::string::npos || size == std::string::npos) return -1;
    return std::stoi(json.substr(size + 8));
  }
};

TEST_F(KilledRestructureTest, AReaderThatCannotWriteTheDirectoryFailsWhileACommittedOneWaits) {
  KillAfterCommit();
  const auto before = test::SnapshotFiles(db_);
  test::ReadOnlyMediumScope medium(db_);
  for (const char* command : {"describe", "dump", "verify"}) {
    SCOPED_TRACE(command);
    const test::CliResult r = test::InvokeCli({command, db_ + "/T"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("A restructure of table \"T\" was committed but could not be finished"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("recovery is pending: open the table once with write access to its "
                         "directory"),
              std::string::npos)
        << r.err;
  }
  EXPECT_EQ(test::SnapshotFiles(db_), before);
}

TEST_F(KilledRestructureTest, AReaderThatCanWriteTheDirectoryFinishesIt) {
  KillAfterCommit();
  const test::CliResult describe = test::InvokeCli({"describe", db_ + "/T"});
  EXPECT_EQ(describe.status, 0) << describe.err;
  EXPECT_EQ(describe.err, "");
  EXPECT_EQ(NameSize(describe.out), 30);
  EXPECT_FALSE(stdfs::exists(db_ + "/T.JNL"));
  EXPECT_FALSE(stdfs::exists(db_ + "/.T.restructure"));
  const test::CliResult verify = test::InvokeCli({"verify", db_ + "/T"});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  const test::CliResult dump = test::InvokeCli({"dump", db_ + "/T"});
  EXPECT_EQ(dump.out, "ID,NAME\r\n1,row 1\r\n2,row 2\r\n3,row 3\r\n");
}

TEST_F(KilledRestructureTest, ARestructureKilledBeforeItsCommitIsUndoneOrReportedAsPending) {
  // Its work directory with a half-written new data file is all it left.
  stdfs::create_directories(db_ + "/.T.restructure");
  WriteFile(db_ + "/.T.restructure/T.DB", "half-written new data file");
  const auto before = test::SnapshotFiles(db_);
  const std::string warning =
      "vellum-cli: warning: An interrupted restructure of table \"T\" left work files behind; "
      "recovery is pending. The table's own files are whole\n";
  {
    test::ReadOnlyMediumScope medium(db_);
    const test::CliResult describe = test::InvokeCli({"describe", db_ + "/T"});
    EXPECT_EQ(describe.status, 0) << describe.err;
    EXPECT_EQ(NameSize(describe.out), 20);
    EXPECT_EQ(describe.err, warning);
    const test::CliResult verify = test::InvokeCli({"verify", db_ + "/T"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.err, warning);
  }
  EXPECT_EQ(test::SnapshotFiles(db_), before);

  const test::CliResult describe = test::InvokeCli({"describe", db_ + "/T"});
  EXPECT_EQ(describe.status, 0);
  EXPECT_EQ(describe.err, "");
  EXPECT_EQ(NameSize(describe.out), 20);
  EXPECT_FALSE(stdfs::exists(db_ + "/.T.restructure"));
}

}  // namespace
}  // namespace vellum::engine
