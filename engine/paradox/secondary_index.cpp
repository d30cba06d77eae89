#include "engine/paradox/secondary_index.h"

#include <algorithm>
#include <cstring>

#include "engine/errors.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/text.h"

namespace vellum::engine::paradox {

uint8_t FoldIndexByte(uint8_t c) {
  return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c;
}

int CompareKeys(const std::vector<KeyPart>& parts, size_t n, const uint8_t* a, const uint8_t* b) {
  for (size_t i = 0; i < n && i < parts.size(); ++i) {
    const KeyPart& k = parts[i];
    int c = 0;
    if (k.case_insensitive && k.type == PxType::kAlpha) {
      // Text ends at its first NUL; the rest of the field is padding.
      const uint8_t* x = a + k.offset;
      const uint8_t* y = b + k.offset;
      for (size_t j = 0; j < k.length; ++j) {
        if (x[j] == y[j]) {
          if (x[j] == 0) break;
          continue;
        }
        c = FoldIndexByte(x[j]) - FoldIndexByte(y[j]);
        if (c != 0) break;
      }
    } else if (k.length <= 16) {
      // Short fields (numbers, dates, short codes) are the common key
      // parts; a byte loop beats a library call for them.
      const uint8_t* x = a + k.offset;
      const uint8_t* y = b + k.offset;
      for (size_t j = 0; j < k.length; ++j) {
        if (x[j] != y[j]) {
          c = x[j] < y[j] ? -1 : 1;
          break;
        }
      }
    } else {
      c = std::memcmp(a + k.offset, b + k.offset, k.length);
    }
    if (c != 0) return k.descending ? -c : c;
  }
  return 0;
}

std::string DescribeKey(const TableHeader&, const std::vector<KeyPart>& parts, const uint8_t* rec,
                        const CodePage& cp) {
  std::string out = "(";
  for (size_t i = 0; i < parts.size(); ++i) {
    const KeyPart& k = parts[i];
    const uint8_t* p = rec + k.offset;
    if (i) out += ", ";
    switch (k.type) {
      case PxType::kAlpha: {
        size_t n = 0;
        while (n < k.length && p[n] != 0) ++n;
        out += "\"" + cp.toUtf8(reinterpret_cast<const char*>(p), n) + "\"";
        break;
      }
      case PxType::kShort: {
        auto v = DecodeShort(p);
        out += v ? std::to_string(*v) : "NULL";
        break;
      }
      case PxType::kLong:
      case PxType::kAutoInc:
      case PxType::kDate:
      case PxType::kTime: {
        auto v = DecodeLong(p);
        if (!v) {
          out += "NULL";
        } else if (k.type == PxType::kDate) {
          out += DateToIso(Date{*v});
        } else if (k.type == PxType::kTime) {
          out += TimeToIso(TimeOfDay{*v});
        } else {
          out += std::to_string(*v);
        }
        break;
      }
      case PxType::kNumber:
      case PxType::kMoney:
      case PxType::kTimestamp: {
        auto v = DecodeDouble(p);
        if (!v) {
          out += "NULL";
        } else if (k.type == PxType::kTimestamp) {
          out += TimestampToIso(Timestamp{*v});
        } else {
          out += ValueToText(Value{*v});
        }
        break;
      }
      case PxType::kLogical: {
        auto v = DecodeLogical(p);
        out += v ? (*v ? "true" : "false") : "NULL";
        break;
      }
      case PxType::kBcd: {
        auto v = DecodeBcd(p, k.size_byte);
        out += v ? *v : "NULL";
        break;
      }
      default:
        out += ValueToText(Value{Bytes(p, p + k.length)});
    }
  }
  return out + ")";
}

SecondaryIndex::~SecondaryIndex() = default;

void SecondaryIndex::CreateFiles(FileSystem& fs, const std::string& directory,
                                 const std::string& base, const TableHeader& t,
                                 const SecondarySpec& spec, const CodePage& cp) {
  // An unkeyed table's indexes are not maintained: their entries name a
  // record by its number and place (Tup No, Blk Num, Tup Offset) and are
  // made anew when the index is used, so a new one holds none.
  const bool maintained = t.key_fields > 0;
  TableHeader x;
  if (maintained) {
    x.file_type = spec.composite ? 8 : 5;
  } else {
    x.file_type = spec.composite ? 6 : 3;
  }
  x.version_id = t.version_id;
  x.block_kb = t.block_kb;
  x.sort_order = t.sort_order;
  x.sort_order_id = t.sort_order_id;
  x.code_page = t.code_page;
  x.index_field_number = static_cast<uint8_t>(spec.fields.front() + 1);
  x.primary_index_workspace = 1;
  x.setPasswordChecksum(t.passwordChecksum());
  x.index_stamp = 0xFF;
  x.change_count1 = 2;  // as a table's, repeated by its Y file (no real X file has less)
  x.change_count2 = t.change_count2;
  x.unknown2f = t.change_count1;
  x.update_time = t.update_time;
  x.index_flags = static_cast<uint8_t>((spec.case_insensitive ? 0x01 : 0) |
                                       (spec.descending ? 0x10 : 0) | (spec.unique ? 0x20 : 0));
  uint32_t offset = 0;
  uint16_t hi = 0;
  auto add = [&](PxField f, uint16_t number) {
    f.offset = static_cast<uint16_t>(offset);
    offset += f.length;
    x.fields.push_back(f);
    x.field_numbers.push_back(number);
  };
  for (size_t fi : spec.fields) {
    PxField f = t.fields[fi];
    f.descending = spec.descending;
    hi = std::max<uint16_t>(hi, static_cast<uint16_t>(fi + 1));
    add(f, static_cast<uint16_t>((fi + 1) | (spec.descending ? 0x8000 : 0)));
  }
  for (size_t k = 0; k < t.key_fields; ++k) {
    add(t.fields[k], static_cast<uint16_t>(x.fields.size() + 1));
  }
  auto add_number = [&](const char* name, PxType type, uint8_t length) {
    PxField f;
    f.name = name;
    f.type = type;
    f.size_byte = length;
    f.length = length;
    add(f, static_cast<uint16_t>(x.fields.size() + 1));
  };
  if (!maintained) add_number("Tup No", PxType::kLong, 4);
  add_number("Blk Num", PxType::kShort, 2);
  if (!maintained) add_number("Tup Offset", PxType::kShort, 2);
  hi = std::max<uint16_t>(hi, static_cast<uint16_t>(x.fields.size()));
  x.hi_field_id = static_cast<uint16_t>(hi + 1);
  x.record_size = static_cast<uint16_t>(offset);
  x.num_fields = static_cast<uint16_t>(x.fields.size());
  // Every field but the last is the key.
  x.key_fields = static_cast<uint16_t>(x.fields.size() - 1);
  if (spec.composite) x.index_name = cp.fromUtf8(spec.name);
  while (x.blockCapacity() < 3 && x.block_kb < 32)
    x.block_kb = static_cast<uint8_t>(x.block_kb * 2);
  x.table_name = base + ".X" + spec.file_suffix;
  RecordStore::Create(fs, JoinPath(directory, x.table_name), x)->sync();
  TableHeader y = MakeIndexHeader(x, x.fields.size() - 1, spec.composite ? 7 : 4,
                                  base + ".Y" + spec.file_suffix);
  y.index_stamp = x.change_count1;
  IndexFileWriter writer(fs, JoinPath(directory, y.table_name), y, true);
  writer.update(IndexLeafList{});
  writer.sync();
}

namespace {

bool SameStorage(const PxField& a, const PxField& b) {
  return a.type == b.type && a.size_byte == b.size_byte && a.length == b.length;
}

size_t FieldNamed(const TableHeader& t, const std::string& name) {
  for (size_t j = 0; j < t.fields.size(); ++j) {
    if (SameNameIgnoringCase(t.fields[j].name, name)) return j;
  }
  return SIZE_MAX;
}

// The table field (0-based) that indexed field `i` of X file `x` is tied to:
// the position the file records (its field-number list, or for the first
// field of files without the list, the header's first-field byte); in a file
// that records no position for the field, the table field of its name.
// SIZE_MAX when the table has no such field.
size_t RecordedPosition(const TableHeader& x, size_t i, const TableHeader& t) {
  uint16_t number = 0;
  if (i < x.field_numbers.size()) {
    number = x.field_numbers[i] & 0x7FFF;
  } else if (i == 0) {
    number = x.index_field_number;
  } else {
    return FieldNamed(t, x.fields[i].name);
  }
  return number >= 1 && number <= t.fields.size() ? number - 1u : SIZE_MAX;
}

// How an X file's fields meet its table's.
struct FieldTie {
  size_t indexed = 0;          // leading X fields that are indexed fields
  std::vector<size_t> fields;  // table field per indexed field (SIZE_MAX: none)
  std::string mismatch;        // why the file no longer fits the table; empty when it fits
};

// Ties the indexed fields of X file `x` to table `t` by position. Where the
// recorded field no longer has the recorded type and size (a field was
// inserted, dropped or changed since the index was made), the index is out of
// date; its field is then taken to be the table field of the name the X file
// recorded, which is what a person reading the definition would mean.
FieldTie TieToTable(const TableHeader& x, const TableHeader& t, const CodePage& cp) {
  FieldTie tie;
  const size_t n = x.fields.size();
  const bool maintained_file = x.file_type == 5 || x.file_type == 8;
  if (maintained_file && t.key_fields == 0) {
    tie.mismatch = "it is kept in primary-key order, and the table has no primary key";
  } else if (maintained_file && n < static_cast<size_t>(t.key_fields) + 2) {
    tie.mismatch = "it was made for a primary key of fewer fields";
  }
  if (!maintained_file) {
    tie.indexed = n - 3;  // then Tup No, Blk Num, Tup Offset
  } else if (tie.mismatch.empty()) {
    tie.indexed = n - t.key_fields - 1;  // then the primary key, Blk Num
  } else {
    tie.indexed = 1;
  }
  for (size_t i = 0; i < tie.indexed; ++i) {
    const size_t at = RecordedPosition(x, i, t);
    if (at != SIZE_MAX && SameStorage(t.fields[at], x.fields[i])) {
      tie.fields.push_back(at);
      continue;
    }
    if (tie.mismatch.empty()) {
      tie.mismatch =
          "its field \"" + cp.toUtf8(x.fields[i].name) + "\" " +
          (at == SIZE_MAX ? std::string("is no longer in the table")
                          : "no longer matches field " + std::to_string(at + 1) + " of the table");
    }
    const size_t named = FieldNamed(t, x.fields[i].name);
    tie.fields.push_back(named != SIZE_MAX && SameStorage(t.fields[named], x.fields[i]) ? named
                                                                                        : at);
  }
  if (tie.mismatch.empty() && maintained_file) {
    for (size_t k = 0; k < t.key_fields; ++k) {
      if (!SameStorage(x.fields[tie.indexed + k], t.fields[k])) {
        tie.mismatch = "its primary-key fields no longer match the table's";
        break;
      }
    }
  }
  return tie;
}

}  // namespace

void SecondaryIndex::describe(const TableHeader& x, const TableStructure& st, const CodePage& cp,
                              const std::vector<size_t>& fields, size_t indexed,
                              const std::string& x_file) {
  bool desc_any = false;
  for (size_t i = 0; i < indexed; ++i) desc_any = desc_any || x.fields[i].descending;
  const bool composite = x.file_type == 6 || x.file_type == 8;
  auto field_name = [&](size_t i) {
    return fields[i] < st.fields.size() ? st.fields[fields[i]].name : cp.toUtf8(x.fields[i].name);
  };
  info_.name = composite ? cp.toUtf8(x.index_name) : field_name(0);
  info_.key_fields.clear();
  for (size_t i = 0; i < indexed; ++i) info_.key_fields.push_back(field_name(i));
  info_.primary = false;
  info_.case_insensitive = (x.index_flags & 0x01) != 0;
  info_.descending = (x.index_flags & 0x10) != 0 || desc_any;
  info_.unique = (x.index_flags & 0x20) != 0;
  info_.maintained = x.file_type == 5 || x.file_type == 8;
  info_.file = x_file;
}

void SecondaryIndex::markOutOfDate(const std::string& why) {
  out_of_date_ = true;
  maintained_ = false;
  info_.out_of_date = true;
  info_.why_out_of_date = why;
}

std::unique_ptr<SecondaryIndex> SecondaryIndex::Open(FileSystem& fs, const std::string& directory,
                                                     const std::string& x_file,
                                                     const TableHeader& t, const TableStructure& st,
                                                     const CodePage& cp, bool writable) {
  const std::string path = JoinPath(directory, x_file);
  auto file = fs.open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead);
  uint64_t size = file->size();
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 0x10000)));
  file->read(0, head.data(), head.size());
  TableHeader x = ParseHeader(head.data(), head.size(), size, x_file);
  if (!IsSecondaryDataType(x.file_type)) {
    ThrowCorrupt(x_file, "it is not a secondary index file", subcode::kBadIndex);
  }
  const size_t n = x.fields.size();
  const bool maintained_file = x.file_type == 5 || x.file_type == 8;
  if (n < (maintained_file ? 2u : 4u)) {
    ThrowCorrupt(x_file, "too few fields for an index", subcode::kBadIndex);
  }
  std::unique_ptr<SecondaryIndex> si(new SecondaryIndex());
  si->fs_ = &fs;
  si->cp_ = &cp;
  si->writable_ = writable;
  si->maintained_ = maintained_file;
  const FieldTie tie = TieToTable(x, t, cp);
  si->describe(x, st, cp, tie.fields, tie.indexed, x_file);
  if (!tie.mismatch.empty()) {
    if (writable) {
      throw EDBEngineError(ErrorCategory::kDataCorrupt, subcode::kIndexOutOfDate,
                           x_file + ": index out of date: " + tie.mismatch +
                               "; restructure the table to make it anew");
    }
    si->markOutOfDate(tie.mismatch);
    return si;
  }
  si->table_fields_ = tie.fields;
  si->indexed_ = tie.indexed;
  const size_t m = tie.indexed;
  for (size_t i = 0; i < n - 1; ++i) {
    const PxField& f = x.fields[i];
    bool desc = i < m && (f.descending || si->info_.descending);
    bool ci = i < m && si->info_.case_insensitive;
    si->parts_.push_back(KeyPart{f.offset, f.length, f.type, desc, ci, f.size_byte});
    si->key_size_ += f.length;
  }
  for (size_t i = 0; i < m; ++i)
    si->source_offsets_.push_back(t.fields[si->table_fields_[i]].offset);
  if (si->maintained_) {
    for (size_t k = 0; k < t.key_fields; ++k) si->source_offsets_.push_back(t.fields[k].offset);
  }
  const bool composite = x.file_type == 6 || x.file_type == 8;
  std::string ext = ExtensionOf(x_file);
  std::string y_name =
      StripExtension(x_file) + ext.substr(0, 1) + (ext[1] == 'x' ? "y" : "Y") + ext.substr(2);
  si->y_path_ = ResolveCaseInsensitive(fs, directory, y_name, &si->y_found_);
  si->x_ = std::make_unique<RecordStore>(std::move(file), x, x_file);
  si->x_->setKeyLength(si->key_size_);
  if (writable && si->maintained_) {
    TableHeader y = MakeIndexHeader(x, n - 1, composite ? 7 : 4, FileNameOf(si->y_path_));
    y.index_stamp = x.change_count1;
    si->y_ = std::make_unique<IndexFileWriter>(fs, si->y_path_, y, !si->y_found_);
  }
  return si;
}

