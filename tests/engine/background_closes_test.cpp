// A deleted file's last close, where its blocks are freed, runs in the
// background only for large files, and a question about free space waits
// for it.
#include "engine/fs/background_closes.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

#ifdef __linux__

// How many of this process's descriptors still refer to `path`.
int OpenDescriptorsOf(const std::string& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (!error && target.rfind(path, 0) == 0) ++count;
  }
  return count;
}

// Writes `bytes` bytes to a new file, syncs it and returns it open.
std::unique_ptr<File> WrittenFile(const std::string& path, size_t bytes) {
  FileSystem& fs = FileSystem::Posix();
  auto file = fs.open(path, OpenMode::kCreate);
  const std::vector<char> data(bytes, 'x');
  file->write(0, data.data(), data.size());
  file->sync();
  return file;
}

class BackgroundClosesTest : public testing::Test {
 protected:
  void SetUp() override { HoldBackgroundClosesForTests(true); }
  void TearDown() override {
    HoldBackgroundClosesForTests(false);
    WaitForBackgroundCloses();
  }
  test::TempDir dir_;
};

TEST_F(BackgroundClosesTest, ALargeDeletedFileIsClosedLaterAndAvailableBytesWaitsForIt) {
  FileSystem& fs = FileSystem::Posix();
  const std::string path = std::filesystem::canonical(dir_.path()).string() + "/OLD.DB";
  auto file = WrittenFile(path, 4u << 20);
  fs.remove(path);
  file.reset();
  EXPECT_EQ(OpenDescriptorsOf(path), 1) << "the close of a deleted 4 MB file is left pending";

  ASSERT_TRUE(fs.availableBytes(dir_.path()).has_value());
  EXPECT_EQ(OpenDescriptorsOf(path), 0) << "the free space counts the deleted file";
}

TEST_F(BackgroundClosesTest, SmallOrStillNamedFilesAreClosedAtOnce) {
  FileSystem& fs = FileSystem::Posix();
  const std::string dir = std::filesystem::canonical(dir_.path()).string();
  auto small = WrittenFile(dir + "/SMALL.DB", 64u << 10);
  fs.remove(dir + "/SMALL.DB");
  small.reset();
  EXPECT_EQ(OpenDescriptorsOf(dir + "/SMALL.DB"), 0);

  auto named = WrittenFile(dir + "/NAMED.DB", 4u << 20);
  named.reset();
  EXPECT_EQ(OpenDescriptorsOf(dir + "/NAMED.DB"), 0);
}

TEST_F(BackgroundClosesTest, AChildMadeByForkClosesAtOnce) {
  FileSystem& fs = FileSystem::Posix();
  const std::string path = std::filesystem::canonical(dir_.path()).string() + "/CHILD.DB";
  auto file = WrittenFile(path, 4u << 20);
  fs.remove(path);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The parent's closer thread does not exist here: queuing would leave
    // the descriptor open.
    file.reset();
    ::_exit(OpenDescriptorsOf(path) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

#endif

}  // namespace
}  // namespace vellum::engine
