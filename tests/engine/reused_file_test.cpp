#include "engine/fs/reused_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/fs/memory_file_system.h"

namespace vellum::engine {
namespace {

using Bytes = std::vector<uint8_t>;

// An old file of `size` bytes of 0xAB, taken over.
struct Fixture {
  explicit Fixture(size_t size) {
    fs.addFile("d/F", Bytes(size, 0xAB));
    file = std::make_unique<ReusedFile>(fs.open("d/F", OpenMode::kReadWrite), content);
  }
  void write(uint64_t offset, const std::string& text) {
    file->write(offset, text.data(), text.size());
  }
  Bytes read(uint64_t offset, size_t n) {
    Bytes out(n, 0x55);
    out.resize(file->read(offset, out.data(), n));
    return out;
  }
  // What the file is on its base after finish().
  Bytes finished() {
    content->finish(*fs.open("d/F", OpenMode::kReadWrite));
    return *fs.contents("d/F");
  }

  MemoryFileSystem fs;
  std::shared_ptr<ReusedContent> content = std::make_shared<ReusedContent>();
  std::unique_ptr<ReusedFile> file;
};

// The bytes a new file given the same writes holds.
Bytes Expected(size_t size, const std::vector<std::pair<uint64_t, std::string>>& writes) {
  Bytes out(size, 0);
  for (const auto& [offset, text] : writes) {
    for (size_t i = 0; i < text.size() && offset + i < size; ++i) out[offset + i] = text[i];
  }
  return out;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t n) {
  return Bytes(bytes.begin() + static_cast<ptrdiff_t>(from),
               bytes.begin() + static_cast<ptrdiff_t>(std::min(bytes.size(), from + n)));
}

TEST(ReusedFileTest, ReadsAndEndsAsANewFileWithTheSameWrites) {
  Fixture f(10000);
  EXPECT_EQ(f.file->size(), 0u) << "an old file is taken over empty";
  EXPECT_TRUE(f.read(0, 100).empty());
  // Two writes with a gap, one that overlaps and joins the first, and one
  // that touches the second.
  f.write(100, "first");
  f.write(5000, "second");
  f.write(103, "STLONGER");
  f.write(5006, "+");
  const std::vector<std::pair<uint64_t, std::string>> writes = {
      {100, "first"}, {5000, "second"}, {103, "STLONGER"}, {5006, "+"}};
  const Bytes expected = Expected(5007, writes);
  EXPECT_EQ(f.file->size(), 5007u);
  EXPECT_EQ(f.read(0, 6000), expected) << "old bytes show through";
  for (size_t from : {0, 99, 102, 110, 4990, 5005}) {
    EXPECT_EQ(f.read(from, 12), Slice(expected, from, 12)) << "from " << from;
  }
  EXPECT_EQ(f.finished(), expected);
}

TEST(ReusedFileTest, ATruncatedOrLengthenedFileEndsAtItsNewSize) {
  {
    Fixture f(4096);
    f.write(0, "header");
    f.write(3000, "tail");
    f.file->truncate(3002);  // cuts the second write in two
    EXPECT_EQ(f.read(2990, 100), Slice(Expected(3002, {{3000, "ta"}}), 2990, 100));
    f.file->truncate(3500);  // what was cut off does not come back
    EXPECT_EQ(f.finished(), Expected(3500, {{0, "header"}, {3000, "ta"}}));
  }
  {
    // Longer than the old file: the part past its end reads as zeros too.
    Fixture f(100);
    f.write(10, "x");
    f.file->truncate(8000);
    EXPECT_EQ(f.read(0, 8000), Expected(8000, {{10, "x"}}));
    EXPECT_EQ(f.finished(), Expected(8000, {{10, "x"}}));
  }
}

}  // namespace
}  // namespace vellum::engine
