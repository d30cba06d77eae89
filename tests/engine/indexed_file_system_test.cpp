#include "engine/fs/indexed_file_system.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "engine/table_descriptor.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

namespace stdfs = std::filesystem;
using test::TempDir;

void Touch(const std::string& path) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ::close(fd);
}

// Runs `action` in a child process, as another program working in the same
// directory would, and waits for it.
void InAnotherProcess(const std::function<void()>& action) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    action();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The time of a directory's last change.
int64_t LastChangeNs(const std::string& directory) {
  const DirectoryStamp stamp = *FileSystem::Posix().directoryStamp(directory);
  return std::max(stamp.modified_ns, stamp.changed_ns);
}

// A clock standing still long after `directory` last changed, so that no
// listing is racy and no recheck falls due, however slowly the test runs.
IndexedFileSystem::Clock LongAfter(const std::string& directory) {
  const int64_t now = LastChangeNs(directory) + 3600 * IndexedFileSystem::kCoarseGranularityNs;
  return [now] { return now; };
}

// Forwards to another file system and counts the calls that reach it, by
// kind. It can also report every directory's stamp as it was first seen, as
// a file system whose clock has not moved since would, and make a remove
// report failure after it removed the file.
class CountingFileSystem : public FileSystem {
 public:
  explicit CountingFileSystem(FileSystem& base) : base_(base) {}

  std::map<std::string, int> calls;
  bool freeze_stamps = false;
  bool fail_after_remove = false;

  int total() const {
    int n = 0;
    for (const auto& [kind, count] : calls) n += count;
    return n;
  }

  std::unique_ptr<File> open(const std::string& p, OpenMode mode) override {
    ++calls[CreatesFile(mode) ? "create" : "open"];
    return base_.open(p, mode);
  }
  bool exists(const std::string& p) override {
    ++calls["exists"];
    return base_.exists(p);
  }
  bool isDirectory(const std::string& p) override {
    ++calls["isDirectory"];
    return base_.isDirectory(p);
  }
  void remove(const std::string& p) override {
    ++calls["remove"];
    base_.remove(p);
    if (fail_after_remove) ThrowIo(p, "Cannot delete", EIO);
  }
  void rename(const std::string& a, const std::string& b) override {
    ++calls["rename"];
    base_.rename(a, b);
  }
  std::vector<std::string> list(const std::string& d) override {
    ++calls["list"];
    return base_.list(d);
  }
  bool createDirectory(const std::string& d) override {
    ++calls["createDirectory"];
    return base_.createDirectory(d);
  }
  void removeTree(const std::string& d) override {
    ++calls["removeTree"];
    base_.removeTree(d);
  }
  std::optional<std::string> findFile(const std::string& d, const std::string& n) override {
    ++calls["findFile"];
    return base_.findFile(d, n);
  }
  std::vector<std::string> listPrefix(const std::string& d, const std::string& p) override {
    ++calls["listPrefix"];
    return base_.listPrefix(d, p);
  }
  std::optional<DirectoryStamp> directoryStamp(const std::string& d) override {
    ++calls["directoryStamp"];
    std::optional<DirectoryStamp> stamp = base_.directoryStamp(d);
    if (!freeze_stamps || !stamp) return stamp;
    return frozen_.try_emplace(stamp->inode, *stamp).first->second;
  }
  void makeDirectories(const std::string& p) override {
    ++calls["makeDirectories"];
    base_.makeDirectories(p);
  }
  void syncDirectory(const std::string& p) override {
    ++calls["syncDirectory"];
    base_.syncDirectory(p);
  }
  void removeDirectory(const std::string& p) override {
    ++calls["removeDirectory"];
    base_.removeDirectory(p);
  }

 private:
  FileSystem& base_;
  std::map<uint64_t, DirectoryStamp> frozen_;
};

// --- Finding a name -------------------------------------------------------

struct FindCase {
  std::string name;                 // test name
  std::vector<std::string> files;   // regular files in the directory
  std::vector<std::string> dirs;    // subdirectories
  std::string asked;                // name looked up
  std::optional<std::string> want;  // name found
};

