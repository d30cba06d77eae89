// Datasets: a cursor over one table with a current record, the browse / edit /
// insert states, events, ordering by an index, key search, key ranges,
// bookmarks and master-detail following.
//
// A Dataset owns its open Table. Positions count records in the dataset's
// current order (primary key, a named secondary index, or table order for
// unkeyed tables) inside its current range. Posting writes through to the
// table at once, so two datasets of one program on the same table see each
// other's posted changes; a dataset rereads its current record whenever it
// moves.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/paradox/table.h"
#include "engine/session.h"

namespace vellum::engine {

using paradox::Row;

enum class DatasetState { kInactive, kBrowse, kEdit, kInsert };

enum class DataEvent {
  kScroll,        // the current record changed position
  kRecordChange,  // a field of the edit buffer changed
  kStateChange,   // open, close, edit, insert, post, cancel
  kDataChange,    // rows changed (post, delete, range, refresh)
};

// Thrown by an event handler to abandon the operation silently.
struct Abort {};

class Dataset;

class DatasetObserver {
 public:
  virtual ~DatasetObserver() = default;
  virtual void datasetChanged(Dataset& dataset, DataEvent event) = 0;
};

// One column of a dataset: typed access to the current record's value.
class DatasetField {
 public:
  DatasetField(Dataset& owner, size_t index) : owner_(owner), index_(index) {}
  const std::string& name() const;
  FieldType type() const;
  int size() const;
  size_t index() const { return index_; }

  const Value& value() const;
  bool isNull() const;
  std::string asString() const;  // "" for NULL
  int64_t asInteger() const;     // 0 for NULL
  bool asBoolean() const;        // false for NULL
  double asFloat() const;        // 0 for NULL
  Date asDate() const;           // day 0 for NULL

  // Setting needs the edit or insert state.
  void setValue(const Value& v);
  void setAsString(const std::string& text);
  void setAsInteger(int64_t v) { setValue(Value{v}); }
  void setAsBoolean(bool v) { setValue(Value{v}); }
  void setAsFloat(double v) { setValue(Value{v}); }
  void setAsDate(Date v) { setValue(Value{v}); }
  void clear() { setValue(Value{}); }

 private:
  Dataset& owner_;
  size_t index_;
};

class Dataset {
 public:
  explicit Dataset(Session& session);
  ~Dataset();
  Dataset(const Dataset&) = delete;
  Dataset& operator=(const Dataset&) = delete;

  // Set while closed.
  void setDatabaseName(const std::string& name) { database_ = name; }
  void setTableName(const std::string& name) { table_name_ = name; }
  void setExclusive(bool exclusive) { exclusive_ = exclusive; }
  void setReadOnly(bool read_only) { read_only_ = read_only; }
  const std::string& databaseName() const { return database_; }
  const std::string& tableName() const { return table_name_; }

  // Order: by a named secondary index, or by key fields ("A;B": the primary
  // index when its key begins with them, else the first secondary index
  // whose key does). An empty name means the primary index. Can change while
  // open; the current record stays current.
  void setIndexName(const std::string& name);
  void setIndexFieldNames(const std::string& fields);
  const std::string& indexName() const { return index_name_; }

  void open();
  void close();
  bool active() const { return state_ != DatasetState::kInactive; }
  DatasetState state() const { return state_; }
  paradox::Table& table();

  // Navigation.
  void first();
  void last();
  void next();
  void prior();
  bool eof() const { return eof_; }
  bool bof() const { return bof_; }
  uint32_t recordCount();
  bool isEmpty() { return recordCount() == 0; }
  uint32_t recNo() const { return pos_; }

  // Key search on the current order's fields (a leading part is enough).
  bool findKey(const Row& key);
  void findNearest(const Row& key);
  // Key range on the leading fields of the current order, both ends
  // included; the dataset then shows only those rows.
  void setRange(const Row& low, const Row& high);
  void cancelRange();

