// Index files (.PX primary index, .Ynn / .YGn secondary-index index): a
// B-tree over the blocks of a data file (.DB or .Xnn / .XGn).
//
// Invariants of a written index file:
//  - level-1 (leaf) entries list the data file's chained blocks in chain
//    order, each with the key of the block's first record, the block number
//    and its record count;
//  - an upper-level entry holds the first key of its child index block, the
//    child's block number and the sum of the child's counts;
//  - all index blocks form one chain 1..N, the root is the last block;
//  - an empty data file gives an index file of its header alone (root 1,
//    levels 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/header.h"

namespace vellum::engine::paradox {

struct IndexLeaf {
  std::vector<uint8_t> key;  // encoded key fields of the block's first record
  uint16_t block = 0;
  uint16_t count = 0;
};

// Leaves in flat arrays, so that collecting them allocates nothing once the
// arrays have grown.
struct IndexLeafList {
  size_t key_size = 0;
  std::vector<uint8_t> keys;  // key_size bytes per leaf
  std::vector<uint16_t> blocks;
  std::vector<uint16_t> counts;

  void reset(size_t key_bytes) {
    key_size = key_bytes;
    keys.clear();
    blocks.clear();
    counts.clear();
  }
  void add(const void* key, uint16_t block, uint16_t count) {
    const auto* k = static_cast<const uint8_t*>(key);
    keys.insert(keys.end(), k, k + key_size);
    blocks.push_back(block);
    counts.push_back(count);
  }
  size_t size() const { return blocks.size(); }
};

// Header template for the index file of a data file: `key_fields` are the
// data file's first fields that make the key. The index of an encrypted data
// file is encrypted under its checksum.
TableHeader MakeIndexHeader(const TableHeader& data_header, size_t key_fields, uint8_t file_type,
                            const std::string& file_name);

// Builds the complete bytes of an index file from its leaves.
std::vector<uint8_t> BuildIndexImage(TableHeader header, const std::vector<IndexLeaf>& leaves);
void BuildIndexImage(TableHeader header, const IndexLeafList& leaves, std::vector<uint8_t>* out);

// Keeps an index file on disk equal to the image built from the current
// leaves, writing only the blocks that changed; the blocks of an encrypted
// index go through their scrambling. An existing file scrambled otherwise
// than the header asks (another program left it clear) stays as it is until
// the first update, which writes it anew, whole.
class IndexFileWriter {
 public:
  IndexFileWriter(FileSystem& fs, std::string path, TableHeader header, bool create);
  void update(const std::vector<IndexLeaf>& leaves);
  void update(const IndexLeafList& leaves);
  // Rewrites only the entries of the leaves at `changed` positions and their
  // parents, when the leaves are the same blocks as at the last update (only
  // their counts or first keys changed). False when it cannot; then call
  // update().
  bool patch(const IndexLeafList& leaves, const std::vector<uint32_t>& changed);
  void sync();
  // Reads the file again: another process rewrote it, so what this writer
  // last wrote is no guide to what the file holds.
  void forget();
  File* file() { return file_.get(); }
  const std::string& path() const { return path_; }

 private:
  // Reads what the file holds into image_; a file scrambled otherwise than
  // header_ asks leaves it empty and has the next update write it whole.
  void loadImage();

  FileSystem& fs_;
  std::string path_;
  TableHeader header_;
  std::unique_ptr<File> file_;
  std::vector<uint8_t> image_;
  bool rewrite_ = false;
  std::vector<uint8_t> next_;
  bool loaded_ = false;
  // The tree of image_ when it was built here: leaves per block, the first
  // block of each level and the true (unclamped) count of every entry.
  size_t built_leaves_ = SIZE_MAX;
  std::vector<size_t> level_first_;
  std::vector<std::vector<uint32_t>> level_counts_;
  size_t header_bytes_ = 0;
};

// Reads an index file's leaves in order, checking the tree: child links,
// levels, counts and key order of upper levels against their children.
// Problems are appended to `problems` (integrity check); an unreadable file
// raises data corruption.
std::vector<IndexLeaf> ReadIndexLeaves(File& file, const TableHeader& header,
                                       const std::string& name, std::vector<std::string>* problems);

}  // namespace vellum::engine::paradox
