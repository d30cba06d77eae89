// The file-system wrappers pass on every call they do not change: a wrapper
// that answered from FileSystem's defaults instead would take a symbolic
// link for none, free space for unknown, or let two writers of one table
// past each other's change locks.
#include "engine/fs/forwarding_file_system.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "engine/fs/fault_file_system.h"
#include "engine/fs/indexed_file_system.h"
#include "engine/fs/power_loss_file_system.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

constexpr uint64_t kBaseBytes = 4242;

// A file whose change lock is always held elsewhere.
class ChangeLockedFile final : public ForwardingFile {
 public:
  using ForwardingFile::ForwardingFile;
  bool tryLockChanges(bool) override { return false; }
};

// The real file system with answers that no default gives.
class DistinctBase final : public ForwardingFileSystem {
 public:
  DistinctBase() : ForwardingFileSystem(FileSystem::Posix()) {}
  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    return std::make_unique<ChangeLockedFile>(base().open(path, mode));
  }
  bool isLink(const std::string&) override { return true; }
  bool canWriteDirectory(const std::string&) override { return false; }
  bool sameDirectory(const std::string&, const std::string&) override { return true; }
  std::optional<uint64_t> availableBytes(const std::string&) override { return kBaseBytes; }
};

struct WrapperCase {
  const char* name;
  std::function<std::unique_ptr<FileSystem>(FileSystem&)> wrap;
};

std::string CaseName(const testing::TestParamInfo<WrapperCase>& info) { return info.param.name; }
void PrintTo(const WrapperCase& c, std::ostream* os) { *os << c.name; }

class ForwardingTest : public testing::TestWithParam<WrapperCase> {};

TEST_P(ForwardingTest, PassesOnWhatOnlyTheBaseKnows) {
  test::TempDir dir;
  std::ofstream(dir.file("A"), std::ios::binary) << "a";
  DistinctBase base;
  std::unique_ptr<FileSystem> fs = GetParam().wrap(base);
  EXPECT_TRUE(fs->isLink(dir.file("A")));
  EXPECT_FALSE(fs->canWriteDirectory(dir.path()));
  EXPECT_TRUE(fs->sameDirectory(dir.path(), dir.file("elsewhere")));
  EXPECT_EQ(fs->availableBytes(dir.path()), kBaseBytes);
  EXPECT_FALSE(fs->open(dir.file("A"), OpenMode::kRead)->tryLockChanges(true));
}

INSTANTIATE_TEST_SUITE_P(
    Wrappers, ForwardingTest,
    testing::Values(
        WrapperCase{"Fault", [](FileSystem& b) { return std::make_unique<FaultFileSystem>(b); }},
        WrapperCase{"PowerLoss",
                    [](FileSystem& b) { return std::make_unique<PowerLossFileSystem>(b); }},
        WrapperCase{"Indexed",
                    [](FileSystem& b) { return std::make_unique<IndexedFileSystem>(b); }}),
    CaseName);

}  // namespace
}  // namespace vellum::engine
