// Build table: creating a table from a descriptor, or restructuring an
// existing one in place keeping its rows.
//
// A restructure is all or nothing. What can be checked is checked before
// anything is written: the definition (the table is first created in
// memory, where the engine's own rules refuse what they refuse), what an
// earlier restructure left beside the table, and the directory's write
// access and room for the new files. The new table is then written complete
// into a work directory beside the old files (".NAME.restructure") and
// synced, with the old table held exclusively and its files untouched: a
// failure up to here (a row breaking a new key, a full disk, a damaged old
// table) removes the work directory and leaves every old file as it was.
// Then the journal NAME.JNL (restructure_journal.h) lists the old files to
// delete -- every file of the old table the new one does not have, so index
// and validity files that the new definition drops go here and only here --
// and the new files to move over the old ones. It is written and synced in
// the work directory and renamed into place; that rename, with the
// directory's sync, is the commit point, so a journal under the table's
// name is always whole (anything else there is the user's, and a
// restructure refuses to replace it). Applying it deletes, renames, syncs the
// directory, removes the work directory and finally the journal, holding the
// table and the journal exclusively throughout. In a batch of tables in one
// directory (CreationBatch), the committed restructure first hands the old
// files to the batch, whose next restructure's new files take them over
// instead of freeing them and allocating new ones. Every step of applying is
// idempotent, so RecoverTable (run by every open) finishes a committed
// journal after a crash at any point; an uncommitted one (no journal of
// ours) is discarded with the work directory, leaving the old table as it
// was. Before any of this, a table whose files are symbolic links, or whose
// name is that of two tables differing only in letter case, is refused.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "engine/creation_batch.h"
#include "engine/errors.h"
#include "engine/fs/forwarding_file_system.h"
#include "engine/fs/memory_file_system.h"
#include "engine/number_text.h"
#include "engine/paradox/blob_file.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/table.h"
#include "engine/restructure_copy.h"
#include "engine/restructure_journal.h"
#include "engine/rewrite_table.h"
#include "engine/table_descriptor.h"
#include "engine/text.h"

