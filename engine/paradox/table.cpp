#include "engine/paradox/table.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/blob_file.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/index_file.h"
#include "engine/paradox/record_store.h"
#include "engine/paradox/secondary_index.h"
#include "engine/paradox/table_impl.h"
#include "engine/paradox/table_locks.h"
#include "engine/restructure_journal.h"
#include "engine/rollback_journal.h"
#include "engine/text.h"

namespace vellum::engine::paradox {

namespace {

const char* LogicalName(FieldType t) {
  static const char* names[] = {"Unknown",  "String",      "Smallint", "Integer",  "Word",
                                "Boolean",  "Float",       "Currency", "BCD",      "Date",
                                "Time",     "DateTime",    "Bytes",    "VarBytes", "AutoInc",
                                "Blob",     "Memo",        "Graphic",  "FmtMemo",  "ParadoxOle",
                                "DBaseOle", "TypedBinary", "Cursor"};
  auto i = static_cast<size_t>(t);
  return i < 23 ? names[i] : "Unknown";
}

std::string Hex2(unsigned v) {
  static const char* hex = "0123456789ABCDEF";
  return std::string{hex[(v >> 4) & 15], hex[v & 15]};
}

}  // namespace

[[noreturn]] void RefuseChange(const Table::Impl& m) {
  if (m.files_read_only) {
    ThrowInvalid("Table \"" + m.base + "\" cannot be changed: its files may only be read");
  }
  ThrowInvalid("Table \"" + m.base + "\" is open read-only");
}

void RequireWritable(const Table& table, const Table::Impl& m) {
  if (!table.writable()) {
    if (m.options.writable) ThrowInvalid("Table \"" + m.base + "\" is open read-only");
    RefuseChange(m);
  }
}

// ---------------------------------------------------------------------------
// Keys and indexes

uint32_t Table::Impl::lowerBound(const uint8_t* rec, size_t parts) {
  return KeyLowerBound(*store, pk_parts, parts, key_size, rec);
}

void Table::Impl::collectLeaves() {
  px_leaves.reset(key_size);
  const auto& chain = store->chain();
  for (size_t i = 0; i < chain.size(); ++i) {
    if (chain[i].count == 0) continue;
    px_leaves.add(store->firstKey(i, key_size).data(), chain[i].number, chain[i].count);
  }
}

void Table::Impl::refreshIndexes() {
  if (bulk > 0 || lock_depth > 0) {
    // Written when the bulk change or the change lock ends.
    indexes_dirty = true;
    return;
  }
  store->flush();
  if (px) {
    // Usually only a block's count or first key changed: patch those index
    // entries; after splits and freed blocks, rebuild the index image.
    bool patched = false;
    const auto& chain = store->chain();
    if (!store->reshaped() && px_leaves.size() == chain.size() && px_leaves.key_size == key_size) {
      for (uint32_t i : store->changedBlocks()) {
        std::memcpy(px_leaves.keys.data() + static_cast<size_t>(i) * key_size,
                    store->firstKey(i, key_size).data(), key_size);
        px_leaves.counts[i] = chain[i].count;
      }
      patched = px->patch(px_leaves, store->changedBlocks());
    }
    if (!patched) {
      collectLeaves();
      px->update(px_leaves);
    }
  }
  store->clearChanges();
  for (auto& si : secondaries) si->refresh();
  indexes_dirty = false;
}

void Table::Impl::checkUnique(const uint8_t* rec, std::optional<uint32_t> self,
                              const std::string& table) {
  if (!pk_parts.empty()) {
    uint32_t pos = lowerBound(rec, pk_parts.size());
    if (pos < store->size() && (!self || *self != pos) &&
        CompareKeys(pk_parts, pk_parts.size(), store->record(pos), rec) == 0) {
      ThrowKeyViolation("Key violation in table \"" + table + "\": the primary key " +
                        DescribeKey(h(), pk_parts, rec, *code_page) + " already exists");
    }
  }
  for (auto& si : secondaries) {
    if (si->info().unique && si->maintained())
      si->checkUnique(rec, self ? store->record(*self) : nullptr, table);
  }
}

// ---------------------------------------------------------------------------
// Create

bool IsBinarySortOrder(const std::string& sort_order, int sort_order_byte, int level) {
  if (level == 3) {
    return sort_order_byte <= 0 &&
           (sort_order.empty() || SameNameIgnoringCase(sort_order, "ascii"));
  }
  const std::string name = sort_order.empty() && sort_order_byte >= 0
                               ? SortOrderNameFor(static_cast<uint8_t>(sort_order_byte), 0)
                               : sort_order;
  for (const char* binary : {"ascii", "DBWINUS0", "BLROM800"}) {
    if (SameNameIgnoringCase(name, binary)) return true;
  }
  return false;
}

std::string BinarySortOrderFor(int code_page, int level) {
  if (level == 3 || (code_page > 0 && code_page < 1000)) return "ascii";
  if (code_page == 0) return "BLROM800";
  return "DBWINUS0";
}

bool HasAlphaKeys(const TableDefinition& def) {
  for (const IndexDef& index : def.indexes) {
    for (const std::string& key : index.key_fields) {
      for (const FieldDef& field : def.fields) {
        if (SameNameIgnoringCase(field.name, key) && field.type == FieldType::kString) return true;
      }
    }
  }
  return false;
}

namespace {

// The sort order of a new table's header: the one asked for, or the binary
// order of its code page. A collation the engine does not implement would
// leave Alpha keys in an order other readers do not expect: refused.
void SetSortOrder(const TableDefinition& def, const std::string& base, int level, TableHeader& h) {
  std::string name = def.sort_order;
  if (name.empty() && def.sort_order_byte >= 0) {
    name = SortOrderNameFor(static_cast<uint8_t>(def.sort_order_byte), def.code_page);
  }
  const bool asked = !name.empty() || (level == 3 && def.sort_order_byte >= 0);
  if (!asked) {
    h.sort_order_id = BinarySortOrderFor(def.code_page, level);
    h.sort_order = SortOrderByteFor(h.sort_order_id);
    return;
  }
  if (!IsBinarySortOrder(name, def.sort_order_byte, level) && HasAlphaKeys(def)) {
    ThrowInvalid("Table \"" + base + "\" cannot keep the sort order \"" + name +
                 "\": the engine orders Alpha keys only by their bytes");
  }
  h.sort_order_id = name.empty() ? BinarySortOrderFor(def.code_page, level) : name;
  h.sort_order =
      def.sort_order_byte >= 0 ? static_cast<uint8_t>(def.sort_order_byte) : SortOrderByteFor(name);
}

// The storage type of a field of the definition; a type Paradox tables lack
// is refused.
PxType StorageTypeOf(const FieldDef& fd, const std::string& base) {
  PxType t;
  if (!PxTypeFor(fd.type, &t)) {
    ThrowInvalid("Field \"" + fd.name + "\" of table \"" + base + "\": type " +
                     LogicalName(fd.type) + " is not supported by Paradox tables",
                 subcode::kUnsupportedType);
  }
  return t;
}

// The name of field `i` in the table's code page; a name the code page
// cannot hold, an empty one or one of more than 25 bytes is refused.
std::string StoredFieldName(const FieldDef& fd, size_t i, const std::string& base,
                            const CodePage& cp) {
  const std::optional<std::string> encoded = cp.fromUtf8Exact(fd.name);
  if (!encoded) {
    ThrowInvalid("The name of field " + std::to_string(i + 1) + " of table \"" + base + "\", \"" +
                 fd.name + "\", holds characters that code page " + std::to_string(cp.number()) +
                 " cannot hold");
  }
  if (encoded->empty() || encoded->size() > 25) {
    ThrowInvalid("Field " + std::to_string(i + 1) + " of table \"" + base +
                 "\" has an invalid name \"" + fd.name + "\"");
  }
  return *encoded;
}

// The header's size byte of a field of storage type `t`: the defined size
// where the type has one (checked against the type's range), else the
// type's fixed storage size.
int SizeByteFor(const FieldDef& fd, PxType t, const std::string& base) {
  auto check_size = [&](int low, int high, const char* what) {
    if (fd.size < low || fd.size > high) {
      ThrowInvalid("Field \"" + fd.name + "\" of table \"" + base + "\" has invalid " + what + " " +
                   std::to_string(fd.size));
    }
  };
  switch (t) {
    case PxType::kAlpha:
    case PxType::kBytes:
      check_size(1, 255, "size");
      return fd.size;
    case PxType::kBcd:
      check_size(0, 32, "decimals");
      return fd.size;
    case PxType::kMemo:
    case PxType::kFmtMemo:
    case PxType::kBinary:
    case PxType::kOle:
    case PxType::kGraphic:
      check_size(0, 240, "size");
      return std::max(fd.size, t == PxType::kMemo ? 1 : 0) + 10;
    default:
      return StorageSize(
          t, t == PxType::kShort                                                        ? 2
             : t == PxType::kLogical                                                    ? 1
             : (t == PxType::kNumber || t == PxType::kMoney || t == PxType::kTimestamp) ? 8
                                                                                        : 4);
  }
}

// Lays the definition's fields out one after another into `h.fields` and
// returns the record size; raises `level` to the least level that holds
// every field's type. Field names must differ, ignoring letter case.
uint32_t LayOutFields(const TableDefinition& def, const std::string& base, const CodePage& cp,
                      int& level, TableHeader& h) {
  std::set<std::string> names;
  uint32_t offset = 0;
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldDef& fd = def.fields[i];
    PxField f;
    f.type = StorageTypeOf(fd, base);
    f.name = StoredFieldName(fd, i, base, cp);
    if (!names.insert(Upper(fd.name)).second) {
      ThrowInvalid("Table \"" + base + "\" has two fields named \"" + fd.name + "\"");
    }
    f.size_byte = static_cast<uint8_t>(SizeByteFor(fd, f.type, base));
    f.length = static_cast<uint16_t>(StorageSize(f.type, f.size_byte));
    f.offset = static_cast<uint16_t>(offset);
    offset += f.length;
    level = std::max(level, MinimumLevel(f.type));
    h.fields.push_back(f);
  }
  if (offset > 32000) ThrowLimit("Records of table \"" + base + "\" are too large");
  return offset;
}

// The definition's indexes: at most one primary, the secondary ones in order.
struct DefinedIndexes {
  const IndexDef* primary = nullptr;
  std::vector<const IndexDef*> secondary;
};

DefinedIndexes SortOutIndexes(const TableDefinition& def, const std::string& base) {
  DefinedIndexes indexes;
  for (const auto& ix : def.indexes) {
    if (ix.primary) {
      if (indexes.primary) ThrowInvalid("Table \"" + base + "\" has two primary indexes");
      indexes.primary = &ix;
    } else {
      indexes.secondary.push_back(&ix);
    }
  }
  return indexes;
}

// The position of key field `key` among the definition's fields; a name the
// table lacks is refused.
size_t KeyFieldIndex(const TableDefinition& def, const std::string& key, const std::string& base) {
  for (size_t i = 0; i < def.fields.size(); ++i) {
    if (SameNameIgnoringCase(def.fields[i].name, key)) return i;
  }
  ThrowInvalid("Key field \"" + key + "\" does not exist in table \"" + base + "\"");
}

// The number of primary-key fields (0 without a primary index). They must
// be the table's first fields, in order, and none a blob.
size_t CheckPrimaryKey(const TableDefinition& def, const IndexDef* primary, const TableHeader& h,
                       const std::string& base) {
  if (!primary) return 0;
  const std::vector<std::string>& keys = primary->key_fields;
  if (keys.empty()) ThrowInvalid("The primary index of table \"" + base + "\" has no key fields");
  if (keys.size() > 16)
    ThrowLimit("The primary key of table \"" + base + "\" has more than 16 fields");
  for (size_t k = 0; k < keys.size(); ++k) {
    if (KeyFieldIndex(def, keys[k], base) != k) {
      ThrowInvalid("The primary key fields of table \"" + base +
                   "\" must be the first fields of the table");
    }
    if (IsBlobType(h.fields[k].type)) {
      ThrowInvalid("Field \"" + def.fields[k].name + "\" of table \"" + base +
                   "\" cannot be a key field");
    }
  }
  return keys.size();
}

// The table's level once its secondary indexes are counted in (descending
// or unique ones need level 7); only levels 3, 4, 5 and 7 can be written.
// The secondary indexes of an unkeyed table are not maintained.
int CheckSecondariesAndLevel(const TableDefinition& def,
                             const std::vector<const IndexDef*>& secondary, const std::string& base,
                             int level) {
  if (secondary.size() > 127) ThrowLimit("Table \"" + base + "\" has more than 127 indexes");
  for (const auto* ix : secondary) {
    if (ix->descending || ix->unique) level = std::max(level, 7);
  }
  if (level != 3 && level != 4 && level != 5 && level != 7) {
    ThrowInvalid("Table level " + std::to_string(def.level) + " is not supported");
  }
  return level;
}

// The block size asked for when a record fits, else the smallest that holds
// three records; refused when not even one record fits a block.
void ChooseBlockSize(const TableDefinition& def, const std::string& base, TableHeader& h) {
  const uint32_t record_size = h.record_size;
  if (def.block_kb > 0 && (def.block_kb * 1024u - 6) / record_size >= 1) {
    h.block_kb = static_cast<uint8_t>(def.block_kb);
  } else {
    static const uint8_t sizes[] = {2, 4, 8, 16, 32};
    h.block_kb = 32;
    for (uint8_t kb : sizes) {
      // At least three records (or keys) to a block keeps splits meaningful.
      if ((kb * 1024u - 6) / record_size >= 3) {
        h.block_kb = kb;
        break;
      }
    }
  }
  if (h.blockCapacity() < 1) ThrowLimit("Records of table \"" + base + "\" are too large");
}

// Fills the header of a new, empty table whose fields are laid out.
void FillNewHeader(const TableDefinition& def, const std::string& base, int level,
                   size_t key_fields, uint32_t record_size, TableHeader& h) {
  h.file_type = key_fields > 0 ? 0 : 2;
  h.version_id = VersionIdForLevel(level);
  h.index_flags = def.integrity_flag;
  h.record_size = static_cast<uint16_t>(record_size);
  h.key_fields = static_cast<uint16_t>(key_fields);
  h.num_fields = static_cast<uint16_t>(h.fields.size());
  h.primary_index_workspace = key_fields > 0 ? 0x00000001u : 0;
  h.encryption1 = level >= 4 ? 0xFF00FF00u : 0;
  h.setPasswordChecksum(def.password_checksum);
  SetSortOrder(def, base, level, h);
  h.code_page = static_cast<uint16_t>(def.code_page);
  // The engine is reported to use a primary index only when this counter
  // is at least 2 (no real keyed table has less); the index repeats it.
  h.change_count1 = 2;
  h.change_count2 = 1;
  h.hi_field_id = static_cast<uint16_t>(h.fields.size() + 1);
  h.update_time = static_cast<uint32_t>(std::time(nullptr));
  for (size_t i = 0; i < h.fields.size(); ++i)
    h.field_numbers.push_back(static_cast<uint16_t>(i + 1));
  h.table_name = base + ".DB";
  ChooseBlockSize(def, base, h);
}

// The key fields of one secondary index and its options; its files are
// named later. At most 16 fields, none a blob.
SecondarySpec SecondarySpecOf(const TableDefinition& def, const IndexDef& ix, const TableHeader& h,
                              const std::string& base) {
  const std::vector<std::string>& keys = ix.key_fields;
  if (keys.empty())
    ThrowInvalid("Index \"" + ix.name + "\" of table \"" + base + "\" has no key fields");
  if (keys.size() > 16)
    ThrowLimit("Index \"" + ix.name + "\" of table \"" + base + "\" has more than 16 fields");
  SecondarySpec spec;
  for (const auto& k : keys) {
    const size_t fi = KeyFieldIndex(def, k, base);
    if (IsBlobType(h.fields[fi].type)) {
      ThrowInvalid("Field \"" + def.fields[fi].name + "\" of table \"" + base +
                   "\" cannot be indexed");
    }
    spec.fields.push_back(fi);
  }
  spec.name = ix.name;
  spec.unique = ix.unique;
  spec.descending = ix.descending;
  spec.case_insensitive = ix.case_insensitive;
  return spec;
}

// The secondary indexes to create, each with the name of its files: a
// plain index on one field that bears the field's name is .Xnn (the field's
// number), any other a composite .XGn (at most 16 of them). Index names must
// be given and differ.
std::vector<SecondarySpec> PlanSecondaryIndexes(const TableDefinition& def,
                                                const std::vector<const IndexDef*>& secondary,
                                                const TableHeader& h, const std::string& base) {
  std::vector<SecondarySpec> specs;
  int composite_number = 0;
  std::set<std::string> index_names;
  for (const auto* ix : secondary) {
    SecondarySpec spec = SecondarySpecOf(def, *ix, h, base);
    if (ix->name.empty()) ThrowInvalid("A secondary index of table \"" + base + "\" has no name");
    if (!index_names.insert(ix->name).second) {
      ThrowInvalid("Table \"" + base + "\" has two indexes named \"" + ix->name + "\"");
    }
    const bool simple = spec.fields.size() == 1 && !ix->unique && !ix->descending &&
                        !ix->case_insensitive && ix->name == def.fields[spec.fields[0]].name;
    if (simple) {
      spec.file_suffix = Hex2(static_cast<unsigned>(spec.fields[0] + 1));
      spec.composite = false;
    } else {
      if (composite_number >= 16) {
        ThrowLimit("Table \"" + base + "\" has more than 16 named indexes");
      }
      spec.file_suffix = "G" + std::string(1, "0123456789ABCDEF"[composite_number++]);
      spec.composite = true;
    }
    specs.push_back(std::move(spec));
  }
  return specs;
}

// The definition's validity checks in field order; a check on a field the
// table lacks is refused.
std::vector<ValidityCheck> SortedChecks(const TableDefinition& def, const TableHeader& h,
                                        const std::string& base) {
  std::vector<ValidityCheck> checks = def.checks;
  for (const auto& c : checks) {
    if (c.field_number < 1 || c.field_number > h.fields.size()) {
      ThrowInvalid("A validity check of table \"" + base + "\" names field " +
                   std::to_string(c.field_number) + ", which does not exist");
    }
  }
  std::sort(checks.begin(), checks.end(), [](const ValidityCheck& a, const ValidityCheck& b) {
    return a.field_number < b.field_number;
  });
  return checks;
}

// Refuses to replace a table that is open anywhere.
// Writes the empty data file and, as the table needs them, its empty blob
// file and primary index.
void WriteEmptyTableFiles(FileSystem& fs, const std::string& directory, const std::string& base,
                          const TableHeader& h) {
  RecordStore::Create(fs, JoinPath(directory, base + ".DB"), h)->sync();
  const bool has_blobs = std::any_of(h.fields.begin(), h.fields.end(),
                                     [](const PxField& f) { return IsBlobType(f.type); });
  if (has_blobs) {
    BlobFile::Create(fs, JoinPath(directory, base + ".MB"), h.passwordChecksum())->sync();
  }
  if (h.key_fields > 0) {
    TableHeader ph = MakeIndexHeader(h, h.key_fields, 1, base + ".PX");
    IndexFileWriter px(fs, JoinPath(directory, base + ".PX"), ph, true);
    px.update(IndexLeafList{});
    px.sync();
  }
}

// Writes the .VAL file of a new table: its checks and referential integrity.
void WriteNewValFile(FileSystem& fs, const std::string& directory, const std::string& base,
                     const TableHeader& h, const std::vector<ValidityCheck>& checks,
                     const RefIntegrity& integrity, const CodePage& cp) {
  ValTableInfo info;
  info.table_name = base + ".DB";
  info.file_version_id = h.version_id;
  info.change_count2 = h.change_count2;
  info.hi_field_id = h.hi_field_id;
  info.key_fields = h.key_fields;
  info.fields = h.fields;
  WriteValFile(fs, JoinPath(directory, base + ".VAL"), info, checks, cp, integrity);
}

}  // namespace

