// Key comparison and the secondary indexes of a keyed table.
//
// A secondary index is a pair of files: the X file (.Xnn or .XGn), a
// table-format file with one record per table record holding the indexed
// fields, then the table's primary-key fields, then "Blk Num", sorted by all
// fields but the last; and the Y file (.Ynn or .YGn), a primary index over
// the X file.
//
// An X file is tied to its table by field position: its field-number list
// (and header byte 0x15) records the table position of each indexed field, so
// a renamed field keeps its index. An index whose recorded fields no longer
// match the table's, whose entry count differs from the table's record count,
// or whose consistency byte 0x2F differs from the primary index's 0x2C, is
// out of date: it is reported, never used for ordering or searching, and
// rebuilt from the rows when a writer opens it (when only its entries are
// stale) or when the table is restructured.
//
// Invariants of a maintained index after every change of its table:
//  - the X file holds exactly one record per table record;
//  - the text of case-insensitive indexed fields is stored folded
//    (FoldIndexByte), and X records are in ascending byte order of
//    (indexed fields, with the index's descending option, then the primary
//    key);
//  - each new or moved record's Blk Num is the data block holding it. Blk
//    Num is a hint: files written by other programs keep the block a record
//    had when its entry was made, so readers find records by key.
//  - the Y file lists the X blocks with their first keys and counts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/header.h"
#include "engine/paradox/index_file.h"
#include "engine/paradox/record_store.h"
#include "engine/paradox/table.h"
#include "engine/paradox/verify_report.h"

namespace vellum::engine::paradox {

// One field of a key, located in some record layout.
struct KeyPart {
  uint16_t offset = 0;
  uint16_t length = 0;
  PxType type = PxType::kAlpha;
  bool descending = false;
  bool case_insensitive = false;
  uint8_t size_byte = 0;
};

// How a case-insensitive index holds a byte of key text: ASCII a-z upper-cased,
// as in every such index file of the original engine. Bytes of 0x80 and above
// are kept as they are (no sample settles how accented letters are folded).
uint8_t FoldIndexByte(uint8_t c);

// Compares the first `n` parts of two records: <0, 0 or >0. Case-insensitive
// text parts compare their folded bytes.
int CompareKeys(const std::vector<KeyPart>& parts, size_t n, const uint8_t* a, const uint8_t* b);

// Position of the first record of `s` whose first `n` key parts are >= those
// of `key` (records of `s` in ascending order of `parts`).
uint32_t KeyLowerBound(RecordStore& s, const std::vector<KeyPart>& parts, size_t n, size_t key_size,
                       const uint8_t* key);

// Position of the first record of `s` whose first `n` key parts are above
// those of `key`.
uint32_t KeyUpperBound(RecordStore& s, const std::vector<KeyPart>& parts, size_t n, size_t key_size,
                       const uint8_t* key);

// Readable text of a record's key, e.g. ("Smith", 12).
std::string DescribeKey(const TableHeader& h, const std::vector<KeyPart>& parts, const uint8_t* rec,
                        const CodePage& cp);

struct SecondarySpec {
  std::string name;
  std::vector<size_t> fields;  // 0-based table field indexes in key order
  bool unique = false;
  bool descending = false;
  bool case_insensitive = false;
  bool composite = true;    // .XGn / .YGn, else .Xnn / .Ynn
  std::string file_suffix;  // "02" for .X02, "G0" for .XG0
};

// How the entries of a secondary index are made from table records and
// ordered, apart from the index's files: for writing an index from scratch.
struct EntryLayout {
  TableHeader x;                         // the X file's header
  std::vector<KeyPart> parts;            // every X field but Blk Num, with the index's options
  size_t indexed = 0;                    // leading parts that are indexed fields
  std::vector<uint16_t> source_offsets;  // table record offset of each part's field
  std::string y_file;                    // name of the Y file
  uint8_t y_file_type = 4;

  // The X record of a table record held in data block `block`.
  void makeEntry(const uint8_t* table_record, uint16_t block, uint8_t* out) const;
};

class SecondaryIndex {
 public:
  // Writes the empty X and Y files of a new index.
  static void CreateFiles(FileSystem& fs, const std::string& directory, const std::string& base,
                          const TableHeader& table, const SecondarySpec& spec, const CodePage& cp);

  // Opens the index whose X file is `x_file` (a name in `directory`).
  static std::unique_ptr<SecondaryIndex> Open(FileSystem& fs, const std::string& directory,
                                              const std::string& x_file, const TableHeader& table,
                                              const TableStructure& structure, const CodePage& cp,
                                              bool writable);
  ~SecondaryIndex();

  const IndexInfo& info() const { return info_; }
  // Kept up to date with the table's changes (false for non-maintained and
  // out-of-date indexes).
  bool maintained() const { return maintained_; }
  bool outOfDate() const { return out_of_date_; }

