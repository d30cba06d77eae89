// Build table: creating a table from a descriptor, or restructuring an
// existing one in place keeping its rows.
//
// Crash safety of a restructure. The new table is written complete into a
// work directory beside the old files (".NAME.restructure") and synced; the
// old files are not touched. Then a journal NAME.JNL lists the old files to
// delete and the new files to move over the old ones, ending with a checksum;
// its sync is the commit point. Applying the journal deletes, renames, syncs
// the directory, removes the work directory and finally the journal. Every
// step of applying is idempotent, so RecoverTable (run by every open) can
// finish a committed journal after a crash at any point; an uncommitted one
// (no journal, or a journal without its end line) is discarded together with
// the work directory, leaving the old table as it was.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "engine/errors.h"
#include "engine/number_text.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/entry_sorter.h"
#include "engine/paradox/secondary_index.h"
#include "engine/paradox/sequential_writer.h"
#include "engine/paradox/table.h"
#include "engine/table_descriptor.h"
#include "engine/text.h"

namespace vellum::engine {

namespace {

using paradox::FieldDef;
using paradox::IndexDef;
using paradox::Row;
using paradox::Table;
using paradox::TableDefinition;

bool IsTableFileExtension(const std::string& ext_upper) {
  if (ext_upper == ".DB" || ext_upper == ".PX" || ext_upper == ".MB" || ext_upper == ".VAL") {
    return true;
  }
  return ext_upper.size() == 4 && (ext_upper[1] == 'X' || ext_upper[1] == 'Y');
}

std::string WorkDirectoryName(const std::string& table) { return "." + table + ".restructure"; }
std::string JournalName(const std::string& table) { return table + ".JNL"; }

uint32_t Checksum(const std::string& text) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : text) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

struct Journal {
  std::string work_dir;                                      // name inside the table's directory
  std::vector<std::string> deletes;                          // file names
  std::vector<std::pair<std::string, std::string>> renames;  // work file -> final name
};

std::string FormatJournal(const Journal& j) {
  std::string body = "VELLUM-RESTRUCTURE 1\n";
  body += "WORK " + j.work_dir + "\n";
  for (const auto& d : j.deletes) body += "DELETE " + d + "\n";
  for (const auto& r : j.renames) body += "RENAME " + r.first + "\t" + r.second + "\n";
  return body + "END " + std::to_string(Checksum(body)) + "\n";
}

// Parses a journal; false when it is incomplete or damaged (not committed).
bool ParseJournal(const std::string& text, Journal* j) {
  size_t end = text.rfind("END ");
  if (end == std::string::npos || (end > 0 && text[end - 1] != '\n')) return false;
  std::string body = text.substr(0, end);
  std::string tail = text.substr(end + 4);
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r')) tail.pop_back();
  if (tail != std::to_string(Checksum(body))) return false;
  std::istringstream in(body);
  std::string line;
  if (!std::getline(in, line) || line != "VELLUM-RESTRUCTURE 1") return false;
  while (std::getline(in, line)) {
    if (line.rfind("WORK ", 0) == 0) {
      j->work_dir = line.substr(5);
    } else if (line.rfind("DELETE ", 0) == 0) {
      j->deletes.push_back(line.substr(7));
    } else if (line.rfind("RENAME ", 0) == 0) {
      auto tab = line.find('\t', 7);
      if (tab == std::string::npos) return false;
      j->renames.emplace_back(line.substr(7, tab - 7), line.substr(tab + 1));
    } else {
      return false;
    }
  }
  return !j->work_dir.empty();
}

void RemoveWorkDirectory(FileSystem& fs, const std::string& work) {
  if (!fs.isDirectory(work)) return;
  for (const auto& f : fs.list(work)) fs.remove(JoinPath(work, f));
  fs.removeDirectory(work);
}

void ApplyJournal(FileSystem& fs, const std::string& directory, const Journal& j) {
  const std::string work = JoinPath(directory, j.work_dir);
  for (const auto& d : j.deletes) fs.remove(JoinPath(directory, d));
  for (const auto& [from, to] : j.renames) {
    const std::string source = JoinPath(work, from);
    if (fs.exists(source)) fs.rename(source, JoinPath(directory, to));
  }
  fs.syncDirectory(directory);
  RemoveWorkDirectory(fs, work);
}

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

std::string CutUtf8(const std::string& s, size_t chars) {
  size_t i = 0, n = 0;
  while (i < s.size() && n < chars) {
    auto c = static_cast<unsigned char>(s[i]);
    i += c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    ++n;
  }
  return s.substr(0, std::min(i, s.size()));
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
      return CutUtf8(text, static_cast<size_t>(to.size));
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
      x.sorter = std::make_unique<paradox::EntrySorter>(fs, work, info.file + ".run",
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
            std::vector<paradox::KeyPart> shown(l.parts.begin(),
                                                l.parts.begin() + static_cast<long>(l.indexed));
            best_message = "Key violation in table \"" + table_ + "\": the key " +
                           paradox::DescribeKey(l.x, shown, e, cp_) +
                           " already exists in the unique index \"" + x.name + "\"";
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
  std::string work_;
  std::string table_;
  const paradox::CodePage& cp_;
  std::vector<paradox::KeyPart> pk_parts_;
  size_t pk_size_ = 0;
  std::vector<Index> indexes_;
  std::vector<uint8_t> entry_;
};

// Copies every row of `old_table` into the new, empty table `base` in
// `work`, taking each new field from old field `source[i]` (-1: none). With
// `stream`, the new .DB and .PX are written front to back and false is
// returned, with the new files left incomplete, as soon as a row sorts before
// the previous one under the new primary key. Otherwise rows are inserted
// one by one through the table, which sorts them and keeps every index.
bool CopyRows(FileSystem& fs, Table& old_table, const std::string& work, const std::string& base,
              int code_page, const std::vector<int>& source, bool stream,
              const BuildTableOptions& options) {
  auto fresh = Table::Open(work, base, {true, true}, fs);
  fresh->setCheckRequired(false);
  const auto& new_fields = fresh->structure().fields;
  const auto& old_px = old_table.header().fields;
  const auto& new_px = fresh->header().fields;
  const bool single_byte =
      code_page != 932 && code_page != 936 && code_page != 949 && code_page != 950;
  // How each new field is filled: raw bytes where the storage is the
  // same (or Alpha of another size in a single-byte code page),
  // otherwise through a typed conversion.
  enum class Fill { kNull, kBytes, kAlpha, kConvert };
  std::vector<Fill> fill(new_fields.size(), Fill::kNull);
  bool has_blobs = false;
  for (size_t i = 0; i < new_fields.size(); ++i) {
    if (paradox::IsBlobType(new_px[i].type)) has_blobs = true;
    if (source[i] < 0) continue;
    const paradox::PxField& o = old_px[static_cast<size_t>(source[i])];
    const paradox::PxField& n = new_px[i];
    if (o.type == n.type && o.size_byte == n.size_byte && !paradox::IsBlobType(n.type)) {
      fill[i] = Fill::kBytes;
    } else if (o.type == paradox::PxType::kAlpha && n.type == paradox::PxType::kAlpha &&
               single_byte) {
      fill[i] = Fill::kAlpha;
    } else {
      fill[i] = Fill::kConvert;
    }
  }
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
  while (scan.nextRaw()) {
    const uint8_t* in = scan.raw();
    std::fill(out.begin(), out.end(), 0);
    for (size_t i = 0; i < new_fields.size(); ++i) {
      if (fill[i] == Fill::kNull) continue;
      const paradox::PxField& o = old_px[static_cast<size_t>(source[i])];
      const paradox::PxField& n = new_px[i];
      if (fill[i] == Fill::kBytes) {
        std::memcpy(out.data() + n.offset, in + o.offset, n.length);
      } else if (fill[i] == Fill::kAlpha) {
        std::memcpy(out.data() + n.offset, in + o.offset, std::min(n.length, o.length));
      } else {
        Value v = old_table.fieldValue(static_cast<size_t>(source[i]), in);
        fresh->setFieldValue(i, ConvertFieldValue(v, new_fields[i].type, new_fields[i].size),
                             out.data());
      }
    }
    if (!writer) {
      fresh->insertRecordBytes(out.data());
      continue;
    }
    paradox::SequentialTableWriter::Append appended;
    try {
      appended = writer->append(out.data());
    } catch (const EDBEngineError& e) {
      // A repeated primary key. One by one, the rows would have stopped
      // earlier at a row breaking a unique secondary index, if any did.
      if (e.category() == ErrorCategory::kIntegrity) secondaries->finish(false);
      throw;
    }
    if (appended == paradox::SequentialTableWriter::Append::kOutOfOrder) return false;
    secondaries->add(out.data(), writer->lastBlock());
  }
  if (writer) {
    writer->finish();
    // The blob values went through the table; the data file and indexes it
    // holds open were not changed through it.
    if (has_blobs) fresh->flush();
    // The index files are written with the table closed.
    fresh.reset();
    secondaries->finish(true);
  } else {
    fresh->endBulk();
    fresh->flush();
  }
  return true;
}

void Restructure(FileSystem& fs, const std::string& directory, const std::string& name,
                 const TableDescriptor& d, TableDefinition def, const BuildTableOptions& options) {
  // Hold the old table exclusively for the whole restructure.
  auto old_table = Table::Open(directory, name, {false, true}, fs);
  const auto& old_fields = old_table->structure().fields;
  def.code_page = old_table->structure().code_page;
  const std::string base = old_table->structure().name;

  // Where each new field's values come from.
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

  const std::string work_name = WorkDirectoryName(base);
  const std::string work = JoinPath(directory, work_name);
  // Rows that come out in ascending order of the new primary key (or any
  // rows, for an unkeyed table) are written front to back, the secondary
  // indexes from their sorted entries; others go through the general path,
  // which inserts row by row.
  const bool can_stream = options.allow_streaming;
  RemoveWorkDirectory(fs, work);
  fs.makeDirectories(work);
  try {
    Table::Create(work, base, def, fs);
    bool done = false;
    if (can_stream) {
      done = CopyRows(fs, *old_table, work, base, def.code_page, source, true, options);
      if (!done) {
        // A row sorts before its predecessor under the new key: start over
        // with the general path.
        RemoveWorkDirectory(fs, work);
        fs.makeDirectories(work);
        Table::Create(work, base, def, fs);
      }
    }
    if (!done) CopyRows(fs, *old_table, work, base, def.code_page, source, false, options);
    fs.syncDirectory(work);
  } catch (EDBEngineError& e) {
    RemoveWorkDirectory(fs, work);
    if (e.category() == ErrorCategory::kIntegrity) {
      throw EDBEngineError(std::string("Cannot restructure table \"") + base + "\": " + e.what() +
                               "; the table is unchanged",
                           e.entries());
    }
    throw;
  } catch (...) {
    RemoveWorkDirectory(fs, work);
    throw;
  }

  // The journal: old files that have no new counterpart go, new files move
  // over the old ones (keeping the old names' letter case).
  Journal j;
  j.work_dir = work_name;
  std::vector<std::string> new_files = fs.list(work);
  std::vector<std::string> old_files;
  for (const auto& f : fs.list(directory)) {
    if (Upper(StripExtension(f)) == Upper(base) && IsTableFileExtension(Upper(ExtensionOf(f)))) {
      old_files.push_back(f);
    }
  }
  for (const auto& nf : new_files) {
    std::string final_name = nf;
    for (const auto& of : old_files) {
      if (Upper(of) == Upper(nf)) final_name = of;
    }
    j.renames.emplace_back(nf, final_name);
  }
  for (const auto& of : old_files) {
    bool replaced = std::any_of(new_files.begin(), new_files.end(),
                                [&](const std::string& nf) { return Upper(nf) == Upper(of); });
    if (!replaced) j.deletes.push_back(of);
  }
  const std::string journal_path = JoinPath(directory, JournalName(base));
  {
    std::string text = FormatJournal(j);
    auto jf = fs.open(journal_path, OpenMode::kCreate);
    jf->write(0, text.data(), text.size());
    jf->sync();
  }
  fs.syncDirectory(directory);  // commit point
  // The old table stays locked while its files are replaced.
  ApplyJournal(fs, directory, j);
  fs.remove(journal_path);
  fs.syncDirectory(directory);
  old_table.reset();
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
  if (Upper(d.driver_type) != "PARADOX") {
    ThrowInvalid("Driver type \"" + d.driver_type + "\" is not supported");
  }
  const std::string directory = DirectoryOf(d.table_path);
  const std::string name = FileNameOf(d.table_path);
  if (name.empty()) ThrowInvalid("The table path \"" + d.table_path + "\" names no table");
  if (d.fields.size() > kMaxDescriptorEntries) {
    ThrowLimit("Table \"" + name + "\" has more than 1024 fields");
  }
  if (d.indexes.size() > kMaxDescriptorEntries) {
    ThrowLimit("Table \"" + name + "\" has more than 1024 indexes");
  }
  if (d.checks.size() > kMaxDescriptorEntries) {
    ThrowLimit("Table \"" + name + "\" has more than 1024 validity checks");
  }

  TableDefinition def;
  for (const auto& p : d.optional_parameters) {
    if (Upper(p.name) == "LEVEL") {
      const std::optional<int64_t> level = ParseInteger(p.value);
      if (!level || *level < 0 || *level > 99) {
        ThrowInvalid("Invalid table level \"" + p.value + "\"");
      }
      def.level = static_cast<int>(*level);
    }
  }
  for (const auto& f : d.fields) def.fields.push_back(FieldOf(f, name));
  for (const auto& ix : d.indexes) {
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
      if (k) x.key_fields += ";";
      x.key_fields += d.fields[n - 1].name;
    }
    def.indexes.push_back(x);
  }
  for (const auto& c : d.checks) {
    paradox::ValidityCheck v;
    v.field_number = c.field_number;
    v.required = c.required;
    v.has_min = c.has_min;
    v.has_max = c.has_max;
    v.has_default = c.has_default;
    v.min = c.min;
    v.max = c.max;
    v.def = c.def;
    def.checks.push_back(v);
  }
  for (size_t i = 0; i < def.checks.size(); ++i) {
    auto n = def.checks[i].field_number;
    if (n >= 1 && n <= def.fields.size() && def.checks[i].required)
      def.fields[n - 1].required = true;
  }

  RecoverTable(directory, name, fs);
  bool exists = false;
  ResolveCaseInsensitive(fs, directory, name + ".DB", &exists);
  if (!exists) {
    Table::Create(directory, name, def, fs);
    return;
  }
  Restructure(fs, directory, name, d, std::move(def), options);
}

void RecoverTable(const std::string& directory, const std::string& table, FileSystem& fs) {
  const std::string base = StripExtension(table);
  bool found = false;
  std::string journal_path = ResolveCaseInsensitive(fs, directory, JournalName(base), &found);
  const std::string default_work = JoinPath(directory, WorkDirectoryName(base));
  if (!found && !fs.isDirectory(default_work)) return;
  // Recover only when nobody has the table open: a restructure in progress
  // holds it exclusively.
  bool has_data = false;
  std::string data_path = ResolveCaseInsensitive(fs, directory, base + ".DB", &has_data);
  std::unique_ptr<File> lock;
  if (has_data) {
    lock = fs.open(data_path, OpenMode::kRead);
    if (!lock->tryLock(true)) return;
  }
  if (found) {
    auto file = fs.open(journal_path, OpenMode::kRead);
    auto bytes = ReadWholeFile(*file);
    file.reset();
    Journal j;
    if (ParseJournal(std::string(bytes.begin(), bytes.end()), &j)) {
      ApplyJournal(fs, directory, j);
    } else {
      RemoveWorkDirectory(fs, default_work);
    }
    fs.remove(journal_path);
    fs.syncDirectory(directory);
  }
  // A work directory without a journal is a restructure that never committed.
  if (fs.isDirectory(default_work)) RemoveWorkDirectory(fs, default_work);
}

}  // namespace vellum::engine