void SecondaryIndex::attach(RecordStore& table, const std::vector<KeyPart>& table_pk,
                            std::optional<uint8_t> primary_stamp) {
  table_ = &table;
  table_pk_ = table_pk;
  primary_stamp_ = primary_stamp;
  if (!maintained_) return;
  // The chains are counted when the index may be rebuilt, or when the
  // headers' counts differ (a reader should not walk every index to open).
  // An X file whose own header disagrees with its chain is damaged, not out
  // of date: the integrity check reports it.
  bool stale_entries = false;
  uint64_t entries = 0, records = 0;
  if (writable_ || x_->header().num_records != table.header().num_records) {
    entries = x_->size();
    records = table.size();
    stale_entries = entries != records && (writable_ || entries == x_->header().num_records);
  }
  if (stale_entries) {
    stale_ = "it holds " + std::to_string(entries) + " entries for " + std::to_string(records) +
             " records";
  } else if (primary_stamp && x_->header().unknown2f != *primary_stamp) {
    stale_ = "its consistency byte (" + std::to_string(x_->header().unknown2f) +
             ") differs from the primary index's (" + std::to_string(*primary_stamp) + ")";
  }
  if (!stale_.empty() && !writable_) markOutOfDate(stale_);
}

bool SecondaryIndex::rebuildIfStale() {
  if (!writable_ || !maintained_ || table_ == nullptr || stale_.empty()) return false;
  TableHeader header = x_->header();
  if (primary_stamp_) header.unknown2f = *primary_stamp_;
  const std::string path = x_->file().path();
  x_.reset();
  x_ = RecordStore::Create(*fs_, path, header);
  ++x_changes_;
  x_->setKeyLength(key_size_);
  std::vector<uint8_t> rec(table_->recordSize());
  const uint32_t n = table_->size();
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* at = table_->record(i);  // valid until the store's next call
    std::memcpy(rec.data(), at, rec.size());
    onInsert(rec.data(), table_->blockOf(i));
  }
  stale_.clear();
  return true;
}