void Table::Create(const std::string& directory, const std::string& name,
                   const TableDefinition& def, FileSystem& fs) {
  CheckTableName(name);
  const std::string base = TableBaseName(name);
  if (def.fields.empty()) ThrowInvalid("Table \"" + base + "\" has no fields");
  if (def.fields.size() > 255) ThrowLimit("Table \"" + base + "\" has more than 255 fields");
  CodePage cp(def.code_page);
  int level = def.level > 0 ? def.level : 4;
  TableHeader h;
  const uint32_t record_size = LayOutFields(def, base, cp, level, h);
  const DefinedIndexes indexes = SortOutIndexes(def, base);
  const size_t key_fields = CheckPrimaryKey(def, indexes.primary, h, base);
  level = CheckSecondariesAndLevel(def, indexes.secondary, base, level);
  FillNewHeader(def, base, level, key_fields, record_size, h);
  const std::vector<SecondarySpec> specs = PlanSecondaryIndexes(def, indexes.secondary, h, base);
  const std::vector<ValidityCheck> checks = SortedChecks(def, h, base);

  RefuseIfInUse(directory, base, fs);
  Delete(directory, base, fs);
  WriteEmptyTableFiles(fs, directory, base, h);
  for (const SecondarySpec& spec : specs) {
    SecondaryIndex::CreateFiles(fs, directory, base, h, spec, cp);
  }
  if (!checks.empty() || !def.integrity.empty()) {
    WriteNewValFile(fs, directory, base, h, checks, def.integrity, cp);
  }
  fs.syncDirectory(directory);
}