  // Connects the index to its table's data file. `primary_stamp` is the
  // primary index's consistency byte (0x2C), when the table has one. An
  // index whose entries are stale (another entry count than the table's
  // record count, another consistency byte) is out of date when read-only.
  void attach(RecordStore& table, const std::vector<KeyPart>& table_pk,
              std::optional<uint8_t> primary_stamp = std::nullopt);
  // The guard of the X file's reads.
  void setReadGuard(ReadGuard* guard) {
    if (x_) x_->setReadGuard(guard);
  }
  // A writable index with stale entries (a program that died in the middle
  // of a bulk change had written the table and not the index, or another
  // program changed the table alone) is rebuilt from the table. True when it
  // was; the Y file is then rewritten at the next refresh().
  bool rebuildIfStale();

  void onInsert(const uint8_t* table_record, uint16_t block);
  void onErase(const uint8_t* table_record);
  void onMove(const uint8_t* table_record, uint16_t block);
  // Raises a key violation when another record has the same indexed values
  // (`self`, when given, is the record being replaced).
  void checkUnique(const uint8_t* table_record, const uint8_t* self, const std::string& table);

  void refresh();
  // Forgets what it holds in memory and reads its files again: another
  // process changed them. An out-of-date index holds nothing to forget.
  void reread();
  void sync();
  // Writes pending changes and adds the files that then need a sync.
  void filesToSync(std::vector<File*>* files);

  // Ordered access for cursors. Entries are X records in index order.
  uint32_t entries() { return x_->size(); }
  // First entry whose leading `parts` indexed fields are >= those of
  // `table_record` (a record in the table's layout).
  uint32_t lowerBoundFor(const uint8_t* table_record, size_t parts);
  // First entry whose leading `parts` indexed fields are above those.
  uint32_t upperBoundFor(const uint8_t* table_record, size_t parts);
  // Entry holding `table_record` (exact match on indexed fields and key).
  std::optional<uint32_t> entryFor(const uint8_t* table_record);
  // Entry that `table_record` has, or would take were it inserted.
  uint32_t positionFor(const uint8_t* table_record);
  // Compares the leading `parts` indexed fields of two table records, with
  // the index's options: <0, 0 or >0.
  int compareIndexed(const uint8_t* a, const uint8_t* b, size_t parts);
  // Copies an entry's primary-key fields into a record of the table's layout.
  void keyOfEntry(uint32_t entry, uint8_t* table_record);
  size_t indexedFields() const { return indexed_; }
  EntryLayout layout() const;
  // Checks the X and Y files against each other and every entry against
  // its record (`find_in_table` gives a primary key's table position).
  void verify(VerifyReport& report,
              const std::function<std::optional<uint32_t>(const uint8_t*)>& find_in_table);

 private:
  SecondaryIndex() = default;
  // Fills info_ from the X header and the table fields of its indexed fields.
  void describe(const TableHeader& x, const TableStructure& st, const CodePage& cp,
                const std::vector<size_t>& fields, size_t indexed, const std::string& x_file);
  void markOutOfDate(const std::string& why);
  void verifyEntries(VerifyReport& report,
                     const std::function<std::optional<uint32_t>(const uint8_t*)>& find,
                     std::vector<IndexLeaf>* chain_leaves);
  void verifyIndexFile(VerifyReport& report, const std::vector<IndexLeaf>& chain_leaves);
  void buildRecord(const uint8_t* table_record, uint16_t block, uint8_t* out) const;
  uint32_t lowerBound(const uint8_t* xrec, size_t parts);

  FileSystem* fs_ = nullptr;
  IndexInfo info_;
  bool maintained_ = true;
  bool out_of_date_ = false;
  std::string stale_;  // why the entries are stale, until rebuilt
  std::optional<uint8_t> primary_stamp_;
  bool writable_ = false;
  const CodePage* cp_ = nullptr;
  std::string y_path_;
  bool y_found_ = false;
  std::unique_ptr<RecordStore> x_;
  std::unique_ptr<IndexFileWriter> y_;
  RecordStore* table_ = nullptr;
  std::vector<KeyPart> table_pk_;
  std::vector<size_t> table_fields_;      // table field index per indexed field
  std::vector<uint16_t> source_offsets_;  // table record offsets of X fields (but Blk Num)
  std::vector<KeyPart> parts_;            // X key parts: indexed fields then primary key
  size_t indexed_ = 0;                    // number of indexed fields
  size_t key_size_ = 0;                   // bytes of the X key (all but Blk Num)
  IndexLeafList leaves_;                  // reused between changes
  std::vector<uint8_t> xrec_, xself_;     // X records built for one call
  std::vector<uint8_t> xother_;           // the second record of a comparison
  // Where the last unique check placed its record, valid while no entry
  // has been inserted or erased since (x_changes_ unchanged).
  std::vector<uint8_t> pending_;
  uint32_t pending_pos_ = 0;
  uint64_t pending_stamp_ = 0;
  bool pending_valid_ = false;
  uint64_t x_changes_ = 0;
};

}  // namespace vellum::engine::paradox