void PrintTo(const FindCase& c, std::ostream* os) { *os << c.name; }

class FindFileTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindFileTest, FindsTheNameRegardlessOfTheCaseOfAToZ) {
  const FindCase& c = GetParam();
  TempDir dir;
  for (const auto& f : c.files) Touch(dir.file(f));
  for (const auto& d : c.dirs) stdfs::create_directory(dir.file(d));
  IndexedFileSystem fs(FileSystem::Posix());
  EXPECT_EQ(fs.findFile(dir.path(), c.asked), c.want);
  // The same answer from the index a second time, and from the plain lookup.
  EXPECT_EQ(fs.findFile(dir.path(), c.asked), c.want);
  EXPECT_EQ(FileSystem::Posix().findFile(dir.path(), c.asked), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FindFileTest,
    ::testing::Values(
        FindCase{"LowerCaseFileUpperCaseName", {"orders.db"}, {}, "ORDERS.DB", "orders.db"},
        FindCase{"MixedCase", {"Orders.Px"}, {}, "oRDERS.pX", "Orders.Px"},
        FindCase{"ExactSpellingFirst", {"T.DB", "t.db"}, {}, "t.db", "t.db"},
        FindCase{"ExactSpellingFirstUpper", {"T.DB", "t.db"}, {}, "T.DB", "T.DB"},
        FindCase{"LettersOutsideAToZAreNotFolded",
                 {"\xC3\x89T\xC3\x89.DB"},
                 {},
                 "\xC3\xA9t\xC3\xA9.db",
                 std::nullopt},
        FindCase{"NoExtensionIsAnotherName", {"ORDERS.DB"}, {}, "ORDERS", std::nullopt},
        FindCase{"LongerExtensionIsAnotherName", {"ORDERS.DBX"}, {}, "ORDERS.DB", std::nullopt},
        FindCase{"DirectoryIsNoFile", {}, {"SUB.DB"}, "sub.db", std::nullopt},
        FindCase{"EmptyDirectory", {}, {}, "A.DB", std::nullopt}),
    [](const ::testing::TestParamInfo<FindCase>& info) { return info.param.name; });

TEST(IndexedFileSystemTest, ListPrefixGivesATablesFilesWhateverTheirCase) {
  TempDir dir;
  for (const char* f : {"ORDERS.DB", "orders.px", "Orders.X02", "ORDERSX.DB", "ORDER.DB", "a.db"}) {
    Touch(dir.file(f));
  }
  IndexedFileSystem fs(FileSystem::Posix());
  const std::vector<std::string> want = {"ORDERS.DB", "Orders.X02", "orders.px"};
  EXPECT_EQ(fs.listPrefix(dir.path(), "orders."), want);
  EXPECT_EQ(FileSystem::Posix().listPrefix(dir.path(), "orders."), want);
  EXPECT_EQ(fs.list(dir.path()), FileSystem::Posix().list(dir.path()));
}

// --- Changes made by another program ---------------------------------------

struct ForeignChangeCase {
  std::string name;
  std::vector<std::string> files;               // before the change
  std::function<void(const std::string&)> act;  // in another process, given the directory
  std::string asked;
  std::optional<std::string> want;
};

void PrintTo(const ForeignChangeCase& c, std::ostream* os) { *os << c.name; }

class ForeignChangeTest : public ::testing::TestWithParam<ForeignChangeCase> {};

TEST_P(ForeignChangeTest, IsSeenAtTheNextLookup) {
  const ForeignChangeCase& c = GetParam();
  TempDir dir;
  for (const auto& f : c.files) Touch(dir.file(f));
  // Only the directory's stamp can tell of the change: the listing is not
  // racy, and no recheck falls due.
  IndexedFileSystem fs(FileSystem::Posix(), LongAfter(dir.path()));
  fs.findFile(dir.path(), c.asked);  // indexed before the change
  fs.findFile(dir.path(), "OTHER.DB");
  InAnotherProcess([&] { c.act(dir.path()); });
  EXPECT_EQ(fs.findFile(dir.path(), c.asked), c.want);
  const std::vector<std::string> listed = fs.list(dir.path());
  EXPECT_EQ(listed, FileSystem::Posix().list(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ForeignChangeTest,
    ::testing::Values(ForeignChangeCase{"Created",
                                        {"A.DB"},
                                        [](const std::string& d) { Touch(d + "/new.px"); },
                                        "NEW.PX",
                                        "new.px"},
                      ForeignChangeCase{
                          "Removed",
                          {"A.DB", "A.PX"},
                          [](const std::string& d) { ::unlink((d + "/A.PX").c_str()); },
                          "a.px",
                          std::nullopt},
                      ForeignChangeCase{"RenamedToAnotherCase",
                                        {"A.DB", "A.VAL"},
                                        [](const std::string& d) {
                                          ::rename((d + "/A.VAL").c_str(), (d + "/a.val").c_str());
                                        },
                                        "A.VAL",
                                        "a.val"},
                      ForeignChangeCase{"ReplacedByADirectory",
                                        {"A.DB", "A.X02"},
                                        [](const std::string& d) {
                                          ::unlink((d + "/A.X02").c_str());
                                          ::mkdir((d + "/A.X02").c_str(), 0755);
                                        },
                                        "a.x02",
                                        std::nullopt}),
    [](const ::testing::TestParamInfo<ForeignChangeCase>& info) { return info.param.name; });

// --- Cost ---------------------------------------------------------------

TEST(IndexedFileSystemTest, ListsADirectoryOnceForManyLookupsAndItsOwnChanges) {
  TempDir dir;
  for (int i = 0; i < 2000; ++i) Touch(dir.file("T" + std::to_string(i) + ".DB"));
  CountingFileSystem counting(FileSystem::Posix());
  IndexedFileSystem fs(counting, LongAfter(dir.path()));
  for (int i = 0; i < 2000; i += 10) {
    ASSERT_EQ(fs.findFile(dir.path(), "t" + std::to_string(i) + ".db"),
              "T" + std::to_string(i) + ".DB");
  }
  for (int i = 0; i < 20; ++i) {
    const std::string n = std::to_string(i);
    fs.open(dir.file("new" + n + ".px"), OpenMode::kCreate);
    fs.remove(dir.file("T" + n + ".DB"));
    fs.rename(dir.file("T1" + n + "0.DB"), dir.file("moved" + n + ".db"));
    EXPECT_EQ(fs.findFile(dir.path(), "NEW" + n + ".PX"), "new" + n + ".px");
    EXPECT_EQ(fs.findFile(dir.path(), "t" + n + ".db"), std::nullopt);
    EXPECT_EQ(fs.findFile(dir.path(), "T1" + n + "0.DB"), std::nullopt);
    EXPECT_EQ(fs.findFile(dir.path(), "MOVED" + n + ".DB"), "moved" + n + ".db");
  }
  EXPECT_EQ(counting.calls["list"], 1);
  EXPECT_EQ(counting.calls["exists"], 0);
  EXPECT_EQ(counting.calls["isDirectory"], 0);
  EXPECT_EQ(counting.calls["findFile"], 0);
  EXPECT_EQ(fs.list(dir.path()), FileSystem::Posix().list(dir.path()));
}

paradox::TableDefinition SmallKeyedTable() {
  paradox::TableDefinition def;
  def.fields = {{"ID", FieldType::kInteger, 0, false},
                {"NAME", FieldType::kString, 20, false},
                {"AMOUNT", FieldType::kCurrency, 0, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false},
                 {"NAME", {"NAME"}, false, false, false, false}};
  paradox::ValidityCheck check;
  check.field_number = 3;
  check.has_min = true;  // 0.0
  def.checks = {check};
  return def;
}

// What the engine does with three tables of a directory: open each, then
// restructure, delete and create one, through `fs`.
void WorkOnThreeTables(const std::string& directory, FileSystem& fs) {
  for (const char* name : {"ALPHA", "beta", "Gamma"}) {
    auto table = paradox::Table::Open(directory, name, {}, fs);
    ASSERT_EQ(table->structure().indexes.size(), 2u) << name;
    ASSERT_EQ(table->structure().checks.size(), 1u) << name;
  }
  TableDescriptor d;
  d.table_path = JoinPath(directory, "ALPHA");
  d.fields = {{1, "ID", storage::kInt32, 0, 0, 0, 0, 4},
              {2, "NAME", storage::kZString, 0, 30, 0, 0, 30}};
  d.field_operations = {Operation::kCopy, Operation::kModify};
  IndexDescriptor primary;
  primary.primary = true;
  primary.unique = true;
  primary.key_field_count = 1;
  primary.key_fields[0] = 1;
  d.indexes = {primary};
  d.index_operations = {Operation::kRedo};
  BuildTable(d, fs);
  paradox::Table::Delete(directory, "BETA", fs);
  paradox::Table::Create(directory, "DELTA", SmallKeyedTable(), fs);
  EXPECT_EQ(paradox::Table::Open(directory, "alpha", {}, fs)->structure().fields.size(), 2u);
}

TEST(IndexedFileSystemTest, TableWorkCallsTheFileSystemAlikeWhateverElseTheDirectoryHolds) {
  TempDir small;
  TempDir large;
  for (const TempDir* dir : {&small, &large}) {
    for (const char* name : {"ALPHA", "BETA", "GAMMA"}) {
      paradox::Table::Create(dir->path(), name, SmallKeyedTable());
    }
  }
  // 300 more tables: copies of ALPHA's five files.
  for (int i = 0; i < 300; ++i) {
    for (const char* ext : {".DB", ".PX", ".X02", ".Y02", ".VAL"}) {
      stdfs::copy_file(large.file(std::string("ALPHA") + ext),
                       large.file("OTHER" + std::to_string(i) + ext));
    }
  }

  CountingFileSystem small_counts(FileSystem::Posix());
  IndexedFileSystem small_fs(small_counts, LongAfter(large.path()));
  WorkOnThreeTables(small.path(), small_fs);
  CountingFileSystem large_counts(FileSystem::Posix());
  IndexedFileSystem large_fs(large_counts, LongAfter(large.path()));
  WorkOnThreeTables(large.path(), large_fs);

  EXPECT_EQ(large_counts.calls, small_counts.calls);
  EXPECT_EQ(large_counts.calls["list"], small_counts.calls["list"]);
  EXPECT_LE(large_counts.calls["list"], 2);  // the directory, and the restructure's own
}

// --- Coarse clocks --------------------------------------------------------

TEST(IndexedFileSystemTest, ListsAgainWhileTheLastChangeIsWithinTheClockGranularity) {
  TempDir dir;
  Touch(dir.file("A.DB"));
  CountingFileSystem counting(FileSystem::Posix());
  counting.freeze_stamps = true;  // changes keep the stamp, as at one clock tick
  const int64_t changed = LastChangeNs(dir.path());
  int64_t now = changed + IndexedFileSystem::kFineGranularityNs / 2;
  IndexedFileSystem fs(counting, [&] { return now; });

  EXPECT_EQ(fs.findFile(dir.path(), "a.db"), "A.DB");
  Touch(dir.file("b.db"));
  EXPECT_EQ(fs.findFile(dir.path(), "B.DB"), "b.db");
  EXPECT_EQ(counting.calls["list"], 2);

  // Once the clock has moved on, a listing is trusted: any later change
  // would move the stamp.
  now = changed + 2 * IndexedFileSystem::kFineGranularityNs;
  EXPECT_EQ(fs.findFile(dir.path(), "B.DB"), "b.db");
  EXPECT_EQ(fs.findFile(dir.path(), "a.db"), "A.DB");
  EXPECT_EQ(fs.findFile(dir.path(), "c.db"), std::nullopt);
  EXPECT_EQ(counting.calls["list"], 3);
}

TEST(IndexedFileSystemTest, AnIndexKeptByItsOwnChangesIsCheckedAfterTheRecheckInterval) {
  TempDir dir;
  Touch(dir.file("A.DB"));
  CountingFileSystem counting(FileSystem::Posix());
  counting.freeze_stamps = true;
  int64_t now = LastChangeNs(dir.path()) + 10 * IndexedFileSystem::kCoarseGranularityNs;
  IndexedFileSystem fs(counting, [&] { return now; });

  EXPECT_EQ(fs.findFile(dir.path(), "a.db"), "A.DB");
  fs.open(dir.file("OWN.DB"), OpenMode::kCreate);
  Touch(dir.file("other.db"));  // by someone else, at the same tick
  EXPECT_EQ(fs.findFile(dir.path(), "own.db"), "OWN.DB");
  EXPECT_EQ(counting.calls["list"], 1);

  now += IndexedFileSystem::kRecheckNs;
  EXPECT_EQ(fs.findFile(dir.path(), "OTHER.DB"), "other.db");
  EXPECT_EQ(counting.calls["list"], 2);
}

TEST(IndexedFileSystemTest, AChangeWhoseOutcomeIsUnknownIsNotGuessed) {
  TempDir dir;
  Touch(dir.file("A.DB"));
  Touch(dir.file("A.PX"));
  CountingFileSystem counting(FileSystem::Posix());
  counting.freeze_stamps = true;
  int64_t now = LastChangeNs(dir.path()) + 10 * IndexedFileSystem::kCoarseGranularityNs;
  IndexedFileSystem fs(counting, [&] { return now; });

  EXPECT_EQ(fs.findFile(dir.path(), "a.px"), "A.PX");
  counting.fail_after_remove = true;  // the file goes, the call fails
  EXPECT_THROW(fs.remove(dir.file("A.PX")), EDBEngineError);
  EXPECT_EQ(fs.findFile(dir.path(), "a.px"), std::nullopt);
}

TEST(IndexedFileSystemTest, AFileRenamedIntoAnotherDirectoryMovesBetweenTheirIndexes) {
  TempDir one;
  TempDir two;
  Touch(one.file("x.db"));
  Touch(two.file("y.db"));
  CountingFileSystem counting(FileSystem::Posix());
  IndexedFileSystem fs(counting);
  EXPECT_EQ(fs.findFile(one.path(), "X.DB"), "x.db");
  EXPECT_EQ(fs.findFile(two.path(), "X.DB"), std::nullopt);

  fs.rename(one.file("x.db"), two.file("X.DB"));
  EXPECT_EQ(fs.findFile(one.path(), "x.db"), std::nullopt);
  EXPECT_EQ(fs.findFile(two.path(), "x.db"), "X.DB");
  EXPECT_EQ(counting.calls["list"], 2);
}

TEST(IndexedFileSystemTest, KeepsABoundedNumberOfDirectories) {
  TempDir root;
  IndexedFileSystem fs(FileSystem::Posix());
  for (size_t i = 0; i < IndexedFileSystem::kMaxDirectories + 10; ++i) {
    const std::string dir = root.file("d" + std::to_string(i));
    stdfs::create_directory(dir);
    Touch(dir + "/F.DB");
    ASSERT_EQ(fs.findFile(dir, "f.db"), "F.DB");
  }
  EXPECT_EQ(fs.indexedDirectories(), IndexedFileSystem::kMaxDirectories);
}

// --- The real file system ------------------------------------------------

TEST(PosixFileSystemTest, ListsRegularFilesAndLinksToThemOnly) {
  TempDir dir;
  Touch(dir.file("a.db"));
  stdfs::create_directory(dir.file("sub"));
  stdfs::create_symlink("a.db", dir.file("link.db"));
  stdfs::create_symlink("sub", dir.file("link.dir"));
  stdfs::create_symlink("missing", dir.file("dangling.db"));
  ::mkfifo(dir.file("pipe.db").c_str(), 0644);
  const std::vector<std::string> want = {"a.db", "link.db"};
  EXPECT_EQ(FileSystem::Posix().list(dir.path()), want);
  EXPECT_EQ(FileSystem::Default().list(dir.path()), want);
}

}  // namespace
}  // namespace vellum::engine