void CheckTableName(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name.find('\\') != std::string::npos) {
    ThrowInvalid("Invalid table name \"" + name + "\"");
  }
}

std::string TableBaseName(const std::string& name) {
  return Upper(ExtensionOf(name)) == ".DB" ? StripExtension(name) : name;
}

void Table::RefuseIfInUse(const std::string& directory, const std::string& base, FileSystem& fs) {
  bool exists = false;
  const std::string old_path = ResolveCaseInsensitive(fs, directory, base + ".DB", &exists);
  if (!exists) return;
  auto old = fs.open(old_path, OpenMode::kRead);
  if (!old->tryLock(true)) {
    throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kGeneric,
                         "Table \"" + old_path + "\" is in use by another user or program");
  }
}

void Table::Delete(const std::string& directory, const std::string& name, FileSystem& fs) {
  const std::string base = TableBaseName(name);
  if (!fs.isDirectory(directory.empty() ? "." : directory)) return;
  const std::vector<std::string> entries = fs.listPrefix(directory, base + ".");
  RefuseLetterCaseTwins(directory, entries, base);
  for (const auto& file : TableFilesAmong(entries, base)) fs.remove(JoinPath(directory, file));
  // A change of the old table that died must not be undone on a new one.
  RemoveRollbackJournal(fs, directory, base);
}