namespace {

// The X record (header `x`, key `parts`) of a table record held in data
// block `block`: the fields at `source_offsets` of the record, the text of
// case-insensitive parts folded, then Blk Num.
void BuildEntry(const TableHeader& x, const std::vector<KeyPart>& parts,
                const std::vector<uint16_t>& source_offsets, const uint8_t* rec, uint16_t block,
                uint8_t* out) {
  std::memset(out, 0, x.record_size);
  for (size_t i = 0; i < source_offsets.size(); ++i) {
    uint8_t* field = out + x.fields[i].offset;
    std::memcpy(field, rec + source_offsets[i], x.fields[i].length);
    if (i < parts.size() && parts[i].case_insensitive && parts[i].type == PxType::kAlpha) {
      for (size_t j = 0; j < x.fields[i].length && field[j] != 0; ++j) {
        field[j] = FoldIndexByte(field[j]);
      }
    }
  }
  EncodeShort(out + x.fields.back().offset, static_cast<int16_t>(block));
}

}  // namespace

void SecondaryIndex::buildRecord(const uint8_t* rec, uint16_t block, uint8_t* out) const {
  BuildEntry(x_->header(), parts_, source_offsets_, rec, block, out);
}

void EntryLayout::makeEntry(const uint8_t* rec, uint16_t block, uint8_t* out) const {
  BuildEntry(x, parts, source_offsets, rec, block, out);
}