  // Bookmarks: a record's primary key (or its table position when unkeyed).
  using Bookmark = Row;
  Bookmark bookmark();
  bool gotoBookmark(const Bookmark& bookmark);

  // Editing.
  void edit();
  void insert();
  void append() { insert(); }
  void post();
  void cancel();
  void remove();

  size_t fieldCount() const;
  DatasetField& field(size_t index);
  DatasetField& fieldByName(const std::string& name);
  DatasetField* findField(const std::string& name);

  // Events: a handler may throw Abort to abandon the operation silently.
  std::function<void(Dataset&)> beforePost;
  std::function<void(Dataset&)> afterPost;
  std::function<void(Dataset&)> onNewRecord;
  std::function<void(Dataset&)> beforeDelete;
  std::function<void(Dataset&)> afterScroll;

  // Master-detail: this dataset shows only the rows whose `detail_fields`
  // equal the master's `master_fields` (both ";"-joined) and follows the
  // master's current record.
  void setMaster(Dataset* master, const std::string& master_fields,
                 const std::string& detail_fields);

  void addObserver(DatasetObserver* observer);
  void removeObserver(DatasetObserver* observer);
  void disableControls() { ++disabled_; }
  void enableControls();
  bool controlsDisabled() const { return disabled_ > 0; }

  // Rereads the current record and the range (after outside changes).
  void refresh();

  // The number of rows of the range set to exactly `key` on the leading
  // order fields, when the range is that and nothing changed the table
  // since it was worked out; otherwise nothing.
  std::optional<uint32_t> currentRangeCount(const Row& key) const;

 private:
  friend class DatasetField;
  class MasterLink;

  void requireActive() const;
  void requireBrowse(const char* what) const;
  uint32_t tablePosition(uint32_t pos);
  uint32_t orderPosition(uint32_t ordinal);
  uint32_t lowerBoundInOrder(const Row& key);
  uint32_t upperBoundInOrder(const Row& key);
  bool leadingEqual(const Row& row, const Row& key) const;
  std::vector<size_t> orderFields() const;
  void recomputeRange();
  void loadCurrent();
  void moveTo(uint32_t pos, bool notify_scroll = true);
  void notify(DataEvent event);
  void applyMaster();
  void resolveOrder();
  void reorder();
  Row keyOf(const Row& row) const;
  void positionOnRecord(const Row& row);

  Session& session_;
  std::string database_;
  std::string table_name_;
  std::string index_name_;
  std::string index_fields_;
  bool exclusive_ = false;
  bool read_only_ = false;
  std::unique_ptr<paradox::Table> table_;
  std::vector<std::unique_ptr<DatasetField>> fields_;
  std::vector<std::string> field_names_;  // parallel to fields_, for lookups
  DatasetState state_ = DatasetState::kInactive;
  int order_ = -1;  // -1 primary / table order, else secondary index number
  std::optional<Row> range_low_, range_high_;
  uint32_t range_begin_ = 0, range_end_ = 0;
  // The table's change count when the range was worked out, and its ends
  // encoded for comparisons with posted rows (primary-key order only).
  uint64_t range_stamp_ = 0;
  bool range_valid_ = false;
  std::optional<paradox::Table::EncodedKey> range_low_key_, range_high_key_;
  bool adjustRangeAfterInsert(uint32_t ordinal, uint64_t stamp_before);
  uint32_t pos_ = 0;  // position within the range
  bool eof_ = true, bof_ = true;
  Row current_;
  // The current record's bytes, while its values are not decoded yet.
  std::vector<uint8_t> current_raw_;
  bool current_pending_ = false;
  const Row& currentRow();
  Row buffer_;
  std::vector<DatasetObserver*> observers_;
  int disabled_ = 0;
  bool pending_change_ = false;
  std::unique_ptr<MasterLink> master_link_;
  std::vector<Dataset*> details_;
  Dataset* master_ = nullptr;
};

}  // namespace vellum::engine
