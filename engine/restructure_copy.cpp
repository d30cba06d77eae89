// The rows of a restructure: the records of the new table made from the old
// table's, written into the new table, and the new unique keys checked.
#include "engine/restructure_copy.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "engine/errors.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/entry_sorter.h"
#include "engine/paradox/secondary_index.h"
#include "engine/paradox/sequential_writer.h"
#include "engine/text.h"

namespace vellum::engine::restructure {

namespace {

using paradox::Table;

std::string PrimaryKeyViolation(const std::string& table, const std::string& key) {
  return "Key violation in table \"" + table + "\": the primary key " + key + " already exists";
}

std::string UniqueKeyViolation(const std::string& table, const std::string& key,
                               const std::string& index) {
  return "Key violation in table \"" + table + "\": the key " + key +
         " already exists in the unique index \"" + index + "\"";
}

// The key text of an entry's indexed fields.
std::string IndexedKeyText(const paradox::EntryLayout& l, const uint8_t* entry,
                           const paradox::CodePage& cp) {
  std::vector<paradox::KeyPart> shown(l.parts.begin(),
                                      l.parts.begin() + static_cast<long>(l.indexed));
  return paradox::DescribeKey(l.x, shown, entry, cp);
}

// The secondary indexes of a table written front to back. Every record's
// entries (one per index, with the data block the record went into) are
// collected and sorted with bounded memory while the data file is written;
// then each index's X and Y files are written front to back from its sorted
// entries, the unique indexes checked on the way.
class SecondaryBuilder {
 public:
  SecondaryBuilder(FileSystem& fs, Table& fresh, const std::string& work,
                   const paradox::CodePage& cp, size_t sort_buffer_bytes)
      : fs_(fs), work_(work), table_(fresh.structure().name), cp_(cp) {
    const auto& h = fresh.header();
    // The entries of an encrypted table are sorted in scrambled runs.
    if (h.passwordChecksum() != 0) {
      scrambled_runs_ = std::make_unique<paradox::ScramblingFileSystem>(fs, h.passwordChecksum());
    }
    FileSystem& runs_fs = scrambled_runs_ ? *scrambled_runs_ : fs;
    for (size_t k = 0; k < h.key_fields; ++k) {
      const paradox::PxField& f = h.fields[k];
      pk_parts_.push_back(paradox::KeyPart{f.offset, f.length, f.type, false, false, f.size_byte});
      pk_size_ += f.length;
    }
    // The sort memory is shared out among the indexes.
    size_t count = 0;
    for (const auto& info : fresh.structure().indexes) {
      if (!info.primary && info.maintained) ++count;
    }
    const size_t per_index = sort_buffer_bytes / std::max<size_t>(count, 1);
    for (const auto& info : fresh.structure().indexes) {
      if (info.primary || !info.maintained) continue;
      auto si = paradox::SecondaryIndex::Open(fs, work, info.file, h, fresh.structure(), cp, false);
      Index x;
      x.layout = si->layout();
      x.name = info.name;
      x.unique = info.unique;
      x.x_path = JoinPath(work, info.file);
      x.sorter = std::make_unique<paradox::EntrySorter>(runs_fs, work, info.file + ".run",
                                                        x.layout.x.record_size, x.layout.parts,
                                                        x.layout.parts.size(), per_index);
      entry_.resize(std::max<size_t>(entry_.size(), x.layout.x.record_size));
      indexes_.push_back(std::move(x));
    }
  }

  // Enters a record written to data block `block`.
  void add(const uint8_t* record, uint16_t block) {
    for (auto& x : indexes_) {
      x.layout.makeEntry(record, block, entry_.data());
      x.sorter->add(entry_.data());
    }
  }