EntryLayout SecondaryIndex::layout() const {
  EntryLayout l;
  l.x = x_->header();
  l.parts = parts_;
  l.indexed = indexed_;
  l.source_offsets = source_offsets_;
  l.y_file = FileNameOf(y_path_);
  l.y_file_type = (l.x.file_type == 6 || l.x.file_type == 8) ? 7 : 4;
  return l;
}

namespace {

// Position of the first record of `s` that is not "before" `key`: for a
// lower bound a record is before the key when its first `n` key parts are
// below it, for an upper bound when they are below or level with it.
uint32_t KeyBound(RecordStore& s, const std::vector<KeyPart>& parts, size_t n, size_t key_size,
                  const uint8_t* key, bool upper) {
  const auto& chain = s.chain();
  if (chain.empty()) return 0;
  auto before = [&](const uint8_t* record) {
    const int c = CompareKeys(parts, n, record, key);
    return upper ? c <= 0 : c < 0;
  };
  auto first_of = [&](size_t i) {
    return reinterpret_cast<const uint8_t*>(s.firstKey(i, key_size).data());
  };
  // The last block whose first record is before the key, then a search in
  // it. Consecutive searches mostly end in the same block (appends, the rows
  // of one master): the block of the last search is tried first, then the
  // last block.
  size_t lo = 0, hi = chain.size();
  const size_t hint = s.searchHint();
  if (hint < hi && before(first_of(hint)) && (hint + 1 == hi || !before(first_of(hint + 1)))) {
    lo = hi = hint + 1;
  } else if (hi > 1 && hint != hi - 1 && before(first_of(hi - 1))) {
    lo = hi;
  }
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (before(first_of(mid))) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == 0) return 0;
  size_t bi = lo - 1;
  s.setSearchHint(bi);
  // The block's records are contiguous: search them in place.
  const uint8_t* records = s.firstRecordOfBlock(bi);
  const size_t size = s.recordSize();
  uint32_t begin = 0;
  uint32_t end = chain[bi].count;
  while (begin < end) {
    uint32_t mid = begin + (end - begin) / 2;
    if (before(records + static_cast<size_t>(mid) * size)) {
      begin = mid + 1;
    } else {
      end = mid;
    }
  }
  return s.chainStart(bi) + begin;
}

}  // namespace

