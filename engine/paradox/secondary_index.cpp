#include "engine/paradox/secondary_index.h"

#include <algorithm>
#include <cstring>

#include "engine/errors.h"
#include "engine/paradox/codec.h"
#include "engine/text.h"

namespace vellum::engine::paradox {

namespace {

int UpperByte(uint8_t c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

}  // namespace

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
        c = UpperByte(x[j]) - UpperByte(y[j]);
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
  TableHeader x;
  x.file_type = spec.composite ? 8 : 5;
  x.version_id = t.version_id;
  x.block_kb = t.block_kb;
  x.sort_order = t.sort_order;
  x.sort_order_id = t.sort_order_id;
  x.code_page = t.code_page;
  x.index_field_number = static_cast<uint8_t>(spec.fields.front() + 1);
  x.primary_index_workspace = 1;
  x.encryption1 = t.encryption1;
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
  PxField blk;
  blk.name = "Blk Num";
  blk.type = PxType::kShort;
  blk.size_byte = 2;
  blk.length = 2;
  add(blk, static_cast<uint16_t>(x.fields.size() + 1));
  hi = std::max<uint16_t>(hi, static_cast<uint16_t>(x.fields.size()));
  x.hi_field_id = static_cast<uint16_t>(hi + 1);
  x.record_size = static_cast<uint16_t>(offset);
  x.num_fields = static_cast<uint16_t>(x.fields.size());
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
  std::unique_ptr<SecondaryIndex> si(new SecondaryIndex());
  si->fs_ = &fs;
  si->cp_ = &cp;
  si->writable_ = writable;
  si->maintained_ = (x.file_type == 5 || x.file_type == 8) && t.key_fields > 0;
  const size_t n = x.fields.size();
  size_t m = 0;
  if (x.file_type == 5 || x.file_type == 8) {
    if (n < static_cast<size_t>(t.key_fields) + 2) {
      ThrowCorrupt(x_file, "too few fields for an index of this table", subcode::kBadIndex);
    }
    m = n - t.key_fields - 1;
  } else {
    if (n < 4) ThrowCorrupt(x_file, "too few fields for an index", subcode::kBadIndex);
    m = n - 3;
  }
  // Table fields of the indexed fields: from the field numbers when there are
  // any, else from the header's first indexed field and the names.
  for (size_t i = 0; i < m; ++i) {
    size_t fi = SIZE_MAX;
    if (i < x.field_numbers.size()) {
      uint16_t num = x.field_numbers[i] & 0x7FFF;
      if (num >= 1 && num <= t.fields.size()) fi = num - 1;
    }
    if (fi == SIZE_MAX && i == 0 && x.index_field_number >= 1 &&
        x.index_field_number <= t.fields.size()) {
      fi = x.index_field_number - 1u;
    }
    if (fi == SIZE_MAX) {
      for (size_t j = 0; j < t.fields.size(); ++j) {
        if (Upper(t.fields[j].name) == Upper(x.fields[i].name)) fi = j;
      }
    }
    if (fi == SIZE_MAX || t.fields[fi].type != x.fields[i].type ||
        t.fields[fi].length != x.fields[i].length) {
      ThrowCorrupt(
          x_file, "indexed field " + std::to_string(i + 1) + " does not match a field of the table",
          subcode::kBadIndex);
    }
    si->table_fields_.push_back(fi);
  }
  if (si->maintained_) {
    for (size_t k = 0; k < t.key_fields; ++k) {
      const PxField& xf = x.fields[m + k];
      if (xf.type != t.fields[k].type || xf.length != t.fields[k].length) {
        ThrowCorrupt(x_file, "its key fields do not match the table's primary key",
                     subcode::kBadIndex);
      }
    }
  }
  bool desc_any = false;
  for (size_t i = 0; i < m; ++i) desc_any = desc_any || x.fields[i].descending;
  IndexInfo& info = si->info_;
  const bool composite = x.file_type == 6 || x.file_type == 8;
  info.name = composite ? cp.toUtf8(x.index_name) : st.fields[si->table_fields_[0]].name;
  for (size_t i = 0; i < m; ++i) {
    if (i) info.key_fields += ";";
    info.key_fields += st.fields[si->table_fields_[i]].name;
  }
  info.primary = false;
  info.case_insensitive = (x.index_flags & 0x01) != 0;
  info.descending = (x.index_flags & 0x10) != 0 || desc_any;
  info.unique = (x.index_flags & 0x20) != 0;
  info.maintained = si->maintained_;
  info.file = x_file;
  si->indexed_ = m;
  for (size_t i = 0; i < n - 1; ++i) {
    const PxField& f = x.fields[i];
    bool desc = i < m && (f.descending || info.descending);
    bool ci = i < m && info.case_insensitive;
    si->parts_.push_back(KeyPart{f.offset, f.length, f.type, desc, ci, f.size_byte});
    si->key_size_ += f.length;
  }
  for (size_t i = 0; i < m; ++i)
    si->source_offsets_.push_back(t.fields[si->table_fields_[i]].offset);
  if (si->maintained_) {
    for (size_t k = 0; k < t.key_fields; ++k) si->source_offsets_.push_back(t.fields[k].offset);
  }
  std::string ext = ExtensionOf(x_file);
  std::string y_name =
      StripExtension(x_file) + ext.substr(0, 1) + (ext[1] == 'x' ? "y" : "Y") + ext.substr(2);
  si->y_path_ = ResolveCaseInsensitive(fs, directory, y_name, &si->y_found_);
  const std::string x_name = x_file;
  si->x_ = std::make_unique<RecordStore>(std::move(file), x, x_name);
  si->x_->setKeyLength(si->key_size_);
  if (writable && si->maintained_) {
    TableHeader y = MakeIndexHeader(x, n - 1, composite ? 7 : 4, FileNameOf(si->y_path_));
    y.index_stamp = x.change_count1;
    si->y_ = std::make_unique<IndexFileWriter>(fs, si->y_path_, y, !si->y_found_);
  }
  return si;
}

void SecondaryIndex::attach(RecordStore& table, const std::vector<KeyPart>& table_pk) {
  table_ = &table;
  table_pk_ = table_pk;
}

bool SecondaryIndex::rebuildIfStale() {
  if (!writable_ || !maintained_ || table_ == nullptr || x_->size() == table_->size()) return false;
  const TableHeader header = x_->header();
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
  return true;
}

namespace {

// The X record (header `x`) of a table record held in data block `block`:
// the fields at `source_offsets` of the record, then Blk Num.
void BuildEntry(const TableHeader& x, const std::vector<uint16_t>& source_offsets,
                const uint8_t* rec, uint16_t block, uint8_t* out) {
  std::memset(out, 0, x.record_size);
  for (size_t i = 0; i < source_offsets.size(); ++i) {
    std::memcpy(out + x.fields[i].offset, rec + source_offsets[i], x.fields[i].length);
  }
  EncodeShort(out + x.fields.back().offset, static_cast<int16_t>(block));
}

}  // namespace

void SecondaryIndex::buildRecord(const uint8_t* rec, uint16_t block, uint8_t* out) const {
  BuildEntry(x_->header(), source_offsets_, rec, block, out);
}

void EntryLayout::makeEntry(const uint8_t* rec, uint16_t block, uint8_t* out) const {
  BuildEntry(x, source_offsets, rec, block, out);
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

void SecondaryIndex::verify(std::vector<std::string>* problems,
                            const std::function<std::optional<uint32_t>(const uint8_t*)>& find) {
  const std::string& name = info_.file;
  x_->flush();
  const TableHeader& x = x_->header();
  // Walk the X file: chain, order, coverage.
  std::vector<uint8_t> prev;
  uint64_t seen = 0;
  std::vector<IndexLeaf> chain_leaves;
  try {
    ChainWalker w(x_->file(), x, name);
    while (w.next()) {
      if (w.count() > 0) {
        chain_leaves.push_back(IndexLeaf{std::vector<uint8_t>(w.record(0), w.record(0) + key_size_),
                                         w.blockNumber(), static_cast<uint16_t>(w.count())});
      }
      for (uint32_t i = 0; i < w.count(); ++i) {
        const uint8_t* r = w.record(i);
        if (!prev.empty() && CompareKeys(parts_, parts_.size(), prev.data(), r) >= 0) {
          problems->push_back(name + ": entries out of order in block " +
                              std::to_string(w.blockNumber()));
        }
        prev.assign(r, r + x.record_size);
        if (maintained_ && table_) {
          // Build the primary key in a table-record layout and look it up.
          std::vector<uint8_t> trec(table_->recordSize(), 0);
          for (size_t k = 0; k < table_pk_.size(); ++k) {
            std::memcpy(trec.data() + table_pk_[k].offset, r + x.fields[indexed_ + k].offset,
                        table_pk_[k].length);
          }
          auto pos = find(trec.data());
          if (!pos) {
            problems->push_back(
                name + ": an entry points at a record that does not exist " +
                DescribeKey(x,
                            std::vector<KeyPart>(parts_.begin() + static_cast<long>(indexed_),
                                                 parts_.end()),
                            r, *cp_));
            continue;
          }
          const uint8_t* t = table_->record(*pos);
          for (size_t f = 0; f < indexed_; ++f) {
            if (std::memcmp(t + source_offsets_[f], r + x.fields[f].offset, x.fields[f].length) !=
                0) {
              problems->push_back(name + ": an entry does not match its record's values");
              break;
            }
          }
          auto blk = DecodeShort(r + x.fields.back().offset);
          if (!blk || static_cast<uint16_t>(*blk) != table_->blockOf(*pos)) {
            problems->push_back(name + ": an entry's block number does not hold its record");
          }
        }
      }
    }
    seen = w.recordsSeen();
  } catch (const EDBEngineError& e) {
    problems->push_back(e.what());
    return;
  }
  if (seen != x.num_records) {
    problems->push_back(name + ": header counts " + std::to_string(x.num_records) +
                        " entries, its blocks hold " + std::to_string(seen));
  }
  if (maintained_ && table_ && seen != table_->size()) {
    problems->push_back(name + ": holds " + std::to_string(seen) + " entries for " +
                        std::to_string(table_->size()) + " records");
  }
  if (!y_found_) {
    if (maintained_) problems->push_back(name + ": its index file is missing");
    return;
  }
  try {
    auto yf = fs_->open(y_path_, OpenMode::kRead);
    uint64_t size = yf->size();
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 0x10000)));
    yf->read(0, head.data(), head.size());
    const std::string y_name = FileNameOf(y_path_);
    TableHeader y = ParseHeader(head.data(), head.size(), size, y_name);
    if (y.record_size != key_size_ + 6) {
      problems->push_back(y_name + ": its key does not match " + name);
      return;
    }
    auto leaves = ReadIndexLeaves(*yf, y, y_name, problems);
    if (leaves.size() != chain_leaves.size()) {
      problems->push_back(y_name + ": lists " + std::to_string(leaves.size()) + " blocks of " +
                          name + ", which has " + std::to_string(chain_leaves.size()));
      return;
    }
    for (size_t i = 0; i < leaves.size(); ++i) {
      if (leaves[i].block != chain_leaves[i].block || leaves[i].count != chain_leaves[i].count ||
          leaves[i].key != chain_leaves[i].key) {
        problems->push_back(y_name + ": entry " + std::to_string(i + 1) + " does not match block " +
                            std::to_string(chain_leaves[i].block) + " of " + name);
        break;
      }
    }
  } catch (const EDBEngineError& e) {
    problems->push_back(e.what());
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

void SecondaryIndex::keyOfEntry(uint32_t entry, uint8_t* table_record) {
  const uint8_t* r = x_->record(entry);
  const TableHeader& x = x_->header();
  for (size_t k = 0; k < table_pk_.size(); ++k) {
    std::memcpy(table_record + table_pk_[k].offset, r + x.fields[indexed_ + k].offset,
                table_pk_[k].length);
  }
}

}  // namespace vellum::engine::paradox