namespace vellum::engine {

namespace {

using paradox::FieldDef;
using paradox::IndexDef;
using paradox::Table;
using paradox::TableDefinition;

// Field definition of a descriptor's field.
FieldDef FieldOf(const FieldDescriptor& f, const std::string& table) {
  FieldDef d;
  d.name = f.name;
  d.type = LogicalTypeOfStorage(f.storage_type, f.storage_subtype);
  switch (d.type) {
    case FieldType::kString:
    case FieldType::kBytes:
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kGraphic:
    case FieldType::kFmtMemo:
    case FieldType::kParadoxOle:
      d.size = f.units1;
      break;
    case FieldType::kBCD:
      d.size = f.units2;
      break;
    default:
      d.size = 0;
  }
  (void)table;
  return d;
}

// --- value conversion for modified fields ------------------------------

std::optional<double> ParseNumber(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return std::nullopt;
  text = text.substr(start);
  std::replace(text.begin(), text.end(), ',', '.');
  const std::optional<double> d = ParseDouble(text);
  if (!d || !std::isfinite(*d)) return std::nullopt;
  return d;
}

std::optional<double> AsNumber(const Value& v) {
  if (auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
  if (auto* d = std::get_if<double>(&v)) return *d;
  if (auto* b = std::get_if<bool>(&v)) return *b ? 1.0 : 0.0;
  if (auto* s = std::get_if<std::string>(&v)) return ParseNumber(*s);
  if (auto* dec = std::get_if<Decimal>(&v)) return ParseNumber(dec->text);
  return std::nullopt;
}

std::string AsText(const Value& v) {
  if (auto* d = std::get_if<double>(&v)) return FormatGeneral(*d);
  if (auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  if (auto* bytes = std::get_if<Bytes>(&v)) return std::string(bytes->begin(), bytes->end());
  return ValueToText(v);
}

}  // namespace

Value ConvertFieldValue(const Value& v, FieldType type, int size) {
  struct {
    FieldType type;
    int size;
  } to{type, size};
  if (IsNull(v)) return v;
  switch (to.type) {
    case FieldType::kString: {
      std::string text = AsText(v);
      return CutToCharacters(text, static_cast<size_t>(to.size));
    }
    case FieldType::kMemo:
      return AsText(v);
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kAutoInc: {
      auto d = AsNumber(v);
      if (!d || std::get_if<Date>(&v)) return {};
      double r = std::nearbyint(*d);
      double limit = to.type == FieldType::kSmallint ? 32767.0 : 2147483647.0;
      if (r < -limit || r > limit) return {};
      return static_cast<int64_t>(r);
    }
    case FieldType::kFloat:
    case FieldType::kCurrency: {
      auto d = AsNumber(v);
      if (!d) return {};
      return *d;
    }
    case FieldType::kBCD: {
      std::string text;
      if (auto* dec = std::get_if<Decimal>(&v)) {
        text = dec->text;
      } else if (auto* i = std::get_if<int64_t>(&v)) {
        text = std::to_string(*i);
      } else if (auto d = AsNumber(v)) {
        text = FormatFixed(*d, std::min(to.size, 15));
      } else {
        return {};
      }
      uint8_t scratch[17];
      if (!paradox::EncodeBcd(scratch, to.size, text)) return {};
      return Decimal{text};
    }
    case FieldType::kBoolean: {
      if (auto* b = std::get_if<bool>(&v)) return *b;
      if (auto* s = std::get_if<std::string>(&v)) {
        std::string u = Upper(*s);
        if (u == "TRUE" || u == "T" || u == "YES") return true;
        if (u == "FALSE" || u == "F" || u == "NO") return false;
      }
      auto d = AsNumber(v);
      if (!d) return {};
      return *d != 0;
    }
    case FieldType::kDate: {
      if (auto* d = std::get_if<Date>(&v)) return *d;
      if (auto* t = std::get_if<Timestamp>(&v)) {
        return Date{static_cast<int32_t>(std::floor(t->ms / 86400000.0))};
      }
      return {};
    }
    case FieldType::kTime: {
      if (auto* t = std::get_if<TimeOfDay>(&v)) return *t;
      if (auto* ts = std::get_if<Timestamp>(&v)) {
        return TimeOfDay{static_cast<int32_t>(std::fmod(ts->ms, 86400000.0))};
      }
      return {};
    }
    case FieldType::kDateTime: {
      if (auto* t = std::get_if<Timestamp>(&v)) return *t;
      if (auto* d = std::get_if<Date>(&v))
        return Timestamp{static_cast<double>(d->day) * 86400000.0};
      return {};
    }
    case FieldType::kBytes: {
      Bytes b;
      if (auto* bytes = std::get_if<Bytes>(&v)) {
        b = *bytes;
      } else if (auto* s = std::get_if<std::string>(&v)) {
        b.assign(s->begin(), s->end());
      } else {
        return {};
      }
      if (b.size() > static_cast<size_t>(to.size)) b.resize(static_cast<size_t>(to.size));
      return b;
    }
    case FieldType::kBlob:
    case FieldType::kGraphic:
    case FieldType::kFmtMemo:
    case FieldType::kParadoxOle: {
      if (auto* bytes = std::get_if<Bytes>(&v)) return *bytes;
      if (auto* s = std::get_if<std::string>(&v)) return Bytes(s->begin(), s->end());
      return {};
    }
    default:
      return {};
  }
}

namespace {

// Where a descriptor's table is: its directory and its name without the
// data file's extension.
struct Target {
  std::string directory;
  std::string base;
};

Target TargetOf(const TableDescriptor& d) {
  if (Upper(d.driver_type) != "PARADOX") {
    ThrowInvalid("Driver type \"" + d.driver_type + "\" is not supported");
  }
  Target t{DirectoryOf(d.table_path), paradox::TableBaseName(FileNameOf(d.table_path))};
  if (t.base.empty()) ThrowInvalid("The table path \"" + d.table_path + "\" names no table");
  return t;
}

void CheckLimits(const TableDescriptor& d, const std::string& name) {
  if (d.fields.size() > kMaxDescriptorEntries) {
    ThrowLimit("Table \"" + name + "\" has more than 1024 fields");
  }
  if (d.indexes.size() > kMaxDescriptorEntries) {
    ThrowLimit("Table \"" + name + "\" has more than 1024 indexes");
  }
  if (d.checks.size() > kMaxDescriptorEntries) {
    ThrowLimit("Table \"" + name + "\" has more than 1024 validity checks");
  }
}

int LevelOf(const TableDescriptor& d) {
  int level = 0;
  for (const auto& p : d.optional_parameters) {
    if (Upper(p.name) != "LEVEL") continue;
    const std::optional<int64_t> parsed = ParseInteger(p.value);
    if (!parsed || *parsed < 0 || *parsed > 99) {
      ThrowInvalid("Invalid table level \"" + p.value + "\"");
    }
    level = static_cast<int>(*parsed);
  }
  return level;
}

IndexDef IndexOf(const IndexDescriptor& ix, const TableDescriptor& d, const std::string& name) {
  if (ix.key_field_count > kMaxKeyFields) {
    ThrowLimit("Index \"" + ix.name + "\" of table \"" + name + "\" has more than 16 key fields");
  }
  IndexDef x;
  x.name = ix.name;
  x.primary = ix.primary;
  x.unique = ix.unique || ix.primary;
  x.descending = ix.descending;
  x.case_insensitive = ix.case_insensitive;
  for (uint16_t k = 0; k < ix.key_field_count; ++k) {
    uint16_t n = ix.key_fields[k];
    if (n < 1 || n > d.fields.size()) {
      ThrowInvalid("Index \"" + ix.name + "\" of table \"" + name + "\" names field " +
                   std::to_string(n) + ", which does not exist");
    }
    x.key_fields.push_back(d.fields[n - 1].name);
  }
  return x;
}

paradox::ValidityCheck CheckOf(const ValidityCheckDescriptor& c) {
  paradox::ValidityCheck v;
  v.field_number = c.field_number;
  v.required = c.required;
  v.has_min = c.has_min;
  v.has_max = c.has_max;
  v.has_default = c.has_default;
  v.min = c.min;
  v.max = c.max;
  v.def = c.def;
  v.picture = c.picture;
  v.lookup_table = c.lookup_table;
  v.lookup_options = c.lookup_options;
  return v;
}

// The properties of the table's files that the descriptor asks for.
void SetFileProperties(const TableDescriptor& d, TableDefinition& def) {
  if (d.code_page) def.code_page = *d.code_page;
  def.sort_order = d.sort_order;
  def.sort_order_byte = d.sort_order_byte;
  if (d.block_size >= 1024 && d.block_size <= 32 * 1024) {
    def.block_kb = static_cast<int>(d.block_size / 1024);
  }
  for (const RefIntegrityDescriptor& r : d.referential_integrity) {
    paradox::RefIntegrityLink link;
    link.name = r.name;
    link.fields = r.fields;
    link.master_table = r.master_table;
    link.master_fields = r.master_fields;
    link.cascade = r.cascade;
    link.stored = r.stored;
    def.integrity.links.push_back(std::move(link));
  }
  def.integrity.master_part = d.referential_integrity_master;
  def.integrity_flag = d.referential_integrity_flag;
}

// A restructure asked for no sort order keeps the table's own where the
// engine keeps the order it implies, else takes the binary order of the
// code page.
void KeepSortOrder(const paradox::TableStructure& old, TableDefinition& def) {
  if (!def.sort_order.empty() || def.sort_order_byte >= 0) return;
  const int level = def.level > 0 ? def.level : 4;
  const std::string name = old.sort_order.empty()
                               ? paradox::SortOrderNameFor(old.sort_order_byte, old.code_page)
                               : old.sort_order;
  if (paradox::IsBinarySortOrder(name, old.sort_order_byte, level) || !paradox::HasAlphaKeys(def)) {
    def.sort_order = name;
    def.sort_order_byte = old.sort_order_byte;
  }
}

// The file properties an in-place restructure of `old` keeps whatever is
// asked: its code page, as text bytes are copied as they are, its
// protection (an encrypted table stays encrypted under the same password),
// and where the descriptor names none, its sort order.
void KeepOldProperties(const paradox::TableStructure& old, TableDefinition& def) {
  def.code_page = old.code_page;
  def.password_checksum = old.password_checksum;
  KeepSortOrder(old, def);
}

// The protection of a table the descriptor creates: the checksum it gives,
// else its password's when it asks for a protected table.
uint32_t NewTableProtection(const TableDescriptor& d, int code_page) {
  if (d.password_checksum != 0) return d.password_checksum;
  if (d.protected_table && !d.password.empty()) {
    return paradox::TablePasswordChecksum(d.password, code_page);
  }
  return 0;
}

// How a restructure opens the table it replaces: exclusively, with the
// descriptor's password; its validity file is replaced from the definition
// and need not be read.
paradox::OpenOptions OldTableOptions(const TableDescriptor& d) {
  paradox::OpenOptions options{.writable = false, .exclusive = true, .read_checks = false};
  if (!d.password.empty()) options.passwords.push_back(d.password);
  return options;
}

// Fails, before anything is written, when the rows of the table to
// restructure cannot be read: an encrypted table without its password.
void RequireOldRows(const Table& old_table, const std::string& base) {
  try {
    old_table.checkRowsReadable();
  } catch (const EDBEngineError& e) {
    throw EDBEngineError("Cannot restructure table \"" + base + "\" keeping its rows: " + e.what(),
                         e.entries());
  }
}

// The engine's definition of a descriptor's table.
TableDefinition DefinitionOf(const TableDescriptor& d, const std::string& name) {
  CheckLimits(d, name);
  TableDefinition def;
  def.level = LevelOf(d);
  for (const auto& f : d.fields) def.fields.push_back(FieldOf(f, name));
  for (const auto& ix : d.indexes) def.indexes.push_back(IndexOf(ix, d, name));
  for (const auto& c : d.checks) def.checks.push_back(CheckOf(c));
  SetFileProperties(d, def);
  def.password_checksum = NewTableProtection(d, def.code_page);
  for (const auto& c : def.checks) {
    if (c.field_number >= 1 && c.field_number <= def.fields.size() && c.required) {
      def.fields[c.field_number - 1].required = true;
    }
  }
  return def;
}

// Where each new field's values come from: the old field's index, or -1.
std::vector<int> SourcesOf(const TableDescriptor& d,
                           const std::vector<paradox::FieldInfo>& old_fields) {
  std::vector<int> source(d.fields.size(), -1);
  for (size_t i = 0; i < d.fields.size(); ++i) {
    Operation op = i < d.field_operations.size() ? d.field_operations[i] : Operation::kNone;
    if (op == Operation::kAdd) continue;
    uint16_t n = d.fields[i].field_number;
    if (n >= 1 && n <= old_fields.size()) {
      source[i] = n - 1;
    } else if (d.field_operations.empty()) {
      for (size_t k = 0; k < old_fields.size(); ++k) {
        if (Upper(old_fields[k].name) == Upper(d.fields[i].name)) source[i] = static_cast<int>(k);
      }
    }
  }
  return source;
}

// A table of a definition created in memory: the engine's own rules check
// the definition without anything written to disk, and the table tells the
// layout the new records will have. It holds no rows, so it is never
// encrypted.
class TrialTable {
 public:
  TrialTable(TableDefinition def, const std::string& base) {
    def.password_checksum = 0;
    Table::Create("", base, def, fs_);
    table_ = Table::Open("", base, {true, true}, fs_);
  }
  Table& table() { return *table_; }
  FileSystem& fs() { return fs_; }

 private:
  MemoryFileSystem fs_;
  std::unique_ptr<Table> table_;
};

// Whether the old table's rows come out in the order of the new primary
// key, so that the restructure writes them front to back into full blocks:
// the new table is unkeyed, or its key fields are, in order, a leading part
// of the old key's fields, each copied unchanged.
bool KeepsRowOrder(Table& old_table, Table& trial, const std::vector<int>& source) {
  const auto& old_h = old_table.header();
  const auto& new_h = trial.header();
  if (new_h.key_fields == 0) return true;
  if (new_h.key_fields > old_h.key_fields) return false;
  for (size_t k = 0; k < new_h.key_fields; ++k) {
    if (k >= source.size() || source[k] != static_cast<int>(k)) return false;
    const paradox::PxField& o = old_h.fields[k];
    const paradox::PxField& n = new_h.fields[k];
    if (o.type != n.type || o.length != n.length) return false;
  }
  return true;
}

// About how many bytes the new files of `trial` take at most while they are
// written, once they hold `rows` rows, `blob_bytes` of large-object values
// among them. Rows that come in key order fill their blocks; rows inserted
// one by one may leave blocks half full. Each maintained secondary index
// holds an entry (its fields, the primary key and a block number) per row,
// and sorts its entries through run files on disk when they outgrow its
// share of the sort memory.
uint64_t NewFilesBytes(Table& trial, uint64_t rows, uint64_t blob_bytes, bool in_key_order,
                       size_t sort_buffer_bytes) {
  const auto& h = trial.header();
  const uint64_t block = h.blockSize();
  const uint64_t fill = in_key_order ? 1 : 2;
  auto blocks_for = [&](uint64_t n, uint64_t entry) {
    const uint64_t per_block = std::max<uint64_t>(1, (block - 6) / std::max<uint64_t>(entry, 1));
    return (n + per_block - 1) / per_block;
  };
  const uint64_t data_blocks = blocks_for(rows, h.record_size);
  uint64_t key_bytes = 0;
  for (size_t k = 0; k < h.key_fields; ++k) key_bytes += h.fields[k].length;
  uint64_t bytes = h.header_size + fill * data_blocks * block;
  if (h.key_fields > 0) bytes += blocks_for(data_blocks, key_bytes + 6) * block * fill + 2 * block;
  const auto& st = trial.structure();
  std::vector<uint64_t> entries;
  for (const auto& index : st.indexes) {
    if (index.primary || !index.maintained) continue;
    uint64_t entry = key_bytes + 2;
    for (const std::string& name : index.key_fields) {
      for (size_t i = 0; i < st.fields.size(); ++i) {
        if (SameNameIgnoringCase(st.fields[i].name, name)) entry += h.fields[i].length;
      }
    }
    entries.push_back(entry);
  }
  const uint64_t sort_share = sort_buffer_bytes / std::max<size_t>(entries.size(), 1);
  for (uint64_t entry : entries) {
    const uint64_t x_blocks = blocks_for(rows, entry);
    bytes += h.header_size + fill * x_blocks * block;                     // the X file
    bytes += blocks_for(x_blocks, entry + 4) * block * fill + 2 * block;  // its Y file
    if (rows * entry > sort_share) bytes += rows * entry;                 // the sort runs
  }
  return bytes + blob_bytes + (64 << 10);
}

// The rows the room check reckons with: the header's count, which needs no
// walk through the data file (the copy reads it once, front to back). A
// count that is wrong only makes the estimate wrong: a copy that meets a
// full disk fails before its commit and leaves the old table as it was.
uint64_t RowsForRoom(Table& old_table) { return old_table.header().num_records; }

uint64_t BlobFileBytes(FileSystem& fs, const std::string& directory, const std::string& base) {
  bool found = false;
  const std::string path = ResolveCaseInsensitive(fs, directory, base + ".MB", &found);
  if (!found) return 0;
  return fs.open(path, OpenMode::kRead)->size();
}

// Fails when `directory` (or, when it does not exist yet, the nearest
// directory above it) cannot take `needed` more bytes of new files.
void CheckRoom(FileSystem& fs, const std::string& directory, const std::string& base,
               uint64_t needed) {
  std::string existing = directory;
  while (!fs.isDirectory(existing.empty() ? "." : existing)) {
    const std::string parent = DirectoryOf(existing);
    if (parent == existing || existing.empty()) break;
    existing = parent;
  }
  if (!fs.canWriteDirectory(existing.empty() ? "." : existing)) {
    ThrowIo(existing.empty() ? "." : existing,
            "Cannot write the new files of table \"" + base + "\" in the directory", EACCES);
  }
  const std::optional<uint64_t> free = fs.availableBytes(existing.empty() ? "." : existing);
  if (free && *free < needed) {
    const auto megabytes = [](uint64_t n) { return std::to_string((n + (1 << 20) - 1) >> 20); };
    throw EDBEngineError(ErrorCategory::kIo, subcode::kDiskFull,
                         "There is not enough room in \"" + existing +
                             "\" for the new files of "
                             "table \"" +
                             base + "\": about " + megabytes(needed) + " MB are needed and " +
                             megabytes(*free) + " MB are free",
                         ENOSPC);
  }
}

// Refuses a table that is not safely the one meant: two tables whose names
// differ only in letter case, a file of the table that is a symbolic link
// (a rebuild would write or delete what it points to, outside the directory
// or in another table), or one the user may not write.
void RefuseUnsafeTable(FileSystem& fs, const Target& t) {
  if (!fs.isDirectory(t.directory.empty() ? "." : t.directory)) return;
  const std::vector<std::string> entries = fs.listPrefix(t.directory, t.base + ".");
  RefuseLetterCaseTwins(t.directory, entries, t.base);
  for (const std::string& f : TableFilesAmong(entries, t.base)) {
    const std::string path = JoinPath(t.directory, f);
    if (fs.isLink(path)) {
      ThrowInvalid("Cannot rebuild table \"" + t.base + "\": its file \"" + path +
                   "\" is a symbolic link, and nothing is written through a link; put the "
                   "table's own files in its place");
    }
    // A file the user may not write is not the user's to replace.
    if (!fs.canWriteFile(path)) {
      ThrowInvalid("Cannot rebuild table \"" + t.base + "\": its file \"" + path +
                   "\" may not be written (no write permission), and the rebuild would "
                   "replace it; give write permission on it, or leave the table out");
    }
  }
}

// Fails when what an earlier restructure left beside the table stands in
// the way (an invalid journal, work files that could not be removed, a
// restructure in progress elsewhere).
void RecoverOrRefuse(FileSystem& fs, const Target& t) {
  const RecoveryOutcome recovery = RecoverTable(t.directory, t.base, fs);
  switch (recovery.state) {
    case RecoveryOutcome::State::kPending:
    case RecoveryOutcome::State::kInvalid:
      throw EDBEngineError(ErrorCategory::kInvalidRequest, subcode::kGeneric,
                           "Cannot rebuild table \"" + t.base + "\": " + recovery.message);
    case RecoveryOutcome::State::kInUse:
      throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kGeneric,
                           "Table \"" + JoinPath(t.directory, t.base + ".DB") +
                               "\" is in use by another user or program");
    default:
      return;
  }
}

// Refuses to restructure a table beside which recovery left a file under
// the journal's name: not a journal of ours (recovery would have finished
// or removed one), but a file of the user's, which the commit would replace.
void RefuseForeignJournal(FileSystem& fs, const Target& t) {
  bool has_journal = false;
  const std::string journal =
      ResolveCaseInsensitive(fs, t.directory, JournalName(t.base), &has_journal);
  if (has_journal || fs.isLink(journal)) {
    ThrowInvalid("Cannot rebuild table \"" + t.base + "\": \"" + journal +
                 "\" is not a restructure journal of this program, and a rebuild would replace "
                 "it; move it away");
  }
}

// A key violation of the new rows, as a restructure reports it.
[[noreturn]] void ThrowRefused(const std::string& base, const EDBEngineError& e) {
  throw EDBEngineError(std::string("Cannot restructure table \"") + base + "\": " + e.what() +
                           "; the table is unchanged",
                       e.entries());
}

// The table's files in `directory`: its data file's companions, by name.
std::vector<std::string> TableFiles(FileSystem& fs, const std::string& directory,
                                    const std::string& base) {
  std::vector<std::string> files;
  for (const auto& f : fs.listPrefix(directory, base + ".")) {
    if (IsTableFileName(f, base)) files.push_back(f);
  }
  return files;
}

// Writes the journal complete and synced in the work directory, then
// renames it to `journal_path` and syncs the directory: that rename is the
// commit point, so no half-written journal is ever found under the table's
// name. Holds the journal exclusively from its creation; the caller keeps
// `lock` until the journal is applied and removed. A failure before the
// commit is complete removes the journal again, so that the old table stays.
void Commit(FileSystem& fs, const std::string& directory, const std::string& journal_path,
            const RestructureJournal& j, std::unique_ptr<File>* lock) {
  const std::string staged = JoinPath(JoinPath(directory, j.work_dir), FileNameOf(journal_path));
  bool renamed = false;
  try {
    *lock = fs.open(staged, OpenMode::kCreateNew);
    if (!(*lock)->tryLock(true)) {
      throw EDBEngineError(
          ErrorCategory::kLockConflict, subcode::kGeneric,
          "The restructure journal \"" + journal_path + "\" is in use by another user or program");
    }
    const std::string text = FormatJournal(j);
    (*lock)->write(0, text.data(), text.size());
    (*lock)->sync();
    // A file of that name appeared since the check before the work began:
    // it is not replaced.
    if (fs.exists(journal_path) || fs.isLink(journal_path)) {
      ThrowInvalid("Cannot restructure table \"" + FileNameOf(StripExtension(journal_path)) +
                   "\": \"" + journal_path + "\" appeared while it ran; the table is unchanged");
    }
    fs.rename(staged, journal_path);
    renamed = true;
    fs.syncDirectory(directory);
  } catch (...) {
    try {
      lock->reset();
      fs.remove(renamed ? journal_path : staged);
      if (renamed) fs.syncDirectory(directory);
    } catch (const EDBEngineError&) {
      // The next open decides by the journal's checksum.
    }
    throw;
  }
}

// Makes the files of table `base` in `directory` durable, all at once.
void SyncTableFiles(FileSystem& fs, const std::string& directory, const std::string& base,
                    CreationBatch* batch) {
  if (batch) batch->reusing().finishReused();
  std::vector<std::unique_ptr<File>> files;
  std::vector<File*> handles;
  for (const auto& f : TableFiles(fs, directory, base)) {
    files.push_back(fs.open(JoinPath(directory, f), OpenMode::kReadWrite));
    handles.push_back(files.back().get());
  }
  fs.syncFiles(handles);
  fs.syncDirectory(directory);
}

// Writes the new table into the work directory `work`, complete and synced.
// Nothing there counts before the commit, so the table is written without
// a sync and made durable once, at the end: one sync a file instead of one
// at its creation and more as its rows are written. In a batch, the new
// files take over files earlier restructures there replaced.
void WriteNewTable(FileSystem& real_fs, CreationBatch* batch, Table& old_table,
                   const std::string& work, const std::string& base, const TableDefinition& def,
                   const std::vector<int>& source, const std::string& password,
                   const BuildTableOptions& options) {
  std::optional<UnsyncedFileSystem> unsynced;
  FileSystem& fs = batch ? batch->reusing() : unsynced.emplace(real_fs);
  const ReusingFileSystem::AnyNameScope any_name(batch ? &batch->reusing() : nullptr);
  RemoveWorkDirectory(fs, work);
  fs.createDirectory(work);  // refuses a link in its place
  Table::Create(work, base, def, fs);
  // Rows that come out in ascending order of the new primary key (or any
  // rows, for an unkeyed table) are written front to back; others go
  // through the general path, which inserts row by row.
  bool done = false;
  if (options.allow_streaming) {
    try {
      done = restructure::CopyRows(fs, old_table, work, base, source, password, true, options);
    } catch (const EDBEngineError& e) {
      // Rows that repeat a key are left out on the general path.
      if (!options.rows_left_out || e.category() != ErrorCategory::kIntegrity) throw;
    }
    if (!done) {
      // A row sorts before its predecessor under the new key (or repeats a
      // key that is to be left out): start over with the general path.
      RemoveWorkDirectory(fs, work);
      fs.createDirectory(work);
      Table::Create(work, base, def, fs);
    }
  }
  if (!done) restructure::CopyRows(fs, old_table, work, base, source, password, false, options);
  SyncTableFiles(real_fs, work, base, batch);
}

// Hands the old table's files, which no table needs once the restructure is
// committed, to `batch` for reuse; those it does not take are replaced or
// deleted by the journal as usual.
void RecycleOldFiles(CreationBatch& batch, const std::vector<std::string>& old_files) {
  for (const std::string& f : old_files) {
    try {
      batch.recycle(f);
    } catch (const EDBEngineError&) {
      // Left to the journal.
    }
  }
}

// Moves the committed new files over the old ones and ends the journal.
void Swap(FileSystem& fs, const std::string& directory, const std::string& base,
          const std::string& journal_path, const RestructureJournal& j) {
  try {
    ApplyJournal(fs, directory, j);
    fs.remove(journal_path);
    fs.syncDirectory(directory);
  } catch (const EDBEngineError& e) {
    throw EDBEngineError(ErrorCategory::kIo, subcode::kGeneric,
                         "The restructure of table \"" + base +
                             "\" is committed but could not be finished (" + e.what() +
                             "); it is finished when the table is next opened");
  }
}

// Refuses a restructure that would cut large-object values for good: the
// old table's blob file is missing, and values of blob fields the new table
// keeps live there (the record holds only their first bytes).
void RefuseCuttingValuesOfAMissingBlobFile(Table& old_table, const std::vector<int>& source) {
  if (!old_table.blobFileMissing()) return;
  const auto& old_fields = old_table.header().fields;
  std::vector<size_t> kept;
  for (int from : source) {
    if (from >= 0 && paradox::IsBlobType(old_fields[static_cast<size_t>(from)].type)) {
      kept.push_back(static_cast<size_t>(from));
    }
  }
  if (kept.empty()) return;
  const uint64_t cut = old_table.valuesOnlyInMissingBlobFile(kept);
  if (cut == 0) return;
  const std::string& base = old_table.structure().name;
  ThrowInvalid("Table \"" + base + "\" cannot be restructured: its blob file " + base +
               ".MB is missing: " + std::to_string(cut) + (cut == 1 ? " value" : " values") +
               " of its memo and blob fields would be cut to what the table holds; restore the "
               "blob file, or remove those fields from the definition");
}

void Restructure(FileSystem& fs, const Target& t, const TableDescriptor& d, TableDefinition def,
                 const BuildTableOptions& options) {
  // Hold the old table exclusively for the whole restructure.
  auto old_table = Table::Open(t.directory, t.base + ".DB", OldTableOptions(d), fs);
  const std::string base = old_table->structure().name;
  RequireOldRows(*old_table, base);
  KeepOldProperties(old_table->structure(), def);
  const std::vector<int> source = SourcesOf(d, old_table->structure().fields);
  RefuseCuttingValuesOfAMissingBlobFile(*old_table, source);
  RewriteTable(fs, *old_table, t.directory, def, source, d.password, options);
  old_table.reset();
}

}  // namespace

void RewriteTable(FileSystem& fs, Table& old_table, const std::string& directory,
                  const TableDefinition& def, const std::vector<int>& source,
                  const std::string& password, const BuildTableOptions& options) {
  const std::string base = old_table.structure().name;
  {
    TrialTable trial(def, base);
    const uint64_t blob_bytes = BlobFileBytes(fs, directory, base);
    CheckRoom(
        fs, directory, base,
        NewFilesBytes(trial.table(), RowsForRoom(old_table), blob_bytes,
                      KeepsRowOrder(old_table, trial.table(), source), options.sort_buffer_bytes));
  }
  CreationBatch* batch = options.creation_batch;
  if (batch && (&batch->fileSystem() != &fs || !fs.sameDirectory(batch->directory(), directory))) {
    batch = nullptr;
  }
  const std::string work_name = WorkDirectoryName(base);
  const std::string work = JoinPath(directory, work_name);
  try {
    WriteNewTable(fs, batch, old_table, work, base, def, source, password, options);
  } catch (EDBEngineError& e) {
    RemoveWorkDirectory(fs, work);
    if (e.category() == ErrorCategory::kIntegrity) ThrowRefused(base, e);
    throw;
  } catch (...) {
    RemoveWorkDirectory(fs, work);
    throw;
  }

  const std::vector<std::string> old_files = TableFiles(fs, directory, base);
  const RestructureJournal j = JournalOf(old_files, TableFiles(fs, work, base), work_name);
  const std::string journal_path = JoinPath(directory, JournalName(base));
  std::unique_ptr<File> journal_lock;
  try {
    Commit(fs, directory, journal_path, j, &journal_lock);
  } catch (...) {
    RemoveWorkDirectory(fs, work);
    throw;
  }
  // The old table and the journal stay locked while the files are replaced.
  if (batch) RecycleOldFiles(*batch, old_files);
  Swap(fs, directory, base, journal_path, j);
  journal_lock.reset();
}

namespace {

void Create(FileSystem& fs, const Target& t, const TableDefinition& def, CreationBatch* batch) {
  TrialTable trial(def, t.base);
  CheckRoom(fs, t.directory, t.base, NewFilesBytes(trial.table(), 0, 0, true, 0));
  if (batch) {
    batch->create(t.base, def);
  } else {
    Table::Create(t.directory, t.base, def, fs);
  }
}

}  // namespace

FieldType LogicalTypeOfStorage(uint16_t type, uint16_t sub) {
  switch (type) {
    case storage::kZString:
      return FieldType::kString;
    case storage::kDate:
      return FieldType::kDate;
    case storage::kBool:
      return FieldType::kBoolean;
    case storage::kInt16:
      return FieldType::kSmallint;
    case storage::kInt32:
      return sub == subtype::kAutoInc ? FieldType::kAutoInc : FieldType::kInteger;
    case storage::kFloat:
      return sub == subtype::kMoney ? FieldType::kCurrency : FieldType::kFloat;
    case storage::kBcd:
      return FieldType::kBCD;
    case storage::kBytes:
      return FieldType::kBytes;
    case storage::kTime:
      return FieldType::kTime;
    case storage::kTimestamp:
      return FieldType::kDateTime;
    case storage::kUInt16:
      return FieldType::kWord;
    case storage::kVarBytes:
      return FieldType::kVarBytes;
    case storage::kCursor:
      return FieldType::kCursor;
    case storage::kBlob:
      switch (sub) {
        case subtype::kMemo:
          return FieldType::kMemo;
        case subtype::kBinary:
          return FieldType::kBlob;
        case subtype::kFmtMemo:
          return FieldType::kFmtMemo;
        case subtype::kOle:
          return FieldType::kParadoxOle;
        case subtype::kGraphic:
          return FieldType::kGraphic;
        case subtype::kDBaseOle:
          return FieldType::kDBaseOle;
        case subtype::kTypedBinary:
          return FieldType::kTypedBinary;
        default:
          return FieldType::kBlob;
      }
    default:
      return FieldType::kUnknown;
  }
}

void BuildTable(const TableDescriptor& d, FileSystem& fs) {
  BuildTable(d, fs, BuildTableOptions{});
}

void BuildTable(const TableDescriptor& d, FileSystem& fs, const BuildTableOptions& options) {
  const Target t = TargetOf(d);
  TableDefinition def = DefinitionOf(d, t.base);
  RefuseUnsafeTable(fs, t);
  RecoverOrRefuse(fs, t);
  bool exists = false;
  ResolveCaseInsensitive(fs, t.directory, t.base + ".DB", &exists);
  CreationBatch* batch = options.creation_batch;
  if (batch && !fs.sameDirectory(batch->directory(), t.directory)) batch = nullptr;
  if (exists && batch && batch->discarded(t.base)) {
    // Made anew in place of the old table, which the batch's commit replaces.
    RefuseForeignJournal(fs, t);
    Create(fs, t, def, batch);
    return;
  }
  if (!exists) {
    Create(fs, t, def, batch);
    return;
  }
  RefuseForeignJournal(fs, t);
  Restructure(fs, t, d, std::move(def), options);
}

void CheckBuildTable(const TableDescriptor& d, FileSystem& fs, const BuildCheckOptions& options) {
  const Target t = TargetOf(d);
  TableDefinition def = DefinitionOf(d, t.base);
  bool exists = false;
  if (fs.isDirectory(t.directory.empty() ? "." : t.directory)) {
    RefuseUnsafeTable(fs, t);
    RecoverOrRefuse(fs, t);
    ResolveCaseInsensitive(fs, t.directory, t.base + ".DB", &exists);
  }
  if (options.as_new) exists = false;
  if (!exists) {
    TrialTable trial(def, t.base);
    CheckRoom(fs, t.directory, t.base, NewFilesBytes(trial.table(), 0, 0, true, 0));
    return;
  }
  RefuseForeignJournal(fs, t);
  auto old_table = Table::Open(t.directory, t.base + ".DB", OldTableOptions(d), fs);
  const std::string base = old_table->structure().name;
  RequireOldRows(*old_table, base);
  KeepOldProperties(old_table->structure(), def);
  TrialTable trial(def, base);
  const std::vector<int> source = SourcesOf(d, old_table->structure().fields);
  CheckRoom(
      fs, t.directory, base,
      NewFilesBytes(trial.table(), RowsForRoom(*old_table), BlobFileBytes(fs, t.directory, base),
                    KeepsRowOrder(*old_table, trial.table(), source), options.sort_buffer_bytes));
  RefuseCuttingValuesOfAMissingBlobFile(*old_table, source);
  MemoryFileSystem memory;
  const bool on_disk = !options.scratch_directory.empty();
  // The keys of an encrypted table are sorted in scrambled runs.
  std::optional<paradox::ScramblingFileSystem> scrambled;
  if (on_disk && def.password_checksum != 0) scrambled.emplace(fs, def.password_checksum);
  FileSystem& scratch = on_disk ? (scrambled ? *scrambled : fs) : memory;
  try {
    restructure::CheckUniqueKeys(*old_table, trial.table(), trial.fs(), source, scratch,
                                 options.scratch_directory, options.sort_buffer_bytes);
  } catch (const EDBEngineError& e) {
    if (e.category() == ErrorCategory::kIntegrity) ThrowRefused(base, e);
    throw;
  }
}

}  // namespace vellum::engine
