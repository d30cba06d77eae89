// Datasets: a cursor over one table with a current record, the browse / edit /
// insert states, events, ordering by an index, key search, key ranges,
// bookmarks and master-detail following, and what a grid model needs to show
// the rows without moving the cursor.
//
// Ownership and lifetimes. A Dataset owns its open Table. It does not own
// its master, its details or its observers, and any of them may be
// destroyed first: a detail whose master goes away stops following it and
// keeps the rows it shows; an observer's Subscription unsubscribes when it is
// destroyed and does nothing once the dataset is gone.
//
// Positions count rows in the dataset's current order (primary key, a named
// secondary index, or table order for unkeyed tables) inside its current
// range, from 0 to rowCount() - 1. Posted rows only: a row being inserted is
// not among them until it is posted, and a row being edited shows its
// posted values (the edit buffer is what the fields give).
//
// Changes and notices. Posting writes through to the table at once. Every
// change of the table through any handle of this process - this dataset's
// posts and deletes, another dataset's, a rule's - reaches every dataset on
// the table at once: its count, range and current position follow, and its
// observers are told what changed and where, first that it is about to
// (the dataset still shows the rows as they were), then that it did (the
// rows as they are now). Changes by another process are found whenever the
// dataset takes the table's lock: at every post and delete, at refresh() and
// checkForOutsideChanges(), and at edit() and insert() unless another
// program is changing the table just then. The dataset then shows the table
// as it is and its observers get a reset.
//
// Notices an observer gets (DataChange; `first`..`last` are positions):
//  - kAboutToInsert / kInserted: rows first..last are new (kInserted: they
//    stand there now);
//  - kAboutToRemove / kRemoved: rows first..last go;
//  - kAboutToMove / kMoved: row `first` moves to `to`, its position once
//    moved (a model's destination row is `to + 1` when `to > first`);
//  - kChanged: rows first..last hold new values in the same place;
//  - kAboutToReset / kReset: anything may have changed (a new range or
//    order, a master's new record, another process's change, notices
//    suspended by disableControls());
//  - kScroll: the current record changed, or its position did;
//  - kRecordChange: the values of the current record changed (the edit
//    buffer, or the row reread after a change);
//  - kStateChange: open, close, edit, insert, post, cancel;
//  - kLabelChange: the display label of field number `first` changed;
//  - kDestroyed: the dataset is being destroyed; nothing may be asked of it.
// Every "about to" notice is followed by its partner before anything else
// changes. While controls are disabled, rows change without notices: the
// first change sends kAboutToReset, the enableControls() that ends the
// suspension sends kReset.
//
// Observers may read the dataset (rowCount, rowAt, fields, bookmarks) from
// any notice, never change it or its table. Threads: a dataset, its table
// and its observers belong to one thread.
#pragma once

#include <functional>
#include <map>
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
  kScroll,
  kRecordChange,
  kStateChange,
  kLabelChange,
  kAboutToInsert,
  kInserted,
  kAboutToRemove,
  kRemoved,
  kAboutToMove,
  kMoved,
  kChanged,
  kAboutToReset,
  kReset,
  kDestroyed,
};

// What an observer is told (see the notices above).
struct DataChange {
  DataEvent event = DataEvent::kReset;
  uint32_t first = 0;
  uint32_t last = 0;
  uint32_t to = 0;  // kAboutToMove, kMoved
};

// Readable name of a notice, for messages and test names.
const char* DataEventName(DataEvent event);

// Thrown by an event handler to abandon the operation silently.
struct Abort {};

class Dataset;

using DatasetObserver = std::function<void(Dataset&, const DataChange&)>;

namespace detail {
struct ObserverList;
}

// An observer's place in a dataset's list: unsubscribes when destroyed or
// reset. Movable; outlives its dataset safely.
class Subscription {
 public:
  Subscription() = default;
  ~Subscription() { reset(); }
  Subscription(Subscription&& other) noexcept;
  Subscription& operator=(Subscription&& other) noexcept;
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  void reset();
  // Whether it still listens (its dataset exists and it was not reset).
  bool active() const;

 private:
  friend class Dataset;
  Subscription(std::weak_ptr<detail::ObserverList> list, uint64_t id)
      : list_(std::move(list)), id_(id) {}
  std::weak_ptr<detail::ObserverList> list_;
  uint64_t id_ = 0;
};

// One column of a dataset: typed access to the current record's value.
class DatasetField {
 public:
  DatasetField(Dataset& owner, size_t index) : owner_(owner), index_(index) {}
  const std::string& name() const;
  FieldType type() const;
  int size() const;
  size_t index() const { return index_; }
  // What a user reads as the column's title: the label set for this field
  // by name (see Dataset::setDisplayLabel), else the field's name.
  std::string displayLabel() const;
  void setDisplayLabel(const std::string& label);

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

class Dataset : private paradox::TableListener {
 public:
  explicit Dataset(Session& session);
  ~Dataset() override;
  Dataset(const Dataset&) = delete;
  Dataset& operator=(const Dataset&) = delete;

  // Set while closed.
  void setDatabaseName(const std::string& name) { database_ = name; }
  void setTableName(const std::string& name) { table_name_ = name; }
  void setExclusive(bool exclusive) { exclusive_ = exclusive; }
  void setReadOnly(bool read_only) { read_only_ = read_only; }
  const std::string& databaseName() const { return database_; }
  const std::string& tableName() const { return table_name_; }
  bool readOnly() const { return read_only_; }
  // Whether rows can be inserted, changed and deleted: open, not read-only,
  // and its table open for writing.
  bool canModify() const;