uint32_t KeyLowerBound(RecordStore& s, const std::vector<KeyPart>& parts, size_t n, size_t key_size,
                       const uint8_t* key) {
  return KeyBound(s, parts, n, key_size, key, false);
}

uint32_t KeyUpperBound(RecordStore& s, const std::vector<KeyPart>& parts, size_t n, size_t key_size,
                       const uint8_t* key) {
  return KeyBound(s, parts, n, key_size, key, true);
}

uint32_t SecondaryIndex::lowerBound(const uint8_t* xrec, size_t parts) {
  return KeyLowerBound(*x_, parts_, parts, key_size_, xrec);
}

void SecondaryIndex::onInsert(const uint8_t* rec, uint16_t block) {
  if (!maintained_) return;
  std::vector<uint8_t>& xrec = xrec_;
  xrec.resize(x_->recordSize());
  buildRecord(rec, block, xrec.data());
  uint32_t pos;
  if (pending_valid_ && pending_stamp_ == x_changes_ &&
      CompareKeys(parts_, parts_.size(), pending_.data(), xrec.data()) == 0) {
    pos = pending_pos_;  // found by the unique check just before
  } else {
    pos = lowerBound(xrec.data(), parts_.size());
  }
  pending_valid_ = false;
  x_->insert(pos, xrec.data());
  ++x_changes_;
}