  // Writes the X and Y files of every index (unless `write` is false: the
  // entries are only checked). Two entries of a unique index with equal
  // indexed values fail as inserting the records one by one in table order
  // would: on the first record, in that order, whose values an earlier
  // record already has, naming the first index (in the table's order) it
  // breaks.
  void finish(bool write) {
    std::vector<uint8_t> best_key;  // primary key of that record
    std::string best_message;
    std::vector<uint8_t> previous, key(pk_size_);
    for (auto& x : indexes_) {
      const auto& l = x.layout;
      const size_t rs = l.x.record_size;
      const uint16_t pk_offset = l.x.fields[l.indexed].offset;
      std::unique_ptr<paradox::SequentialTableWriter> writer;
      if (write) {
        writer = std::make_unique<paradox::SequentialTableWriter>(
            fs_, x.x_path, JoinPath(work_, l.y_file), table_, cp_, l);
      }
      previous.clear();
      x.sorter->drain([&](const uint8_t* e) {
        if (x.unique && !previous.empty() &&
            paradox::CompareKeys(l.parts, l.indexed, previous.data(), e) == 0) {
          std::memcpy(key.data(), e + pk_offset, pk_size_);
          if (best_key.empty() ||
              paradox::CompareKeys(pk_parts_, pk_parts_.size(), key.data(), best_key.data()) < 0) {
            best_key = key;
            best_message = UniqueKeyViolation(table_, IndexedKeyText(l, e, cp_), x.name);
          }
        }
        previous.assign(e, e + rs);
        if (writer && best_key.empty() &&
            writer->append(e) != paradox::SequentialTableWriter::Append::kDone) {
          ThrowCorrupt(x.x_path, "index entries came out of order");
        }
      });
      if (writer && best_key.empty()) writer->finish();
    }
    if (!best_key.empty()) ThrowKeyViolation(best_message);
  }

