// The table descriptor: the complete, self-contained definition of one table
// that *Build table* creates or restructures. Fields carry the engine's
// storage type and subtype codes and unit counts; a restructure marks every
// field, index and validity check with an operation code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/field_type.h"
#include "engine/fs/file_system.h"
#include "engine/restructure_journal.h"
#include "engine/value.h"

namespace vellum::engine {

// Storage type codes.
namespace storage {
inline constexpr uint16_t kUnknown = 0;
inline constexpr uint16_t kZString = 1;
inline constexpr uint16_t kDate = 2;
inline constexpr uint16_t kBlob = 3;
inline constexpr uint16_t kBool = 4;
inline constexpr uint16_t kInt16 = 5;
inline constexpr uint16_t kInt32 = 6;
inline constexpr uint16_t kFloat = 7;
inline constexpr uint16_t kBcd = 8;
inline constexpr uint16_t kBytes = 9;
inline constexpr uint16_t kTime = 10;
inline constexpr uint16_t kTimestamp = 11;
inline constexpr uint16_t kUInt16 = 12;
inline constexpr uint16_t kVarBytes = 15;
inline constexpr uint16_t kCursor = 17;
}  // namespace storage

// Storage subtype codes.
namespace subtype {
inline constexpr uint16_t kNone = 0;
inline constexpr uint16_t kMoney = 21;
inline constexpr uint16_t kMemo = 22;
inline constexpr uint16_t kBinary = 23;
inline constexpr uint16_t kFmtMemo = 24;
inline constexpr uint16_t kOle = 25;
inline constexpr uint16_t kGraphic = 26;
inline constexpr uint16_t kDBaseOle = 27;
inline constexpr uint16_t kTypedBinary = 28;
inline constexpr uint16_t kAutoInc = 29;
}  // namespace subtype

enum class Operation : uint32_t {
  kNone = 0,
  kAdd = 1,     // a new element
  kCopy = 2,    // an existing element taken over unchanged
  kModify = 3,  // an existing element changed
  kRedo = 5,    // an existing index rebuilt
};

// Each operation list has room for this many entries.
inline constexpr size_t kMaxDescriptorEntries = 1024;
inline constexpr size_t kMaxKeyFields = 16;

struct FieldDescriptor {
  uint16_t field_number = 0;  // 1-based field of the existing table; 0 for a new field
  std::string name;           // at most 31 characters
  uint16_t storage_type = 0;
  uint16_t storage_subtype = 0;
  int16_t units1 = 0;
  int16_t units2 = 0;
  uint16_t offset = 0;
  uint16_t length = 0;
};

struct IndexDescriptor {
  std::string name;  // empty for the primary index
  uint16_t index_id = 0;
  bool primary = false;
  bool unique = false;
  bool descending = false;
  bool case_insensitive = false;
  bool maintained = true;
  uint16_t key_field_count = 0;
  std::array<uint16_t, kMaxKeyFields> key_fields{};  // 1-based positions in the field list
  std::array<bool, kMaxKeyFields> descending_fields{};
};

struct ValidityCheckDescriptor {
  uint16_t field_number = 0;  // 1-based position in the field list
  bool required = false;
  bool has_min = false;
  bool has_max = false;
  bool has_default = false;
  std::array<uint8_t, 256> min{};  // native little-endian form
  std::array<uint8_t, 256> max{};
  std::array<uint8_t, 256> def{};
  std::string picture;         // UTF-8; empty when none
  std::string lookup_table;    // file name of the lookup table; empty when none
  uint8_t lookup_options = 0;  // lookup kind: 1 all corresponding fields, 2 help and fill
};

// A referential-integrity link in which the table is the child.
struct RefIntegrityDescriptor {
  std::string name;
  std::vector<uint16_t> fields;         // 1-based positions in the field list
  std::string master_table;             // file name of the master table
  std::vector<uint16_t> master_fields;  // 1-based positions in the master table
  bool cascade = false;                 // master key updates cascade (else prohibited)
  std::vector<uint8_t> stored;          // the link as a table's file held it; empty when new
};

// An optional parameter, described like a field ("LEVEL" = "7").
struct OptionalParameter {
  std::string name;
  std::string description;
  uint16_t length = 0;
  uint16_t offset = 0;
  std::string value;
};

struct TableDescriptor {
  std::string table_path;  // directory + separator + table name, no extension
  std::string driver_type = "PARADOX";
  std::string error_table;
  std::string user_name;
  // Encrypted tables. A table restructured in place keeps its own
  // protection whatever is asked here: its new files are encrypted under the
  // same password. Its rows are read with `password`, which must be its
  // password. A new table is encrypted under the password whose checksum is
  // `password_checksum` when that is not 0 (a table made anew, empty, in
  // place of an encrypted one whose password is not known: its header holds
  // the checksum), else under `password` when `protected_table` is set.
  std::string password;
  bool protected_table = false;
  uint32_t password_checksum = 0;
  bool pack = false;
  std::vector<FieldDescriptor> fields;
  std::vector<Operation> field_operations;
  std::vector<IndexDescriptor> indexes;
  std::vector<Operation> index_operations;
  uint16_t security_count = 0;
  uint16_t referential_integrity_count = 0;
  std::vector<RefIntegrityDescriptor> referential_integrity;
  // The master's part of links of other tables to this one, as a table's
  // file held it; empty when none.
  std::vector<uint8_t> referential_integrity_master;
  uint8_t referential_integrity_flag = 0;  // the data file's header byte 0x55
  std::vector<ValidityCheckDescriptor> checks;
  std::vector<Operation> check_operations;
  std::vector<OptionalParameter> optional_parameters;
  // Properties of the table's files. Unset ones take the engine's defaults
  // (code page 1252, the binary sort order of the code page, a block size
  // chosen from the record size); an in-place restructure keeps the table's
  // own code page whatever is asked, as it copies text bytes.
  std::optional<int> code_page;
  std::string sort_order;    // language driver name; empty: the code page's binary order
  int sort_order_byte = -1;  // its id byte; -1: looked up by name
  uint32_t block_size = 0;   // bytes; 0: chosen from the record size
};

// The logical type a storage type and subtype stand for (kUnknown when none).
FieldType LogicalTypeOfStorage(uint16_t storage_type, uint16_t storage_subtype);

// The value a restructure gives a modified field of logical `type` and
// `size` for an old value: Strings cut or widened, numbers between numeric
// types and text where the text parses, dates and times between their
// types; anything that cannot convert becomes NULL.
Value ConvertFieldValue(const Value& value, FieldType type, int size);

// *Build table*: when the table's data file is absent, creates the table
// from the descriptor (replacing any table of that name); when it is
// present, restructures it in place keeping its rows, its code page and,
// when the descriptor names none, its sort order where the engine can keep
// it (see paradox::IsBinarySortOrder), holding it exclusively. A sort order
// whose collation the engine does not implement is refused for a table with
// Alpha keys. A block size too small for the new records gives way to one
// chosen from the record size. An encrypted table stays encrypted under the
// same password; without it (the descriptor's password) a restructure is
// refused before anything is written. The table's name is the last part of the
// descriptor's path, with or without ".DB". A restructure is all or nothing:
// the definition, the directory's write access and its room for the new
// files are checked first; the new files are written beside the old ones and
// committed through a journal (restructure_journal.h); the old files that
// the new table does not have (index and validity files it drops) are
// deleted only after the commit. Any failure before the commit leaves every
// file of the table as it was. Failures raise EDBEngineError.
void BuildTable(const TableDescriptor& descriptor, FileSystem& fs = FileSystem::Default());

// How a restructure goes about its work; the defaults suit every table.
class CreationBatch;

// Rows a restructure left out because they repeat a unique key of the new
// table: how many, and the key violations of the first few.
struct RowsLeftOut {
  uint64_t count = 0;
  std::vector<std::string> first;
};

struct BuildTableOptions {
  // Memory for sorting the entries of the secondary indexes of a table
  // written front to back, shared out equally among them; entries beyond it
  // are sorted in runs in files.
  size_t sort_buffer_bytes = size_t{8} * 1024 * 1024;
  // Whether rows already in the new key's order may be written front to
  // back (false: always insert them one by one).
  bool allow_streaming = true;
  // A table to be created in the batch's directory is created through it
  // (on the same file system): it appears at the batch's commit.
  CreationBatch* creation_batch = nullptr;
  // When set, a row that repeats a unique key of the new table is left out
  // (the row before it kept) and counted here, instead of failing the
  // restructure; the rows are then inserted one by one when a row repeats
  // a key.
  RowsLeftOut* rows_left_out = nullptr;
  // When set, called while a restructure copies the rows, with the rows
  // copied so far and the old table's rows: at the start, every
  // rows_per_report rows and at the end of the copy (again from 0 when the
  // rows are copied a second time, one by one). An error it raises stops the
  // restructure before its commit: the table stays as it was and the error
  // goes on to the caller (so a caller that wants to stop throws).
  std::function<void(uint64_t rows_copied, uint64_t rows_total)> on_rows;
  uint64_t rows_per_report = 4096;
};
void BuildTable(const TableDescriptor& descriptor, FileSystem& fs,
                const BuildTableOptions& options);

struct BuildCheckOptions {
  // Where the key check may write its sort runs (a directory on the file
  // system checked, e.g. the system's temporary directory); empty: memory.
  std::string scratch_directory;
  size_t sort_buffer_bytes = size_t{8} * 1024 * 1024;
  // Judge the table as absent (it is to be deleted before it is built).
  bool as_new = false;
};

// Raises the failure BuildTable would meet with `descriptor`, without
// writing anything beside the table (only the recovery every open runs may
// finish or discard what an interrupted restructure left): a descriptor the
// engine refuses (its own rules, e.g. secondary indexes need a primary key),
// what an earlier restructure left that cannot be recovered, the table in
// use, an encrypted table whose rows the descriptor's password does not
// open, a directory that cannot be written or lacks room for the new files,
// and existing rows that would repeat a value of the new primary key or of
// a new unique index (the first such row, with BuildTable's message). A
// directory that does not exist yet is judged by the nearest one above it.
void CheckBuildTable(const TableDescriptor& descriptor, FileSystem& fs = FileSystem::Default(),
                     const BuildCheckOptions& options = {});

}  // namespace vellum::engine