void SecondaryIndex::onErase(const uint8_t* rec) {
  if (!maintained_) return;
  std::vector<uint8_t>& xrec = xrec_;
  xrec.resize(x_->recordSize());
  buildRecord(rec, 0, xrec.data());
  uint32_t pos = lowerBound(xrec.data(), parts_.size());
  if (pos < x_->size() && CompareKeys(parts_, parts_.size(), x_->record(pos), xrec.data()) == 0) {
    x_->erase(pos);
    ++x_changes_;
  }
}

void SecondaryIndex::onMove(const uint8_t* rec, uint16_t block) {
  if (!maintained_) return;
  std::vector<uint8_t>& xrec = xrec_;
  xrec.resize(x_->recordSize());
  buildRecord(rec, block, xrec.data());
  uint32_t pos = lowerBound(xrec.data(), parts_.size());
  if (pos < x_->size() && CompareKeys(parts_, parts_.size(), x_->record(pos), xrec.data()) == 0) {
    x_->overwrite(pos, xrec.data());
  }
}

void SecondaryIndex::checkUnique(const uint8_t* rec, const uint8_t* self,
                                 const std::string& table) {
  if (!maintained_) return;
  std::vector<uint8_t>& xrec = xrec_;
  xrec.resize(x_->recordSize());
  buildRecord(rec, 0, xrec.data());
  std::vector<uint8_t>& xself = xself_;
  if (self) {
    xself.resize(x_->recordSize());
    buildRecord(self, 0, xself.data());
  }
  const uint32_t total = x_->size();
  auto violation = [&] {
    std::vector<KeyPart> shown(parts_.begin(), parts_.begin() + static_cast<long>(indexed_));
    ThrowKeyViolation("Key violation in table \"" + table + "\": the key " +
                      DescribeKey(x_->header(), shown, xrec.data(), *cp_) +
                      " already exists in the unique index \"" + info_.name + "\"");
  };
  if (!self) {
    // One search serves this check and the insert that follows: entries
    // with equal indexed values are contiguous, so a duplicate lies next to
    // the new entry's place.
    const uint32_t pos = lowerBound(xrec.data(), parts_.size());
    auto same = [&](uint32_t p) {
      return p < total && CompareKeys(parts_, indexed_, x_->record(p), xrec.data()) == 0;
    };
    if ((pos > 0 && same(pos - 1)) || same(pos)) violation();
    pending_.assign(xrec.begin(), xrec.end());
    pending_pos_ = pos;
    pending_stamp_ = x_changes_;
    pending_valid_ = true;
    return;
  }
  for (uint32_t pos = lowerBound(xrec.data(), indexed_); pos < total; ++pos) {
    const uint8_t* cur = x_->record(pos);
    if (CompareKeys(parts_, indexed_, cur, xrec.data()) != 0) break;
    if (CompareKeys(parts_, parts_.size(), cur, xself.data()) == 0) continue;
    violation();
  }
}

void SecondaryIndex::refresh() {
  if (!maintained_ || !writable_) return;
  x_->flush();
  if (!y_) return;
  const auto& chain = x_->chain();
  bool patched = false;
  if (!x_->reshaped() && leaves_.size() == chain.size() && leaves_.key_size == key_size_) {
    for (uint32_t i : x_->changedBlocks()) {
      std::memcpy(leaves_.keys.data() + static_cast<size_t>(i) * key_size_,
                  x_->firstKey(i, key_size_).data(), key_size_);
      leaves_.counts[i] = chain[i].count;
    }
    patched = y_->patch(leaves_, x_->changedBlocks());
  }
  if (!patched) {
    leaves_.reset(key_size_);
    for (size_t i = 0; i < chain.size(); ++i) {
      if (chain[i].count == 0) continue;
      leaves_.add(x_->firstKey(i, key_size_).data(), chain[i].number, chain[i].count);
    }
    y_->update(leaves_);
  }
  x_->clearChanges();
}

void SecondaryIndex::sync() {
  if (!writable_ || !maintained_) return;
  x_->sync();
  if (y_) y_->sync();
}