bool Table::writable() const { return options_.writable && impl_->options.writable; }

uint32_t Table::recordCount() {
  if (!rowsReadable()) return structure_.record_count = impl_->h().num_records;
  structure_.record_count =
      ReadTable(*impl_, options_.lock_wait_ms, false, [&] { return impl_->store->size(); });
  return structure_.record_count;
}

bool Table::rowsReadable() const { return impl_->sealed.empty(); }

void Table::checkRowsReadable() const {
  if (!rowsReadable()) {
    throw EDBEngineError(ErrorCategory::kInvalidRequest, subcode::kEncrypted, impl_->sealed);
  }
}

Row Table::read(uint32_t ordinal) {
  // A copy: a record pointer is valid only until the store's next call.
  readRecordBytes(ordinal, &impl_->read_scratch);
  return ReadTable(*impl_, options_.lock_wait_ms, true,
                   [&] { return impl_->decodeRow(impl_->read_scratch.data()); });
}

struct Table::Scanner::State {
  std::unique_ptr<ChainWalker> walker;
  // A salvage read takes the records its store found, by position.
  bool by_position = false;
  uint32_t ordinal = 0;
  uint32_t index = 0;
  bool started = false;
  // The scan reads the file itself: another process may not change it
  // meanwhile.
  std::unique_ptr<HoldStill> still;
};