  // Display labels, by field name (letter case ignored): set while open or
  // closed and kept across close() and open(), as labels belong to the
  // dataset rather than to one opening of its table. An empty label puts
  // back the field's name. Observers of an open dataset get kLabelChange.
  void setDisplayLabel(const std::string& field, const std::string& label);
  // The label set for `field`, else `field` itself.
  std::string displayLabel(const std::string& field) const;

  // Order: by a named secondary index, or by key fields ("A;B": the primary
  // index when its key begins with them, else the first secondary index
  // whose key does). An empty name means the primary index. Can change while
  // open; the current record stays current.
  void setIndexName(const std::string& name);
  void setIndexFieldNames(const std::string& fields);
  const std::string& indexName() const { return index_name_; }
  const std::string& indexFieldNames() const { return index_fields_; }

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

  // Reading without moving: what a grid shows. The cursor, the current
  // record and any detail stay as they are; no notice is sent. Positions as
  // above; a position at or past rowCount() raises an invalid request.
  // Each read finds its row by key in O(log n).
  uint32_t rowCount() const { return active() ? range_end_ - range_begin_ : 0; }
  Row rowAt(uint32_t position);
  // Rows first..first+count-1, fewer at the end of the range.
  std::vector<Row> rows(uint32_t first, uint32_t count);
  Value valueAt(uint32_t position, size_t column);
  // The position of the current record (0 when there is none).
  uint32_t currentPosition() const { return pos_; }

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
  Bookmark bookmarkAt(uint32_t position);
  bool gotoBookmark(const Bookmark& bookmark);

  // Editing. A post or delete takes the table's lock and sees every change
  // another program made before it: posting an edit whose record another
  // program changed or deleted since edit() read it raises a lock conflict
  // (subcode kRecordChanged) and leaves the dataset in edit state; deleting
  // a record already deleted elsewhere raises the same and deletes nothing.
  void edit();
  // Posts the record being edited or inserted first; when that post is
  // abandoned by its event, the record stays and no new row is started.
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
  // master's current record. A null master ends the link.
  void setMaster(Dataset* master, const std::string& master_fields,
                 const std::string& detail_fields);

  // Observers: told of every notice until the subscription goes.
  [[nodiscard]] Subscription subscribe(DatasetObserver observer);
  void disableControls();
  void enableControls();
  bool controlsDisabled() const { return disabled_ > 0; }

  // Looks for changes another program made to the table; when it finds
  // some, shows the table as it is now (observers get a reset). True then.
  bool checkForOutsideChanges();
  // Rereads the current record and the range (after outside changes).
  void refresh();

  // The number of rows of the range set to exactly `key` on the leading
  // order fields, when the range is that; otherwise nothing.
  std::optional<uint32_t> currentRangeCount(const Row& key) const;

 private:
  friend class DatasetField;
  class MasterLink;
  struct ChangePlan;

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
  void notify(DataEvent event, uint32_t first = 0, uint32_t last = 0, uint32_t to = 0);
  void notifyReset(bool before);
  void applyMaster();
  void setMasterRange();
  void masterGone();
  void resolveOrder();
  void reorder();
  Row keyOf(const Row& row) const;
  void positionOnRecord(const Row& row);
  void detachFromTable();
  uint32_t locateEditedRecord();
  uint32_t locateCurrentRecord(const Bookmark& key, const std::vector<uint8_t>& bytes);

  // Table changes, from any handle of this process or found made by another.
  void tableAboutToChange(paradox::Table& table, const paradox::TableChange& change) override;
  void tableChanged(paradox::Table& table, const paradox::TableChange& change) override;
  void planChange(const paradox::TableChange& change);
  int rangeSide(const uint8_t* record);
  void followChange(bool reread, bool moved);
  void afterOutsideReset();

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
  // Display labels by upper-cased field name.
  std::map<std::string, std::string> display_labels_;
  DatasetState state_ = DatasetState::kInactive;
  int order_ = -1;  // -1 primary / table order, else secondary index number
  // The range: its ends as given and as encoded for comparisons with
  // records, and the positions in the order that it spans. A detail whose
  // master has no record shows no rows at all (no_rows_).
  std::optional<Row> range_low_, range_high_;
  std::optional<paradox::Table::EncodedKey> range_low_key_, range_high_key_;
  bool no_rows_ = false;
  uint32_t range_begin_ = 0, range_end_ = 0;
  uint32_t pos_ = 0;  // position within the range
  bool eof_ = true, bof_ = true;
  Row current_;
  // The current record's bytes, while its values are not decoded yet.
  std::vector<uint8_t> current_raw_;
  bool current_pending_ = false;
  const Row& currentRow();
  Row buffer_;
  // The record being edited as edit() read it: its key and bytes.
  Bookmark edit_key_;
  std::vector<uint8_t> edit_bytes_;
  std::unique_ptr<ChangePlan> plan_;  // the table change under way
  std::shared_ptr<detail::ObserverList> observers_;
  int disabled_ = 0;
  bool reset_pending_ = false;  // kAboutToReset sent while controls are disabled
  std::unique_ptr<MasterLink> master_link_;
  std::vector<Dataset*> details_;
};

}  // namespace vellum::engine
