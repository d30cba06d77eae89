#include "engine/paradox/entry_sorter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "engine/errors.h"
#include "engine/fs/fault_file_system.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

using test::TempDir;

// Records of 12 bytes: a 4-byte code compared descending, then an 8-byte
// serial number compared ascending.
constexpr size_t kSize = 12;
const std::vector<KeyPart> kParts = {KeyPart{0, 4, PxType::kAlpha, true, false},
                                     KeyPart{4, 8, PxType::kAlpha, false, false}};

std::vector<std::string> RandomRecords(int n) {
  std::mt19937 rng(5);
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    char rec[32];  // room for any int; the records take the first kSize bytes
    std::snprintf(rec, sizeof rec, "%c%c%c%c%08d", 'A' + static_cast<int>(rng() % 3),
                  'a' + static_cast<int>(rng() % 26), 'a' + static_cast<int>(rng() % 26), 'x',
                  i % 100000000);
    out.emplace_back(rec, kSize);
  }
  return out;
}

std::vector<std::string> Drain(EntrySorter& s) {
  std::vector<std::string> out;
  s.drain([&](const uint8_t* r) { out.emplace_back(reinterpret_cast<const char*>(r), kSize); });
  return out;
}

std::vector<std::string> Expected(std::vector<std::string> records) {
  std::sort(records.begin(), records.end(), [](const std::string& a, const std::string& b) {
    return CompareKeys(kParts, 2, reinterpret_cast<const uint8_t*>(a.data()),
                       reinterpret_cast<const uint8_t*>(b.data())) < 0;
  });
  return records;
}

size_t FilesIn(const std::string& dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(EntrySorterTest, RecordsBeyondTheBufferAreSortedInRunsAndMerged) {
  TempDir dir;
  const auto records = RandomRecords(20000);
  FaultFileSystem counting(FileSystem::Default());
  EntrySorter s(counting, dir.path(), "X.run", kSize, kParts, 2, 8 * 1024);
  for (const auto& r : records) s.add(reinterpret_cast<const uint8_t*>(r.data()));
  EXPECT_GE(s.runs(), 20u);
  EXPECT_EQ(FilesIn(dir.path()), s.runs());
  EXPECT_EQ(Drain(s), Expected(records));
  EXPECT_EQ(FilesIn(dir.path()), 0u);
  EXPECT_EQ(s.runs(), 0u);
}

TEST(EntrySorterTest, RecordsThatFitTheBufferNeedNoFile) {
  TempDir dir;
  const auto records = RandomRecords(500);
  FaultFileSystem counting(FileSystem::Default());
  EntrySorter s(counting, dir.path(), "X.run", kSize, kParts, 2, 64 * 1024);
  for (const auto& r : records) s.add(reinterpret_cast<const uint8_t*>(r.data()));
  EXPECT_EQ(Drain(s), Expected(records));
  EXPECT_EQ(counting.operations(), 0u);
  EXPECT_EQ(FilesIn(dir.path()), 0u);
}

TEST(EntrySorterTest, ADroppedSorterRemovesItsRuns) {
  TempDir dir;
  const auto records = RandomRecords(3000);
  {
    EntrySorter s(FileSystem::Default(), dir.path(), "X.run", kSize, kParts, 2, 4 * 1024);
    for (const auto& r : records) s.add(reinterpret_cast<const uint8_t*>(r.data()));
    EXPECT_GT(FilesIn(dir.path()), 2u);
  }
  EXPECT_EQ(FilesIn(dir.path()), 0u);
}

TEST(EntrySorterTest, AFailedRunWriteRaisesAnIoError) {
  TempDir dir;
  const auto records = RandomRecords(3000);
  FaultFileSystem failing(FileSystem::Default());
  failing.arm(3, FaultFileSystem::Mode::kFail);
  EntrySorter s(failing, dir.path(), "X.run", kSize, kParts, 2, 4 * 1024);
  EXPECT_THROW(
      {
        for (const auto& r : records) s.add(reinterpret_cast<const uint8_t*>(r.data()));
      },
      EDBEngineError);
}

}  // namespace
}  // namespace vellum::engine::paradox