Table::Scanner::Scanner(Table& table) : table_(table), state_(std::make_unique<State>()) {
  table.checkRowsReadable();
  Impl& m = *table.impl_;
  table.flush();
  state_->still = std::make_unique<HoldStill>(m, table.options_.lock_wait_ms);
  state_->by_position = m.salvage != nullptr;
  if (!state_->by_position) {
    state_->walker = std::make_unique<ChainWalker>(m.store->file(), m.h(), m.store->name());
  }
}

Table::Scanner::~Scanner() = default;

bool Table::Scanner::nextRaw() {
  State& s = *state_;
  if (s.by_position) {
    RecordStore& store = *table_.impl_->store;
    if (s.ordinal >= store.size()) return false;
    raw_ = store.record(s.ordinal++);
    return true;
  }
  while (!s.started || s.index >= s.walker->count()) {
    if (!s.walker->next()) return false;
    s.started = true;
    s.index = 0;
  }
  raw_ = s.walker->record(s.index++);
  return true;
}

void Table::readRecordBytes(uint32_t ordinal, std::vector<uint8_t>* out) {
  ReadTable(*impl_, options_.lock_wait_ms, true, [&] {
    if (ordinal >= impl_->store->size())
      ThrowInvalid("Record " + std::to_string(ordinal + 1) + " does not exist");
    const uint8_t* at = impl_->store->record(ordinal);
    out->assign(at, at + impl_->h().record_size);
  });
}

Row Table::decodeRecordBytes(const uint8_t* record) {
  return ReadTable(*impl_, options_.lock_wait_ms, true, [&] { return impl_->decodeRow(record); });
}

bool Table::refersToBlobFile(const uint8_t* record) const {
  for (const auto& f : impl_->h().fields) {
    if (IsBlobType(f.type) &&
        BlobDescriptor::Decode(record + f.offset, f.leaderLength()).reference != 0) {
      return true;
    }
  }
  return false;
}

Value Table::fieldValue(size_t index, const uint8_t* record) {
  return ReadTable(*impl_, options_.lock_wait_ms, true,
                   [&] { return impl_->decodeField(impl_->h().fields.at(index), record); });
}

void Table::setFieldValue(size_t index, const Value& value, uint8_t* record) {
  bool wrote = false;
  impl_->encodeField(impl_->h().fields.at(index), index, value, record, &wrote);
}

Bytes Table::fieldBytes(size_t index, const uint8_t* record) {
  return ReadTable(*impl_, options_.lock_wait_ms, true,
                   [&] { return impl_->storedBytes(impl_->h().fields.at(index), record); });
}

