// The integrity check of a table: its files checked against each other
// (record counts against blocks, the block chain, primary and secondary
// index order and coverage, blob references), as no other process changes
// them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/blob_file.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/index_file.h"
#include "engine/paradox/px_types.h"
#include "engine/paradox/table_locks.h"
#include "engine/paradox/verify_report.h"

namespace vellum::engine::paradox {

namespace {

// What a walk of the data file's chain found, for the checks after it.
struct ChainFacts {
  std::vector<IndexLeaf> leaves;  // per block holding records: first key, number, count
  uint64_t records = 0;
  uint32_t blocks = 0;
  uint16_t tail = 0;
  std::optional<int64_t> largest_autoinc;
};

// The record number (1-based) and key of a record for messages.
std::string RecordKey(Table::Impl& m, const uint8_t* r, uint64_t number) {
  if (!m.pk_parts.empty()) return DescribeKey(m.h(), m.pk_parts, r, *m.code_page);
  return "record " + std::to_string(number);
}

void CheckRecordBlobs(Table::Impl& m, const uint8_t* r, uint64_t number,
                      uint64_t* values_without_mb, VerifyReport& report) {
  for (const auto& f : m.h().fields) {
    if (!IsBlobType(f.type)) continue;
    const uint8_t* p = r + f.offset;
    if (IsAllZero(p, f.length)) continue;
    if (!m.blobs) {
      auto d = BlobDescriptor::Decode(p, f.leaderLength());
      if (d.length > static_cast<uint32_t>(f.leaderLength())) ++*values_without_mb;
      continue;
    }
    const std::string fault = m.blobs->check(p, f.leaderLength(), f.type);
    if (!fault.empty()) {
      report.add(Severity::kError, m.store->name(),
                 "field \"" + m.code_page->toUtf8(f.name) + "\": " + fault,
                 RecordKey(m, r, number));
    }
  }
}

// Walks the data file's chain: back links, key order, blob references and
// the largest autoincrement value. False when the chain cannot be read to
// its end (the reason is reported).
bool WalkDataChain(Table::Impl& m, ChainFacts& facts, VerifyReport& report) {
  const TableHeader& h = m.h();
  const std::string& name = m.store->name();
  uint64_t values_without_mb = 0;
  std::optional<size_t> autoinc;
  for (size_t i = 0; i < h.fields.size(); ++i) {
    if (h.fields[i].type == PxType::kAutoInc && !autoinc) autoinc = i;
  }
  try {
    ChainWalker w(m.store->file(), h, name);
    std::vector<uint8_t> prev;
    while (w.next()) {
      ++facts.blocks;
      if (w.blockHeader().prev != facts.tail) {
        report.add(Severity::kError, name,
                   "block " + std::to_string(w.blockNumber()) + " links back to block " +
                       std::to_string(w.blockHeader().prev) + " instead of " +
                       std::to_string(facts.tail));
      }
      facts.tail = w.blockNumber();
      if (w.count() > 0 && m.key_size > 0) {
        facts.leaves.push_back(
            IndexLeaf{std::vector<uint8_t>(w.record(0), w.record(0) + m.key_size), w.blockNumber(),
                      static_cast<uint16_t>(w.count())});
      }
      for (uint32_t i = 0; i < w.count(); ++i) {
        const uint8_t* r = w.record(i);
        const uint64_t number = w.recordsSeen() - w.count() + i + 1;
        if (!m.pk_parts.empty()) {
          if (!prev.empty() && CompareKeys(m.pk_parts, m.pk_parts.size(), prev.data(), r) >= 0) {
            report.add(Severity::kError, name, "records out of key order or repeating a key",
                       RecordKey(m, r, number));
          }
          prev.assign(r, r + h.record_size);
        }
        if (autoinc) {
          if (auto v = DecodeLong(r + h.fields[*autoinc].offset)) {
            facts.largest_autoinc = std::max<int64_t>(facts.largest_autoinc.value_or(*v), *v);
          }
        }
        CheckRecordBlobs(m, r, number, &values_without_mb, report);
      }
    }
    facts.records = w.recordsSeen();
  } catch (const EDBEngineError& e) {
    report.addText(Severity::kError, e.what());
    return false;
  }
  if (values_without_mb > 0) {
    report.add(Severity::kError, m.base + ".MB",
               "the blob file is missing; " + std::to_string(values_without_mb) +
                   " values of the table need it");
  }
  return true;
}

// Number of blocks on the free list; a broken list is reported.
uint32_t CountFreeBlocks(Table::Impl& m, VerifyReport& report) {
  const TableHeader& h = m.h();
  const std::string& name = m.store->name();
  uint32_t free_blocks = 0;
  std::vector<uint8_t> visited(65536, 0);
  uint16_t b = h.first_free_block;
  const uint64_t size = m.store->file().size();
  while (b != 0) {
    if (b > h.file_blocks || visited[b]) {
      report.add(Severity::kError, name,
                 "the free-block list is broken at block " + std::to_string(b));
      break;
    }
    visited[b] = 1;
    ++free_blocks;
    const uint64_t off = h.header_size + static_cast<uint64_t>(b - 1) * h.blockSize();
    uint8_t raw[2] = {0, 0};
    if (off + 2 > size || m.store->file().read(off, raw, 2) != 2) {
      report.add(Severity::kError, name, "free block " + std::to_string(b) + " lies past the end");
      break;
    }
    b = LoadLe16(raw);
  }
  return free_blocks;
}

void CheckBlockFileLength(File& file, const TableHeader& h, const std::string& name,
                          VerifyReport& report) {
  const std::string shortfall = BlockFileShortfall(h, file.size());
  if (!shortfall.empty()) report.add(Severity::kError, name, shortfall);
}

// Header counts against what the chain walk found.
void CheckHeaderCounts(Table::Impl& m, const ChainFacts& facts, VerifyReport& report) {
  const TableHeader& h = m.h();
  const std::string& name = m.store->name();
  if (facts.records != h.num_records) {
    report.add(Severity::kError, name,
               "header counts " + std::to_string(h.num_records) + " records, its blocks hold " +
                   std::to_string(facts.records));
  }
  if (h.last_block != 0 && facts.leaves.empty() && facts.records > 0 && m.key_size > 0) {
    report.add(Severity::kError, name, "no block holds a record");
  }
  if (h.last_block != facts.tail) {
    report.add(Severity::kError, name,
               "header names block " + std::to_string(h.last_block) +
                   " as the last of the chain, the chain ends at block " +
                   std::to_string(facts.tail));
  }
  const uint32_t free_blocks = CountFreeBlocks(m, report);
  if (facts.blocks + free_blocks != h.file_blocks) {
    report.add(Severity::kError, name,
               std::to_string(h.file_blocks) + " blocks in the header, " +
                   std::to_string(facts.blocks) + " chained and " + std::to_string(free_blocks) +
                   " free");
  }
  // Blocks in use: the chain's (what the original engine writes), or every
  // block of the file (what this engine and others have written).
  if (h.used_blocks != facts.blocks && h.used_blocks != h.file_blocks) {
    report.add(Severity::kError, name,
               "header counts " + std::to_string(h.used_blocks) + " blocks in use, the chain has " +
                   std::to_string(facts.blocks));
  }
  CheckBlockFileLength(m.store->file(), h, name, report);
  if (facts.largest_autoinc && *facts.largest_autoinc > 0 &&
      static_cast<uint64_t>(*facts.largest_autoinc) > h.auto_inc) {
    report.add(Severity::kError, name,
               "the autoincrement counter is " + std::to_string(h.auto_inc) +
                   ", below the largest value in the rows, " +
                   std::to_string(*facts.largest_autoinc));
  }
}

// The primary index's header against the table: file kind, block size and
// key fields. False when its entries cannot be compared with the table's.
bool CheckPrimaryHeader(const TableHeader& h, const TableHeader& ph, const std::string& px_name,
                        VerifyReport& report) {
  if (ph.file_type != static_cast<uint8_t>(FileType::kPrimaryIndex)) {
    report.add(Severity::kError, px_name,
               "it is not a primary index (file type " + std::to_string(ph.file_type) + ")");
  }
  if (!IsIndexBlockSize(ph.block_kb)) {
    report.add(Severity::kError, px_name,
               "its block size of " + std::to_string(ph.block_kb) + " KB is not an index's");
  }
  bool same_key = ph.fields.size() == h.key_fields;
  for (size_t i = 0; same_key && i < ph.fields.size(); ++i) {
    same_key = ph.fields[i].type == h.fields[i].type &&
               ph.fields[i].size_byte == h.fields[i].size_byte &&
               ph.fields[i].length == h.fields[i].length;
  }
  if (!same_key) {
    report.add(Severity::kError, px_name, "its key does not match the table's primary key");
    return false;
  }
  return true;
}

void CheckPrimaryIndex(Table::Impl& m, const ChainFacts& facts, VerifyReport& report) {
  bool found = false;
  const std::string px_path = ResolveCaseInsensitive(*m.fs, m.directory, m.base + ".PX", &found);
  if (!found) {
    report.add(Severity::kError, m.base + ".PX", "the primary index is missing");
    return;
  }
  try {
    auto pf = m.fs->open(px_path, OpenMode::kRead);
    const uint64_t size = pf->size();
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 0x10000)));
    pf->read(0, head.data(), head.size());
    const std::string px_name = FileNameOf(px_path);
    const TableHeader ph = ParseHeader(head.data(), head.size(), size, px_name);
    pf = UnscrambledBlocks(std::move(pf), ph);
    if (!CheckPrimaryHeader(m.h(), ph, px_name, report)) return;
    CheckBlockFileLength(*pf, ph, px_name, report);
    std::vector<std::string> problems;
    auto leaves = ReadIndexLeaves(*pf, ph, px_name, &problems);
    for (const auto& p : problems) report.addText(Severity::kError, p);
    if (leaves.size() != facts.leaves.size()) {
      report.add(Severity::kError, px_name,
                 "lists " + std::to_string(leaves.size()) + " data blocks, the table has " +
                     std::to_string(facts.leaves.size()));
      return;
    }
    for (size_t i = 0; i < leaves.size(); ++i) {
      if (leaves[i].block != facts.leaves[i].block || leaves[i].count != facts.leaves[i].count ||
          leaves[i].key != facts.leaves[i].key) {
        report.add(Severity::kError, px_name,
                   "entry " + std::to_string(i + 1) + " does not match data block " +
                       std::to_string(facts.leaves[i].block));
        break;
      }
    }
  } catch (const EDBEngineError& e) {
    report.addText(Severity::kError, e.what());
  }
}

}  // namespace

