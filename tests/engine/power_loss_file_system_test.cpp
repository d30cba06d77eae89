// The power-loss model of the crash tests: what survives a power loss is
// what was synced, file data and directory entries each by their own sync.
#include "engine/fs/power_loss_file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <string>

#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

void Write(File& f, const std::string& text) { f.write(0, text.data(), text.size()); }

struct PowerLossCase {
  const char* name;
  // Steps on the file system in a directory that holds "A" = "old".
  std::function<void(PowerLossFileSystem&, const std::string&)> steps;
  std::map<std::string, std::string> after;  // what the directory holds after the power loss
};

std::string CaseName(const testing::TestParamInfo<PowerLossCase>& info) { return info.param.name; }
void PrintTo(const PowerLossCase& c, std::ostream* os) { *os << c.name; }

class PowerLossTest : public testing::TestWithParam<PowerLossCase> {};

TEST_P(PowerLossTest, KeepsWhatWasSyncedAndNothingElse) {
  test::TempDir dir;
  std::ofstream(dir.file("A"), std::ios::binary) << "old";
  PowerLossFileSystem fs(FileSystem::Default());
  GetParam().steps(fs, dir.path());
  fs.dropUnsynced();
  EXPECT_EQ(test::SnapshotFiles(dir.path()), GetParam().after);
}

// Creates "B" holding "new", synced with its directory.
void DurableB(PowerLossFileSystem& fs, const std::string& d) {
  auto b = fs.open(d + "/B", OpenMode::kCreate);
  Write(*b, "new");
  b->sync();
  fs.syncDirectory(d);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PowerLossTest,
    testing::Values(
        PowerLossCase{"AnUnsyncedWriteIsLost",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        Write(*fs.open(d + "/A", OpenMode::kReadWrite), "NEW");
                      },
                      {{"A", "old"}}},
        PowerLossCase{"ASyncedWriteStays",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        auto a = fs.open(d + "/A", OpenMode::kReadWrite);
                        Write(*a, "NEW");
                        a->sync();
                      },
                      {{"A", "NEW"}}},
        PowerLossCase{"AnUnsyncedTruncationIsLost",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        Write(*fs.open(d + "/A", OpenMode::kCreate), "z");
                      },
                      {{"A", "old"}}},
        PowerLossCase{"ASyncedFileWhoseDirectoryWasNotSyncedIsGone",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        auto b = fs.open(d + "/B", OpenMode::kCreate);
                        Write(*b, "new");
                        b->sync();
                      },
                      {{"A", "old"}}},
        PowerLossCase{"AFileAndItsDirectorySyncedStay", DurableB, {{"A", "old"}, {"B", "new"}}},
        PowerLossCase{"AnEntrySyncedBeforeItsDataIsEmpty",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        auto b = fs.open(d + "/B", OpenMode::kCreate);
                        fs.syncDirectory(d);
                        Write(*b, "new");
                      },
                      {{"A", "old"}, {"B", ""}}},
        PowerLossCase{"AnUnsyncedRenameIsUndone",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        DurableB(fs, d);
                        fs.rename(d + "/B", d + "/A");
                      },
                      {{"A", "old"}, {"B", "new"}}},
        PowerLossCase{"ASyncedRenameStays",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        DurableB(fs, d);
                        fs.rename(d + "/B", d + "/A");
                        fs.syncDirectory(d);
                      },
                      {{"A", "new"}}},
        PowerLossCase{"AnUnsyncedRemovalIsUndone",
                      [](PowerLossFileSystem& fs, const std::string& d) { fs.remove(d + "/A"); },
                      {{"A", "old"}}},
        PowerLossCase{"ASyncedRemovalStays",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        fs.remove(d + "/A");
                        fs.syncDirectory(d);
                      },
                      {}},
        PowerLossCase{"ADirectoryWhoseParentWasNotSyncedIsGoneWithItsFiles",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        fs.makeDirectories(d + "/sub");
                        auto c = fs.open(d + "/sub/C", OpenMode::kCreate);
                        Write(*c, "c");
                        c->sync();
                        fs.syncDirectory(d + "/sub");
                      },
                      {{"A", "old"}}},
        PowerLossCase{"ADirectorySyncedInItsParentKeepsItsSyncedFiles",
                      [](PowerLossFileSystem& fs, const std::string& d) {
                        fs.makeDirectories(d + "/sub");
                        fs.syncDirectory(d);
                        auto c = fs.open(d + "/sub/C", OpenMode::kCreate);
                        Write(*c, "c");
                        c->sync();
                        fs.syncDirectory(d + "/sub");
                        Write(*fs.open(d + "/sub/D", OpenMode::kCreate), "d");
                      },
                      {{"A", "old"}, {"sub/", ""}, {"sub/C", "c"}}}),
    CaseName);

}  // namespace
}  // namespace vellum::engine