void Table::setFieldBytes(size_t index, const Bytes& bytes, uint8_t* record) {
  impl_->setStoredBytes(impl_->h().fields.at(index), bytes, record);
}

bool Table::Scanner::next(Row& row) {
  if (!nextRaw()) return false;
  row = table_.impl_->decodeRow(raw_);
  return true;
}

uint32_t Table::insert(const Row& row) {
  Impl& m = *impl_;
  RequireWritable(*this, m);
  // The next autoincrement value is the table's as the lock finds it.
  ChangeLock lock(*this);
  TableHeader& h = m.store->header();
  // Autoincrement fields left NULL get the next value; the row is copied
  // only when there is one to fill.
  const Row* values = &row;
  Row filled;
  for (size_t i = 0; i < h.fields.size() && i < row.size(); ++i) {
    if (h.fields[i].type != PxType::kAutoInc || !IsNull(row[i])) continue;
    if (values == &row) {
      filled = row;
      values = &filled;
    }
    filled[i] = static_cast<int64_t>(h.auto_inc) + 1;
  }
  std::vector<uint8_t>& rec = m.insert_scratch;
  m.encodeRow(*values, &rec, structure_);
  uint32_t pos;
  try {
    pos = m.insertEncoded(rec.data());
  } catch (...) {
    m.releaseBlobs(rec.data());
    throw;
  }
  lock.release();
  return pos;
}

uint32_t Table::insertRecordBytes(const uint8_t* rec) {
  Impl& m = *impl_;
  RequireWritable(*this, m);
  ChangeLock lock(*this);
  uint32_t pos;
  try {
    pos = m.insertEncoded(rec);
  } catch (...) {
    m.releaseBlobs(rec);
    throw;
  }
  lock.release();
  return pos;
}

uint32_t Table::Impl::insertEncoded(const uint8_t* rec) {
  TableHeader& hd = store->header();
  // Position and primary-key check. Records that arrive in key order (bulk
  // loads, restructures) go to the end after one comparison.
  uint32_t pos = store->size();
  if (!pk_parts.empty() && pos > 0) {
    int c = CompareKeys(pk_parts, pk_parts.size(), store->record(pos - 1), rec);
    if (c >= 0) {
      pos = c == 0 ? pos - 1 : lowerBound(rec, pk_parts.size());
      if (pos < store->size() &&
          CompareKeys(pk_parts, pk_parts.size(), store->record(pos), rec) == 0) {
        ThrowKeyViolation("Key violation in table \"" + base + "\": the primary key " +
                          DescribeKey(hd, pk_parts, rec, *code_page) + " already exists");
      }
    }
  }
  for (auto& si : secondaries) {
    if (si->info().unique && si->maintained()) si->checkUnique(rec, nullptr, base);
  }
  for (size_t i = 0; i < hd.fields.size(); ++i) {
    if (hd.fields[i].type != PxType::kAutoInc) continue;
    if (auto v = DecodeLong(rec + hd.fields[i].offset)) {
      if (*v > 0 && static_cast<uint32_t>(*v) > hd.auto_inc)
        hd.auto_inc = static_cast<uint32_t>(*v);
    }
  }
  TableChange change;
  change.kind = TableChange::Kind::kInsert;
  change.new_ordinal = pos;
  change.new_record = rec;
  tell(true, change);
  store->insert(pos, rec);
  ++changes;
  for (auto& si : secondaries) si->onInsert(rec, store->blockOf(pos));
  refreshIndexes();
  tell(false, change);
  return pos;
}

// A change of the record at `ordinal`, which the caller worked out before
// the lock, when the lock found the table changed by another process: the
// ordinal may name another record now, so nothing is changed.
[[noreturn]] static void ThrowRecordMayHaveMoved(const Table::Impl& m, uint32_t ordinal) {
  throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kRecordChanged,
                       "Table \"" + m.base + "\" was changed by another user or program; record " +
                           std::to_string(ordinal + 1) + " may no longer be the one meant");
}

// The record at `ordinal` that a change under `lock`, just taken, updates or
// removes, copied (a record pointer is valid only until the store's next
// call). Refuses an ordinal that the lock found may have moved, or that
// names no record.
static std::vector<uint8_t> RecordToChange(const Table::Impl& m, const Table::ChangeLock& lock,
                                           uint32_t ordinal) {
  if (lock.foundOutsideChanges()) ThrowRecordMayHaveMoved(m, ordinal);
  if (ordinal >= m.store->size())
    ThrowInvalid("Record " + std::to_string(ordinal + 1) + " does not exist");
  const uint8_t* at = m.store->record(ordinal);
  return std::vector<uint8_t>(at, at + m.h().record_size);
}