void SecondaryIndex::filesToSync(std::vector<File*>* files) {
  if (!writable_ || !maintained_) return;
  x_->flush();
  files->push_back(&x_->file());
  if (y_ && y_->file()) files->push_back(y_->file());
}

void SecondaryIndex::verify(VerifyReport& report,
                            const std::function<std::optional<uint32_t>(const uint8_t*)>& find) {
  if (out_of_date_) {
    report.add(Severity::kError, info_.file, "index out of date", "", info_.why_out_of_date);
    return;
  }
  x_->flush();
  const std::string shortfall = BlockFileShortfall(x_->header(), x_->file().size());
  if (!shortfall.empty()) report.add(Severity::kError, info_.file, shortfall);
  std::vector<IndexLeaf> chain_leaves;
  try {
    verifyEntries(report, find, &chain_leaves);
  } catch (const EDBEngineError& e) {
    report.addText(Severity::kError, e.what());
    return;
  }
  if (!y_found_) {
    if (maintained_) report.add(Severity::kError, info_.file, "its index file is missing");
    return;
  }
  try {
    verifyIndexFile(report, chain_leaves);
  } catch (const EDBEngineError& e) {
    report.addText(Severity::kError, e.what());
  }
}

// Walks the X file: chain, order, and each entry against its record (values,
// block hint). Collects the chain's leaves for the Y file's check.
void SecondaryIndex::verifyEntries(
    VerifyReport& report, const std::function<std::optional<uint32_t>(const uint8_t*)>& find,
    std::vector<IndexLeaf>* chain_leaves) {
  const std::string& name = info_.file;
  const TableHeader& x = x_->header();
  const std::vector<KeyPart> pk(parts_.begin() + static_cast<long>(indexed_), parts_.end());
  const std::string stale_kind = "entries whose block number is a stale hint";
  std::vector<uint8_t> prev, expected(x.record_size), trec(table_ ? table_->recordSize() : 0);
  uint64_t checked = 0;
  ChainWalker w(x_->file(), x, name);
  while (w.next()) {
    if (w.count() > 0) {
      chain_leaves->push_back(IndexLeaf{std::vector<uint8_t>(w.record(0), w.record(0) + key_size_),
                                        w.blockNumber(), static_cast<uint16_t>(w.count())});
    }
    for (uint32_t i = 0; i < w.count(); ++i) {
      const uint8_t* r = w.record(i);
      auto key = [&] { return DescribeKey(x, pk, r, *cp_); };
      if (!prev.empty() && CompareKeys(parts_, parts_.size(), prev.data(), r) >= 0) {
        report.add(Severity::kError, name, "entries out of order", key());
      }
      prev.assign(r, r + x.record_size);
      if (!maintained_ || table_ == nullptr) continue;
      // Build the primary key in a table-record layout and look it up.
      std::fill(trec.begin(), trec.end(), 0);
      for (size_t k = 0; k < table_pk_.size(); ++k) {
        std::memcpy(trec.data() + table_pk_[k].offset, r + x.fields[indexed_ + k].offset,
                    table_pk_[k].length);
      }
      const auto pos = find(trec.data());
      if (!pos) {
        report.add(Severity::kError, name, "entries for records that do not exist", key());
        continue;
      }
      ++checked;
      const uint16_t holder = table_->blockOf(*pos);
      buildRecord(table_->record(*pos), holder, expected.data());
      if (std::memcmp(expected.data(), r, key_size_) != 0) {
        report.add(Severity::kError, name, "entries that do not match their record's values",
                   key());
      }
      const auto blk = DecodeShort(r + x.fields.back().offset);
      if (!blk || *blk < 1 || static_cast<uint32_t>(*blk) > table_->header().file_blocks) {
        report.add(Severity::kError, name, "entries whose block number is outside the table's file",
                   key());
      } else if (static_cast<uint16_t>(*blk) != holder) {
        report.add(Severity::kInformation, name, stale_kind);
      }
    }
  }
  report.setTotal(Severity::kInformation, name, stale_kind, checked);
  if (w.recordsSeen() != x.num_records) {
    report.add(Severity::kError, name,
               "header counts " + std::to_string(x.num_records) + " entries, its blocks hold " +
                   std::to_string(w.recordsSeen()));
  }
  if (maintained_ && table_ && w.recordsSeen() != table_->size()) {
    report.add(Severity::kError, name,
               "holds " + std::to_string(w.recordsSeen()) + " entries for " +
                   std::to_string(table_->size()) + " records");
  }
}