VerifyReport Table::verifyReport() {
  checkRowsReadable();
  Impl& m = *impl_;
  // The files are checked against each other as no other process is
  // changing them.
  if (m.options.writable) flush();
  HoldStill still(m, options_.lock_wait_ms);
  VerifyReport report;
  ChainFacts facts;
  if (!WalkDataChain(m, facts, report)) return report;
  CheckHeaderCounts(m, facts, report);
  if (m.blobs && m.blobs->file().size() % 4096 != 0) {
    report.add(Severity::kError, FileNameOf(m.blobs->file().path()),
               "the file is cut part-way through a 4 KB block");
  }
  if (m.key_size > 0) CheckPrimaryIndex(m, facts, report);
  auto find = [&m](const uint8_t* rec) -> std::optional<uint32_t> {
    uint32_t pos = m.lowerBound(rec, m.pk_parts.size());
    if (pos < m.store->size() &&
        CompareKeys(m.pk_parts, m.pk_parts.size(), m.store->record(pos), rec) == 0) {
      return pos;
    }
    return std::nullopt;
  };
  for (auto& si : m.secondaries) si->verify(report, find);
  for (const auto& why : m.unopened_indexes) report.addText(Severity::kError, why);
  return report;
}

std::vector<std::string> Table::verify() { return verifyReport().lines(Severity::kError); }

}  // namespace vellum::engine::paradox