uint32_t Table::update(uint32_t ordinal, const Row& row) {
  Impl& m = *impl_;
  RequireWritable(*this, m);
  ChangeLock lock(*this);
  const std::vector<uint8_t> old = RecordToChange(m, lock, ordinal);
  std::vector<uint8_t> rec;
  m.encodeRow(row, &rec, structure_);
  try {
    m.checkUnique(rec.data(), ordinal, m.base);
  } catch (...) {
    m.releaseBlobs(rec.data());
    throw;
  }
  uint32_t pos = ordinal;
  bool same_key =
      !keyed() || CompareKeys(m.pk_parts, m.pk_parts.size(), old.data(), rec.data()) == 0;
  TableChange change;
  change.kind = TableChange::Kind::kUpdate;
  change.old_ordinal = ordinal;
  change.old_record = old.data();
  change.new_record = rec.data();
  if (!same_key) {
    // Where the record goes once it has left its place.
    const uint32_t at = m.lowerBound(rec.data(), m.pk_parts.size());
    change.new_ordinal = at > ordinal ? at - 1 : at;
  } else {
    change.new_ordinal = ordinal;
  }
  m.tell(true, change);
  // Blobs that the new record still shares (unchanged references) stay.
  if (m.blobs) {
    for (const auto& f : m.h().fields) {
      if (!IsBlobType(f.type)) continue;
      m.blobs->release(old.data() + f.offset, f.leaderLength());
    }
  }
  for (auto& si : m.secondaries) si->onErase(old.data());
  if (same_key) {
    m.store->overwrite(ordinal, rec.data());
  } else {
    m.store->erase(ordinal);
    pos = m.lowerBound(rec.data(), m.pk_parts.size());
    m.store->insert(pos, rec.data());
  }
  ++m.changes;
  for (auto& si : m.secondaries) si->onInsert(rec.data(), m.store->blockOf(pos));
  m.refreshIndexes();
  change.new_ordinal = pos;
  m.tell(false, change);
  lock.release();
  return pos;
}

void Table::remove(uint32_t ordinal) {
  Impl& m = *impl_;
  RequireWritable(*this, m);
  ChangeLock lock(*this);
  const std::vector<uint8_t> old = RecordToChange(m, lock, ordinal);
  TableChange change;
  change.kind = TableChange::Kind::kErase;
  change.old_ordinal = ordinal;
  change.old_record = old.data();
  m.tell(true, change);
  for (auto& si : m.secondaries) si->onErase(old.data());
  m.store->erase(ordinal);
  ++m.changes;
  m.releaseBlobs(old.data());
  m.refreshIndexes();
  m.tell(false, change);
  lock.release();
}

// A record of the table's layout holding `key` in the leading primary-key
// fields.
static const std::vector<uint8_t>& PrimaryKeyRecord(Table::Impl& m, bool keyed, const Row& key) {
  if (!keyed) ThrowInvalid("Table \"" + m.base + "\" has no primary key");
  if (key.size() > m.pk_parts.size())
    ThrowInvalid("Too many key values for table \"" + m.base + "\"");
  std::vector<uint8_t>& rec = m.key_scratch;
  rec.assign(m.h().record_size, 0);
  for (size_t i = 0; i < key.size(); ++i) {
    bool wrote = false;
    m.encodeField(m.h().fields[i], i, key[i], rec.data(), &wrote, true);
  }
  return rec;
}

uint32_t Table::lowerBound(const Row& key) {
  Impl& m = *impl_;
  return ReadTable(m, options_.lock_wait_ms, false, [&] {
    const std::vector<uint8_t>& rec = PrimaryKeyRecord(m, keyed(), key);
    return m.lowerBound(rec.data(), key.size());
  });
}

uint32_t Table::upperBound(const Row& key) {
  Impl& m = *impl_;
  return ReadTable(m, options_.lock_wait_ms, false, [&] {
    const std::vector<uint8_t>& rec = PrimaryKeyRecord(m, keyed(), key);
    return KeyUpperBound(*m.store, m.pk_parts, key.size(), m.key_size, rec.data());
  });
}

Table::EncodedKey Table::encodeKey(const Row& key) {
  return EncodedKey{PrimaryKeyRecord(*impl_, keyed(), key), key.size()};
}

int Table::compareKey(uint32_t ordinal, const EncodedKey& key) {
  Impl& m = *impl_;
  return ReadTable(m, options_.lock_wait_ms, true, [&] {
    if (ordinal >= m.store->size())
      ThrowInvalid("Record " + std::to_string(ordinal + 1) + " does not exist");
    return CompareKeys(m.pk_parts, key.parts, m.store->record(ordinal), key.record.data());
  });
}

const SalvageLog* Table::salvageLog() const { return impl_->salvage.get(); }

uint64_t Table::changeCount() const { return impl_->changes; }

uint64_t Table::valuesReadWithoutBlobFile() const { return impl_->values_cut_short; }

bool Table::blobFileMissing() const { return impl_->blob_file_missing; }

uint64_t Table::valuesOnlyInMissingBlobFile(const std::vector<size_t>& fields) {
  if (!impl_->blob_file_missing) return 0;
  std::vector<PxField> blob_fields;
  const auto& all = header().fields;
  for (size_t i = 0; i < all.size(); ++i) {
    const bool asked = fields.empty() || std::find(fields.begin(), fields.end(), i) != fields.end();
    if (asked && IsBlobType(all[i].type)) blob_fields.push_back(all[i]);
  }
  if (blob_fields.empty()) return 0;
  uint64_t count = 0;
  Scanner scan(*this);
  while (scan.nextRaw()) {
    for (const PxField& f : blob_fields) {
      const int leader = f.leaderLength();
      if (BlobDescriptor::Decode(scan.raw() + f.offset, leader).length >
          static_cast<uint32_t>(leader)) {
        ++count;
      }
    }
  }
  return count;
}

std::vector<std::string> ListTables(const std::string& directory, FileSystem& fs) {
  std::vector<std::string> names;
  for (const auto& entry : fs.list(directory)) {
    if (Upper(ExtensionOf(entry)) == ".DB") names.push_back(StripExtension(entry));
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return Upper(a) < Upper(b); });
  return names;
}