// The Y file against the X file's chain.
void SecondaryIndex::verifyIndexFile(VerifyReport& report,
                                     const std::vector<IndexLeaf>& chain_leaves) {
  const std::string& name = info_.file;
  auto yf = fs_->open(y_path_, OpenMode::kRead);
  const uint64_t size = yf->size();
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 0x10000)));
  yf->read(0, head.data(), head.size());
  const std::string y_name = FileNameOf(y_path_);
  const TableHeader y = ParseHeader(head.data(), head.size(), size, y_name);
  yf = UnscrambledBlocks(std::move(yf), y);
  if (y.record_size != key_size_ + 6) {
    report.add(Severity::kError, y_name, "its key does not match " + name);
    return;
  }
  const std::string shortfall = BlockFileShortfall(y, size);
  if (!shortfall.empty()) report.add(Severity::kError, y_name, shortfall);
  std::vector<std::string> problems;
  auto leaves = ReadIndexLeaves(*yf, y, y_name, &problems);
  for (const auto& p : problems) report.addText(Severity::kError, p);
  if (leaves.size() != chain_leaves.size()) {
    report.add(Severity::kError, y_name,
               "lists " + std::to_string(leaves.size()) + " blocks of " + name + ", which has " +
                   std::to_string(chain_leaves.size()));
    return;
  }
  for (size_t i = 0; i < leaves.size(); ++i) {
    if (leaves[i].block != chain_leaves[i].block || leaves[i].count != chain_leaves[i].count ||
        leaves[i].key != chain_leaves[i].key) {
      report.add(Severity::kError, y_name,
                 "entry " + std::to_string(i + 1) + " does not match block " +
                     std::to_string(chain_leaves[i].block) + " of " + name);
      break;
    }
  }
}

uint32_t SecondaryIndex::lowerBoundFor(const uint8_t* table_record, size_t parts) {
  std::vector<uint8_t>& xrec = xrec_;
  xrec.resize(x_->recordSize());
  buildRecord(table_record, 0, xrec.data());
  return lowerBound(xrec.data(), std::min(parts, indexed_));
}

uint32_t SecondaryIndex::upperBoundFor(const uint8_t* table_record, size_t parts) {
  std::vector<uint8_t>& xrec = xrec_;
  xrec.resize(x_->recordSize());
  buildRecord(table_record, 0, xrec.data());
  return KeyUpperBound(*x_, parts_, std::min(parts, indexed_), key_size_, xrec.data());
}

std::optional<uint32_t> SecondaryIndex::entryFor(const uint8_t* table_record) {
  if (!maintained_) return std::nullopt;
  std::vector<uint8_t>& xrec = xrec_;
  xrec.resize(x_->recordSize());
  buildRecord(table_record, 0, xrec.data());
  uint32_t pos = lowerBound(xrec.data(), parts_.size());
  if (pos < x_->size() && CompareKeys(parts_, parts_.size(), x_->record(pos), xrec.data()) == 0) {
    return pos;
  }
  return std::nullopt;
}

uint32_t SecondaryIndex::positionFor(const uint8_t* table_record) {
  std::vector<uint8_t>& xrec = xrec_;
  xrec.resize(x_->recordSize());
  buildRecord(table_record, 0, xrec.data());
  return lowerBound(xrec.data(), parts_.size());
}

int SecondaryIndex::compareIndexed(const uint8_t* a, const uint8_t* b, size_t parts) {
  xrec_.resize(x_->recordSize());
  xother_.resize(x_->recordSize());
  buildRecord(a, 0, xrec_.data());
  buildRecord(b, 0, xother_.data());
  return CompareKeys(parts_, std::min(parts, indexed_), xrec_.data(), xother_.data());
}

void SecondaryIndex::reread() {
  if (!x_) return;
  File& file = x_->file();
  const uint64_t size = file.size();
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 0x10000)));
  head.resize(file.read(0, head.data(), head.size()));
  x_->reset(ParseHeader(head.data(), head.size(), size, x_->name()));
  if (y_) y_->forget();
  leaves_.reset(key_size_);
  pending_valid_ = false;
  ++x_changes_;
}

void SecondaryIndex::keyOfEntry(uint32_t entry, uint8_t* table_record) {
  const uint8_t* r = x_->record(entry);
  const TableHeader& x = x_->header();
  for (size_t k = 0; k < table_pk_.size(); ++k) {
    std::memcpy(table_record + table_pk_[k].offset, r + x.fields[indexed_ + k].offset,
                table_pk_[k].length);
  }
}

}  // namespace vellum::engine::paradox