 private:
  struct Index {
    paradox::EntryLayout layout;
    std::string name;
    bool unique = false;
    std::string x_path;
    std::unique_ptr<paradox::EntrySorter> sorter;
  };
  FileSystem& fs_;
  std::unique_ptr<paradox::ScramblingFileSystem> scrambled_runs_;
  std::string work_;
  std::string table_;
  const paradox::CodePage& cp_;
  std::vector<paradox::KeyPart> pk_parts_;
  size_t pk_size_ = 0;
  std::vector<Index> indexes_;
  std::vector<uint8_t> entry_;
};

// Sorts the entries of one unique key of the new table, each followed by
// the ordinal of its row in the old table, so that equal keys come in row
// order and the second of each run is a row that repeats an earlier one.
struct KeyRun {
  std::string index;                    // empty for the primary key
  std::vector<paradox::KeyPart> parts;  // the key's parts, then the ordinal
  size_t key_parts = 0;
  size_t entry_size = 0;        // bytes before the ordinal
  paradox::EntryLayout layout;  // secondary indexes: how entries are made
  std::unique_ptr<paradox::EntrySorter> sorter;
};

void StoreOrdinal(uint8_t* at, uint32_t ordinal) {
  for (int i = 3; i >= 0; --i, ordinal >>= 8) at[i] = static_cast<uint8_t>(ordinal);
}

uint32_t LoadOrdinal(const uint8_t* at) {
  return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

// The first row at which inserting the old table's rows one by one into a
// table of the new definition stops on a repeated unique key.
class KeyChecker {
 public:
  KeyChecker(Table& fresh, FileSystem& fs, const std::string& directory, size_t buffer_bytes)
      : fs_(fs),
        directory_(directory),
        table_(fresh.structure().name),
        header_(fresh.header()),
        cp_(fresh.structure().code_page),
        buffer_bytes_(buffer_bytes) {}

  void addPrimary() {
    KeyRun run;
    for (size_t k = 0; k < header_.key_fields; ++k) {
      const paradox::PxField& f = header_.fields[k];
      run.parts.push_back(paradox::KeyPart{f.offset, f.length, f.type, false, false, f.size_byte});
      run.entry_size += f.length;
    }
    runs_.push_back(std::move(run));
  }

  void addUnique(const std::string& name, paradox::EntryLayout layout) {
    KeyRun run;
    run.index = name;
    run.parts.assign(layout.parts.begin(),
                     layout.parts.begin() + static_cast<long>(layout.indexed));
    run.entry_size = layout.x.record_size;
    run.layout = std::move(layout);
    runs_.push_back(std::move(run));
  }

  bool empty() const { return runs_.empty(); }

  // Enters the new record of the row at `ordinal` in the old table.
  void add(const uint8_t* record, uint32_t ordinal) {
    if (!started_) start();
    for (auto& run : runs_) {
      if (run.index.empty()) {
        std::memcpy(entry_.data(), record, run.entry_size);
      } else {
        run.layout.makeEntry(record, 0, entry_.data());
      }
      StoreOrdinal(entry_.data() + run.entry_size, ordinal);
      run.sorter->add(entry_.data());
    }
  }

  // Raises the key violation of the first repeating row, if any.
  void finish() {
    if (!started_) return;
    std::optional<uint32_t> best_row;
    std::string best_message;
    std::vector<uint8_t> previous;
    for (auto& run : runs_) {
      previous.clear();
      run.sorter->drain([&](const uint8_t* e) {
        if (!previous.empty() &&
            paradox::CompareKeys(run.parts, run.key_parts, previous.data(), e) == 0) {
          const uint32_t row = LoadOrdinal(e + run.entry_size);
          // The earlier key in the table's order wins a tie on one row.
          if (!best_row || row < *best_row) {
            best_row = row;
            best_message = messageOf(run, e);
          }
        }
        previous.assign(e, e + run.entry_size + 4);
      });
    }
    if (best_row) ThrowKeyViolation(best_message);
  }

 private:
  void start() {
    started_ = true;
    const size_t per_key = buffer_bytes_ / std::max<size_t>(runs_.size(), 1);
    size_t widest = 0;
    for (size_t k = 0; k < runs_.size(); ++k) {
      KeyRun& run = runs_[k];
      run.key_parts = run.parts.size();
      run.parts.push_back(paradox::KeyPart{static_cast<uint16_t>(run.entry_size), 4,
                                           paradox::PxType::kBytes, false, false, 4});
      run.sorter = std::make_unique<paradox::EntrySorter>(
          fs_, directory_, RunPrefix(k), run.entry_size + 4, run.parts, run.parts.size(), per_key);
      run.sorter->keepRunsUnnamed();
      widest = std::max(widest, run.entry_size + 4);
    }
    entry_.resize(widest);
  }

  std::string RunPrefix(size_t k) const {
    return ".vellum-keycheck-" + std::to_string(::getpid()) + "-" +
           std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" + std::to_string(k) + ".run";
  }

  std::string messageOf(const KeyRun& run, const uint8_t* entry) const {
    if (run.index.empty()) {
      std::vector<paradox::KeyPart> key(run.parts.begin(),
                                        run.parts.begin() + static_cast<long>(run.key_parts));
      return PrimaryKeyViolation(table_, paradox::DescribeKey(header_, key, entry, cp_));
    }
    return UniqueKeyViolation(table_, IndexedKeyText(run.layout, entry, cp_), run.index);
  }

  FileSystem& fs_;
  std::string directory_;
  std::string table_;
  const paradox::TableHeader& header_;
  paradox::CodePage cp_;
  size_t buffer_bytes_;
  std::vector<KeyRun> runs_;
  std::vector<uint8_t> entry_;
  bool started_ = false;
};

// Old field indexes of the fields a unique key of the old table keeps
// unique: its primary key and every maintained unique secondary index,
// each with whether it compares text without regard to case.
struct UniqueSet {
  std::vector<size_t> fields;
  bool case_insensitive = false;
};

size_t FieldIndexByName(const paradox::TableStructure& st, const std::string& name) {
  for (size_t i = 0; i < st.fields.size(); ++i) {
    if (SameNameIgnoringCase(st.fields[i].name, name)) return i;
  }
  return SIZE_MAX;
}

std::vector<size_t> KeyFieldIndexes(const paradox::TableStructure& st,
                                    const std::vector<std::string>& keys) {
  std::vector<size_t> out;
  out.reserve(keys.size());
  for (const std::string& key : keys) out.push_back(FieldIndexByName(st, key));
  return out;
}

std::vector<UniqueSet> OldUniqueSets(Table& old_table) {
  std::vector<UniqueSet> sets;
  const auto& st = old_table.structure();
  for (const auto& index : st.indexes) {
    if (!index.unique || !index.maintained) continue;
    // The primary key is known from the data file alone; other unique
    // indexes only when their files were read.
    if (!index.primary && index.file.empty()) continue;
    sets.push_back({KeyFieldIndexes(st, index.key_fields), index.case_insensitive});
  }
  return sets;
}

// Whether new key fields `fields` (new field indexes) are unique already in
// the old table: some old unique key's fields are all among them, each
// copied unchanged, and it compares no more loosely than the new key.
bool KeptUnique(const std::vector<size_t>& fields, bool case_insensitive,
                const std::vector<int>& source, const RecordMapper& mapper,
                const std::vector<UniqueSet>& old_sets) {
  std::vector<size_t> copied;  // old field indexes copied unchanged into the key
  for (size_t f : fields) {
    if (f < source.size() && source[f] >= 0 && mapper.copiesBytes(f)) {
      copied.push_back(static_cast<size_t>(source[f]));
    }
  }
  for (const auto& set : old_sets) {
    if (set.case_insensitive && !case_insensitive) continue;
    const bool inside = std::all_of(set.fields.begin(), set.fields.end(), [&](size_t f) {
      return std::find(copied.begin(), copied.end(), f) != copied.end();
    });
    if (inside && !set.fields.empty()) return true;
  }
  return false;
}

// Inserts a record into `fresh`, or counts it in `left_out` when it repeats
// a unique key there.
void InsertOrLeaveOut(Table& fresh, const uint8_t* record, RowsLeftOut& left_out) {
  try {
    fresh.insertRecordBytes(record);
  } catch (const EDBEngineError& e) {
    if (e.category() != ErrorCategory::kIntegrity) throw;
    ++left_out.count;
    if (left_out.first.size() < 10) left_out.first.emplace_back(e.what());
  }
}

}  // namespace

RecordMapper::RecordMapper(Table& old_table, Table& fresh, const std::vector<int>& source,
                           bool with_blobs)
    : old_(old_table), fresh_(fresh), source_(source) {
  const auto& old_px = old_table.header().fields;
  const auto& new_px = fresh.header().fields;
  const int code_page = fresh.structure().code_page;
  const bool single_byte =
      code_page != 932 && code_page != 936 && code_page != 949 && code_page != 950;
  fill_.assign(new_px.size(), Fill::kNull);
  for (size_t i = 0; i < new_px.size(); ++i) {
    if (paradox::IsBlobType(new_px[i].type)) has_blobs_ = true;
    if (i >= source.size() || source[i] < 0) continue;
    const paradox::PxField& o = old_px[static_cast<size_t>(source[i])];
    const paradox::PxField& n = new_px[i];
    if (o.type == n.type && o.size_byte == n.size_byte && !paradox::IsBlobType(n.type)) {
      fill_[i] = Fill::kBytes;
    } else if (o.type == paradox::PxType::kAlpha && n.type == paradox::PxType::kAlpha &&
               single_byte) {
      fill_[i] = Fill::kAlpha;
    } else if (!with_blobs && paradox::IsBlobType(n.type)) {
      continue;
    } else if (paradox::HoldsStoredBytes(o.type) && paradox::HoldsStoredBytes(n.type)) {
      fill_[i] = Fill::kStored;
    } else {
      fill_[i] = Fill::kConvert;
    }
  }
  planSpans();
}

void RecordMapper::planSpans() {
  const auto& old_px = old_.header().fields;
  const auto& new_px = fresh_.header().fields;
  const uint32_t size = fresh_.header().record_size;
  std::vector<bool> filled(size, false);
  for (size_t i = 0; i < fill_.size(); ++i) {
    if (fill_[i] == Fill::kConvert || fill_[i] == Fill::kStored) converted_.push_back(i);
    if (fill_[i] != Fill::kBytes && fill_[i] != Fill::kAlpha) continue;
    const paradox::PxField& o = old_px[static_cast<size_t>(source_[i])];
    const paradox::PxField& n = new_px[i];
    const uint32_t length = std::min(n.length, o.length);
    if (!copies_.empty() && copies_.back().to + copies_.back().length == n.offset &&
        copies_.back().from + copies_.back().length == o.offset) {
      copies_.back().length += length;
    } else {
      copies_.push_back(Span{o.offset, n.offset, length});
    }
    std::fill_n(filled.begin() + n.offset, length, true);
  }
  if (!converted_.empty()) {
    zeros_.push_back(Span{0, 0, size});
    return;
  }
  for (uint32_t at = 0; at < size;) {
    if (filled[at]) {
      ++at;
      continue;
    }
    uint32_t end = at;
    while (end < size && !filled[end]) ++end;
    zeros_.push_back(Span{0, at, end - at});
    at = end;
  }
}

void RecordMapper::map(const uint8_t* in, uint8_t* out) {
  for (const Span& z : zeros_) std::memset(out + z.to, 0, z.length);
  for (const Span& c : copies_) std::memcpy(out + c.to, in + c.from, c.length);
  const auto& new_fields = fresh_.structure().fields;
  for (size_t i : converted_) {
    const auto from = static_cast<size_t>(source_[i]);
    if (fill_[i] == Fill::kStored) {
      fresh_.setFieldBytes(i, old_.fieldBytes(from, in), out);
      continue;
    }
    Value v = old_.fieldValue(from, in);
    fresh_.setFieldValue(i, ConvertFieldValue(v, new_fields[i].type, new_fields[i].size), out);
  }
}

bool CopyRows(FileSystem& fs, Table& old_table, const std::string& work, const std::string& base,
              const std::vector<int>& source, const std::string& password, bool stream,
              const BuildTableOptions& options) {
  paradox::OpenOptions writing{.writable = true, .exclusive = true};
  if (!password.empty()) writing.passwords.push_back(password);
  auto fresh = Table::Open(work, base, writing, fs);
  fresh->setCheckRequired(false);
  RecordMapper mapper(old_table, *fresh, source, true);
  std::unique_ptr<paradox::CodePage> keys_code_page;
  std::unique_ptr<paradox::SequentialTableWriter> writer;
  std::unique_ptr<SecondaryBuilder> secondaries;
  if (stream) {
    keys_code_page = std::make_unique<paradox::CodePage>(fresh->structure().code_page);
    writer = std::make_unique<paradox::SequentialTableWriter>(
        fs, JoinPath(work, fresh->structure().file), JoinPath(work, base + ".PX"), base,
        *keys_code_page);
    secondaries = std::make_unique<SecondaryBuilder>(fs, *fresh, work, *keys_code_page,
                                                     options.sort_buffer_bytes);
  } else {
    fresh->beginBulk();
  }
  Table::Scanner scan(old_table);
  std::vector<uint8_t> out(fresh->header().record_size);
  const uint64_t total = options.on_rows ? old_table.recordCount() : 0;
  const uint64_t every = std::max<uint64_t>(options.rows_per_report, 1);
  uint64_t copied = 0;
  if (options.on_rows) options.on_rows(0, total);
  while (scan.nextRaw()) {
    if (options.on_rows && ++copied % every == 0) options.on_rows(copied, total);
    if (!writer) {
      mapper.map(scan.raw(), out.data());
      if (options.rows_left_out) {
        InsertOrLeaveOut(*fresh, out.data(), *options.rows_left_out);
      } else {
        fresh->insertRecordBytes(out.data());
      }
      continue;
    }
    // The record is built where it goes in the new data file.
    uint8_t* record = writer->reserve();
    mapper.map(scan.raw(), record);
    paradox::SequentialTableWriter::Append appended;
    try {
      appended = writer->commit();
    } catch (const EDBEngineError& e) {
      // A repeated primary key. One by one, the rows would have stopped
      // earlier at a row breaking a unique secondary index, if any did.
      if (e.category() == ErrorCategory::kIntegrity) secondaries->finish(false);
      throw;
    }
    if (appended == paradox::SequentialTableWriter::Append::kOutOfOrder) return false;
    secondaries->add(record, writer->lastBlock());
  }
  if (options.on_rows) options.on_rows(copied, total);
  if (writer) {
    writer->finish();
    // The blob values went through the table; the data file and indexes it
    // holds open were not changed through it.
    if (mapper.newTableHasBlobs()) fresh->flush();
    // The index files are written with the table closed.
    fresh.reset();
    secondaries->finish(true);
  } else {
    fresh->endBulk();
    fresh->flush();
  }
  return true;
}

void CheckUniqueKeys(Table& old_table, Table& fresh, FileSystem& fresh_fs,
                     const std::vector<int>& source, FileSystem& scratch_fs,
                     const std::string& scratch_directory, size_t sort_buffer_bytes) {
  RecordMapper mapper(old_table, fresh, source, false);
  const auto& st = fresh.structure();
  const std::vector<UniqueSet> old_sets = OldUniqueSets(old_table);
  KeyChecker checker(fresh, scratch_fs, scratch_directory, sort_buffer_bytes);
  paradox::CodePage cp(st.code_page);
  for (const auto& index : st.indexes) {
    if (!index.unique || !index.maintained) continue;
    const std::vector<size_t> fields = KeyFieldIndexes(st, index.key_fields);
    if (KeptUnique(fields, index.case_insensitive, source, mapper, old_sets)) continue;
    if (index.primary) {
      checker.addPrimary();
      continue;
    }
    auto si = paradox::SecondaryIndex::Open(fresh_fs, fresh.directory(), index.file, fresh.header(),
                                            st, cp, false);
    checker.addUnique(index.name, si->layout());
  }
  if (checker.empty()) return;
  Table::Scanner scan(old_table);
  std::vector<uint8_t> out(fresh.header().record_size);
  uint32_t ordinal = 0;
  while (scan.nextRaw()) {
    mapper.map(scan.raw(), out.data());
    checker.add(out.data(), ordinal++);
  }
  checker.finish();
}

}  // namespace vellum::engine::restructure