size_t Table::secondaryCount() const { return impl_->secondaries.size(); }

static SecondaryIndex& UsableIndex(Table::Impl& m, size_t k, const std::string& table) {
  if (k >= m.secondaries.size()) ThrowInvalid("Table \"" + table + "\" has no such index");
  SecondaryIndex& si = *m.secondaries[k];
  if (si.outOfDate()) {
    throw EDBEngineError(ErrorCategory::kDataCorrupt, subcode::kIndexOutOfDate,
                         si.info().file + ": index \"" + si.info().name + "\" of table \"" + table +
                             "\" is out of date: " + si.info().why_out_of_date);
  }
  if (!si.maintained()) {
    ThrowInvalid("Index \"" + si.info().name + "\" of table \"" + table +
                 "\" is not maintained and cannot order the table");
  }
  return si;
}

uint32_t Table::indexEntries(size_t k) {
  return ReadTable(*impl_, options_.lock_wait_ms, false,
                   [&] { return UsableIndex(*impl_, k, impl_->base).entries(); });
}

// A record of the table's layout holding `key` in the indexed fields of
// secondary index `si`, in the index's key order.
static std::vector<uint8_t> IndexKeyRecord(Table::Impl& m, const TableStructure& st,
                                           SecondaryIndex& si, const Row& key) {
  if (key.size() > si.indexedFields())
    ThrowInvalid("Too many key values for index \"" + si.info().name + "\"");
  std::vector<uint8_t> rec(m.h().record_size, 0);
  const auto& names = st.fields;
  const std::vector<std::string>& key_fields = si.info().key_fields;
  for (size_t i = 0; i < key.size() && i < key_fields.size(); ++i) {
    for (size_t f = 0; f < names.size(); ++f) {
      if (SameNameIgnoringCase(names[f].name, key_fields[i])) {
        bool wrote = false;
        m.encodeField(m.h().fields[f], f, key[i], rec.data(), &wrote, true);
        break;
      }
    }
  }
  return rec;
}

uint32_t Table::indexLowerBound(size_t k, const Row& key) {
  Impl& m = *impl_;
  SecondaryIndex& si = UsableIndex(m, k, m.base);
  std::vector<uint8_t> rec = IndexKeyRecord(m, structure_, si, key);
  return ReadTable(m, options_.lock_wait_ms, false,
                   [&] { return si.lowerBoundFor(rec.data(), key.size()); });
}

uint32_t Table::indexUpperBound(size_t k, const Row& key) {
  Impl& m = *impl_;
  SecondaryIndex& si = UsableIndex(m, k, m.base);
  std::vector<uint8_t> rec = IndexKeyRecord(m, structure_, si, key);
  return ReadTable(m, options_.lock_wait_ms, false,
                   [&] { return si.upperBoundFor(rec.data(), key.size()); });
}

// Table position of the record that entry `entry` of index `k` refers to.
static uint32_t EntryRecord(Table::Impl& m, size_t k, uint32_t entry) {
  SecondaryIndex& si = UsableIndex(m, k, m.base);
  if (entry >= si.entries())
    ThrowInvalid("Index entry " + std::to_string(entry + 1) + " does not exist");
  std::vector<uint8_t> rec(m.h().record_size, 0);
  si.keyOfEntry(entry, rec.data());
  uint32_t pos = m.lowerBound(rec.data(), m.pk_parts.size());
  if (pos >= m.store->size() ||
      CompareKeys(m.pk_parts, m.pk_parts.size(), m.store->record(pos), rec.data()) != 0) {
    ThrowCorrupt(si.info().file, "an entry points at a record that does not exist",
                 subcode::kBadIndex);
  }
  return pos;
}

uint32_t Table::indexEntryRecord(size_t k, uint32_t entry) {
  return ReadTable(*impl_, options_.lock_wait_ms, true,
                   [&] { return EntryRecord(*impl_, k, entry); });
}

uint32_t Table::indexEntryOf(size_t k, uint32_t ordinal) {
  Impl& m = *impl_;
  SecondaryIndex& si = UsableIndex(m, k, m.base);
  return ReadTable(m, options_.lock_wait_ms, true, [&] {
    const uint8_t* at = m.store->record(ordinal);  // valid until the store's next call
    std::vector<uint8_t> rec(at, at + m.h().record_size);
    auto e = si.entryFor(rec.data());
    if (!e) ThrowCorrupt(si.info().file, "a record has no entry in the index", subcode::kBadIndex);
    return *e;
  });
}

Table::EncodedKey Table::encodeOrderKey(int order, const Row& key) {
  if (order < 0) return encodeKey(key);
  Impl& m = *impl_;
  SecondaryIndex& si = UsableIndex(m, static_cast<size_t>(order), m.base);
  return EncodedKey{IndexKeyRecord(m, structure_, si, key), key.size()};
}

int Table::compareOrderKey(int order, const uint8_t* record, const EncodedKey& key) {
  Impl& m = *impl_;
  if (order < 0) return CompareKeys(m.pk_parts, key.parts, record, key.record.data());
  SecondaryIndex& si = UsableIndex(m, static_cast<size_t>(order), m.base);
  return si.compareIndexed(record, key.record.data(), key.parts);
}

uint32_t Table::indexPositionFor(size_t k, const uint8_t* record) {
  return ReadTable(*impl_, options_.lock_wait_ms, false,
                   [&] { return UsableIndex(*impl_, k, impl_->base).positionFor(record); });
}

}  // namespace vellum::engine::paradox
