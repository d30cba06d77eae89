#include "engine/dataset.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "engine/errors.h"
#include "engine/number_text.h"
#include "engine/text.h"

namespace vellum::engine {

namespace {

bool StartsWithFields(const std::vector<std::string>& have, const std::string& wanted) {
  const std::vector<std::string> want = SplitAtSemicolons(wanted);
  if (want.empty() || want.size() > have.size()) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (!SameNameIgnoringCase(have[i], want[i])) return false;
  }
  return true;
}

// Runs a read of a dataset again when, while it ran, another program's
// change made the table be read again (the read then raised a lock conflict,
// and the dataset's range and cursor were brought up to date).
template <typename Read>
auto Retrying(paradox::Table& table, Read&& read) -> decltype(read()) {
  for (int attempt = 0;; ++attempt) {
    const uint64_t before = table.changeCount();
    try {
      return read();
    } catch (const EDBEngineError& e) {
      if (attempt >= 2 || e.category() != ErrorCategory::kLockConflict ||
          table.changeCount() == before) {
        throw;
      }
    }
  }
}

}  // namespace

namespace detail {

// A dataset's observers. Entries are shared so that a notice in progress
// keeps the one it calls alive while observers come and go.
struct ObserverList {
  struct Entry {
    uint64_t id;
    DatasetObserver observer;
  };
  std::vector<std::shared_ptr<Entry>> entries;
  uint64_t next_id = 1;

  void remove(uint64_t id) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [id](const std::shared_ptr<Entry>& e) { return e->id == id; }),
                  entries.end());
  }
  bool has(uint64_t id) const {
    return std::any_of(entries.begin(), entries.end(),
                       [id](const std::shared_ptr<Entry>& e) { return e->id == id; });
  }
};

}  // namespace detail

Subscription::Subscription(Subscription&& other) noexcept
    : list_(std::move(other.list_)), id_(other.id_) {
  other.id_ = 0;
}

Subscription& Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    reset();
    list_ = std::move(other.list_);
    id_ = other.id_;
    other.id_ = 0;
  }
  return *this;
}

void Subscription::reset() {
  if (auto list = list_.lock()) list->remove(id_);
  list_.reset();
  id_ = 0;
}

bool Subscription::active() const {
  auto list = list_.lock();
  return list && list->has(id_);
}

const char* DataEventName(DataEvent event) {
  switch (event) {
    case DataEvent::kScroll:
      return "Scroll";
    case DataEvent::kRecordChange:
      return "RecordChange";
    case DataEvent::kStateChange:
      return "StateChange";
    case DataEvent::kLabelChange:
      return "LabelChange";
    case DataEvent::kAboutToInsert:
      return "AboutToInsert";
    case DataEvent::kInserted:
      return "Inserted";
    case DataEvent::kAboutToRemove:
      return "AboutToRemove";
    case DataEvent::kRemoved:
      return "Removed";
    case DataEvent::kAboutToMove:
      return "AboutToMove";
    case DataEvent::kMoved:
      return "Moved";
    case DataEvent::kChanged:
      return "Changed";
    case DataEvent::kAboutToReset:
      return "AboutToReset";
    case DataEvent::kReset:
      return "Reset";
    case DataEvent::kDestroyed:
      return "Destroyed";
  }
  return "?";
}

// Follows a master dataset: re-applies the detail's range whenever the
// master's current record, and with it the linked values, changes. The
// master may be destroyed first: it then tells the detail (masterGone).
class Dataset::MasterLink {
 public:
  MasterLink(Dataset& detail, Dataset& master, std::vector<std::string> master_fields,
             std::vector<std::string> detail_fields)
      : detail_(detail),
        master_(&master),
        master_fields_(std::move(master_fields)),
        detail_fields_(std::move(detail_fields)) {
    subscription_ = master.subscribe([this](Dataset&, const DataChange& c) { masterChanged(c); });
    master.details_.push_back(&detail_);
  }
  ~MasterLink() {
    if (!master_) return;
    auto& details = master_->details_;
    details.erase(std::remove(details.begin(), details.end(), &detail_), details.end());
  }
  MasterLink(const MasterLink&) = delete;
  MasterLink& operator=(const MasterLink&) = delete;

  // The master is being destroyed: nothing of it may be used any more.
  void forgetMaster() {
    master_ = nullptr;
    subscription_.reset();
  }

  // The linked values of the master's current record; nothing when the
  // master has no record to link to (closed, empty, inserting).
  std::optional<Row> wanted() {
    Dataset& m = *master_;
    if (!m.active() || m.state() == DatasetState::kInsert || m.recordCount() == 0) {
      return std::nullopt;
    }
    Row values;
    for (const auto& name : master_fields_) values.push_back(m.fieldByName(name).value());
    return values;
  }
  Dataset& master() { return *master_; }
  const std::vector<std::string>& detailFields() const { return detail_fields_; }
  // What the detail's range was last set to, and whether it was.
  std::optional<Row> applied;
  bool applied_once = false;

 private:
  void masterChanged(const DataChange& c) {
    switch (c.event) {
      case DataEvent::kScroll:
      case DataEvent::kRecordChange:
      case DataEvent::kStateChange:
      case DataEvent::kReset:
        break;
      default:
        return;  // rows of the master changed, not its current record
    }
    // An unposted master record being edited keeps the details it had.
    if (master_->state() == DatasetState::kEdit) return;
    if (detail_.active()) detail_.applyMaster();
  }

  Dataset& detail_;
  Dataset* master_;
  std::vector<std::string> master_fields_;
  std::vector<std::string> detail_fields_;
  Subscription subscription_;
};

// --- fields -------------------------------------------------------------

const std::string& DatasetField::name() const {
  return owner_.table_->structure().fields[index_].name;
}
std::string DatasetField::displayLabel() const { return owner_.displayLabel(name()); }
void DatasetField::setDisplayLabel(const std::string& label) {
  owner_.setDisplayLabel(name(), label);
}
FieldType DatasetField::type() const { return owner_.table_->structure().fields[index_].type; }
int DatasetField::size() const { return owner_.table_->structure().fields[index_].size; }

const Value& DatasetField::value() const {
  owner_.requireActive();
  bool editing = owner_.state_ == DatasetState::kEdit || owner_.state_ == DatasetState::kInsert;
  return editing ? owner_.buffer_[index_] : owner_.currentRow()[index_];
}

bool DatasetField::isNull() const { return IsNull(value()); }

std::string DatasetField::asString() const {
  const Value& v = value();
  if (auto* d = std::get_if<double>(&v)) return FormatGeneral(*d);
  if (auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  return ValueToText(v);
}

int64_t DatasetField::asInteger() const {
  const Value& v = value();
  if (auto* i = std::get_if<int64_t>(&v)) return *i;
  if (auto* d = std::get_if<double>(&v)) return static_cast<int64_t>(std::llround(*d));
  if (auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
  if (auto* s = std::get_if<std::string>(&v)) {
    if (std::optional<int64_t> n = ParseInteger(*s)) return *n;
    throw Error("'" + *s + "' is not a valid integer value");
  }
  if (auto* d = std::get_if<Date>(&v)) return d->day;
  return 0;
}

bool DatasetField::asBoolean() const {
  const Value& v = value();
  if (auto* b = std::get_if<bool>(&v)) return *b;
  if (auto* i = std::get_if<int64_t>(&v)) return *i != 0;
  return false;
}

double DatasetField::asFloat() const {
  const Value& v = value();
  if (auto* d = std::get_if<double>(&v)) return *d;
  if (auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
  if (auto* t = std::get_if<Timestamp>(&v)) return t->ms;
  return 0;
}

Date DatasetField::asDate() const {
  const Value& v = value();
  if (auto* d = std::get_if<Date>(&v)) return *d;
  if (auto* t = std::get_if<Timestamp>(&v)) {
    return Date{static_cast<int32_t>(std::floor(t->ms / 86400000.0))};
  }
  return Date{0};
}

void DatasetField::setValue(const Value& v) {
  if (owner_.state_ != DatasetState::kEdit && owner_.state_ != DatasetState::kInsert) {
    ThrowInvalid("Dataset \"" + owner_.table_name_ + "\" is not in edit or insert mode");
  }
  Value stored = v;
  // Text longer than a String field is cut to the field's size in
  // characters.
  if (auto* s = std::get_if<std::string>(&stored); s && type() == FieldType::kString) {
    if (s->empty()) {
      stored = std::monostate{};
    } else if (CharacterCount(*s) > static_cast<size_t>(std::max(size(), 0))) {
      *s = CutToCharacters(*s, static_cast<size_t>(std::max(size(), 0)));
    }
  }
  owner_.buffer_[index_] = std::move(stored);
  owner_.notify(DataEvent::kRecordChange);
}

void DatasetField::setAsString(const std::string& text) {
  if (text.empty()) {
    setValue(Value{});
    return;
  }
  switch (type()) {
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kAutoInc:
    case FieldType::kWord: {
      const std::optional<int64_t> n = ParseInteger(text);
      if (!n) throw Error("'" + text + "' is not a valid integer value");
      setValue(Value{*n});
      return;
    }
    case FieldType::kFloat:
    case FieldType::kCurrency: {
      const std::optional<double> d = ParseDouble(text);
      if (!d) throw Error("'" + text + "' is not a valid floating point value");
      setValue(Value{*d});
      return;
    }
    case FieldType::kBoolean: {
      std::string u = Upper(text);
      setValue(Value{u == "TRUE" || u == "YES" || u == "1" || u == "-1"});
      return;
    }
    case FieldType::kBCD:
      setValue(Value{Decimal{text}});
      return;
    default:
      setValue(Value{text});
  }
}

// --- dataset ------------------------------------------------------------
//
// State kept by every dataset while it is open:
//  - range_begin_ <= range_end_ are positions in the current order; the
//    dataset shows the rows between them. They follow every change of the
//    table (tableAboutToChange / tableChanged), so that rowCount() and the
//    positions given in notices are right at every moment.
//  - pos_ < rowCount() (0 when empty) is the current record's position. In
//    browse state current_ (or current_raw_, not yet decoded) holds its
//    values as last read.
//  - In edit state, edit_key_ and edit_bytes_ are the record as edit() read
//    it; post() writes only when the table still holds exactly that.

// What one table change means to this dataset, worked out before it
// happens. Positions are in the order; new_pos counts without the old row.
struct Dataset::ChangePlan {
  bool had_old = false, has_new = false;
  uint32_t old_pos = 0, new_pos = 0;
  bool old_in = false, new_in = false;
  uint32_t begin_after = 0, end_after = 0;
  uint32_t count_before = 0;
};

Dataset::Dataset(Session& session)
    : session_(session), observers_(std::make_shared<detail::ObserverList>()) {}

Dataset::~Dataset() {
  // Details keep the rows they show; then the observers hear of the end.
  for (Dataset* d : std::vector<Dataset*>(details_)) d->masterGone();
  master_link_.reset();
  try {
    close();
  } catch (...) {
    // Destructors do not throw.
  }
  DataChange gone;
  gone.event = DataEvent::kDestroyed;
  auto list = observers_;
  for (const auto& e : std::vector<std::shared_ptr<detail::ObserverList::Entry>>(list->entries)) {
    if (list->has(e->id)) e->observer(*this, gone);
  }
}

paradox::Table& Dataset::table() {
  requireActive();
  return *table_;
}

void Dataset::requireActive() const {
  if (state_ == DatasetState::kInactive) {
    ThrowInvalid("Dataset \"" + table_name_ + "\" is not open");
  }
}

void Dataset::requireBrowse(const char* what) const {
  requireActive();
  if (state_ != DatasetState::kBrowse) {
    ThrowInvalid(std::string("Cannot ") + what + " dataset \"" + table_name_ +
                 "\" while a record is being edited");
  }
}

void Dataset::open() {
  if (active()) return;
  std::string dir = session_.resolveDirectory(database_);
  paradox::OpenOptions options;
  options.writable = !read_only_;
  options.exclusive = exclusive_;
  options.lock_wait_ms = session_.lockWaitMs();
  options.passwords = session_.passwords();
  auto table = paradox::Table::Open(dir, table_name_, options, session_.fs());
  notifyReset(true);
  table_ = std::move(table);
  fields_.clear();
  field_names_.clear();
  for (size_t i = 0; i < table_->structure().fields.size(); ++i) {
    fields_.push_back(std::make_unique<DatasetField>(*this, i));
    field_names_.push_back(table_->structure().fields[i].name);
  }
  state_ = DatasetState::kBrowse;
  try {
    resolveOrder();
  } catch (...) {
    state_ = DatasetState::kInactive;
    table_.reset();
    notifyReset(false);
    throw;
  }
  table_->addListener(this);
  if (master_link_) {
    setMasterRange();
  } else {
    recomputeRange();
    moveTo(0, false);
  }
  bof_ = true;
  notifyReset(false);
  notify(DataEvent::kStateChange);
}

void Dataset::detachFromTable() {
  if (table_) table_->removeListener(this);
  plan_.reset();
}

void Dataset::close() {
  if (!active()) return;
  notifyReset(true);
  detachFromTable();
  state_ = DatasetState::kInactive;
  table_.reset();
  fields_.clear();
  field_names_.clear();
  current_.clear();
  current_pending_ = false;
  buffer_.clear();
  range_begin_ = range_end_ = pos_ = 0;
  eof_ = bof_ = true;
  notifyReset(false);
  notify(DataEvent::kStateChange);
}

void Dataset::setIndexName(const std::string& name) {
  index_name_ = name;
  index_fields_.clear();
  reorder();
}

void Dataset::setIndexFieldNames(const std::string& fields) {
  index_fields_ = fields;
  index_name_.clear();
  reorder();
}

// Takes the order just set, keeping the current record current.
void Dataset::reorder() {
  if (!active()) return;
  Row here = currentRow();
  notifyReset(true);
  resolveOrder();
  recomputeRange();
  if (range_end_ > range_begin_ && !here.empty()) positionOnRecord(here);
  notifyReset(false);
  notify(DataEvent::kScroll);
}

void Dataset::resolveOrder() {
  const auto& indexes = table_->structure().indexes;
  const bool keyed = table_->keyed();
  order_ = -1;
  auto secondary_number = [&](size_t i) { return static_cast<int>(keyed ? i - 1 : i); };
  if (!index_name_.empty()) {
    for (size_t i = 0; i < indexes.size(); ++i) {
      if (!indexes[i].primary && Upper(indexes[i].name) == Upper(index_name_)) {
        order_ = secondary_number(i);
        return;
      }
    }
    ThrowInvalid("Index \"" + index_name_ + "\" not found in table \"" + table_name_ + "\"");
  }
  if (!index_fields_.empty()) {
    for (size_t i = 0; i < indexes.size(); ++i) {
      if (StartsWithFields(indexes[i].key_fields, index_fields_)) {
        order_ = indexes[i].primary ? -1 : secondary_number(i);
        return;
      }
    }
    ThrowInvalid("No index of table \"" + table_name_ + "\" has the key fields \"" + index_fields_ +
                 "\"");
  }
}

std::vector<size_t> Dataset::orderFields() const {
  std::vector<size_t> out;
  const auto& st = table_->structure();
  if (order_ < 0) {
    for (int i = 0; i < st.key_fields; ++i) out.push_back(static_cast<size_t>(i));
    return out;
  }
  const auto& ix = st.indexes[static_cast<size_t>(order_) + (table_->keyed() ? 1 : 0)];
  for (const auto& name : ix.key_fields) {
    for (size_t f = 0; f < st.fields.size(); ++f) {
      if (SameNameIgnoringCase(st.fields[f].name, name)) out.push_back(f);
    }
  }
  return out;
}

uint32_t Dataset::lowerBoundInOrder(const Row& key) {
  if (order_ < 0) {
    if (!table_->keyed()) ThrowInvalid("Table \"" + table_name_ + "\" has no key to search");
    return table_->lowerBound(key);
  }
  return table_->indexLowerBound(static_cast<size_t>(order_), key);
}

uint32_t Dataset::upperBoundInOrder(const Row& key) {
  if (order_ < 0) {
    if (!table_->keyed()) ThrowInvalid("Table \"" + table_name_ + "\" has no key to search");
    return table_->upperBound(key);
  }
  return table_->indexUpperBound(static_cast<size_t>(order_), key);
}

bool Dataset::leadingEqual(const Row& row, const Row& key) const {
  auto fields = orderFields();
  bool ci = false;
  if (order_ >= 0) {
    ci = table_->structure()
             .indexes[static_cast<size_t>(order_) + (table_->keyed() ? 1 : 0)]
             .case_insensitive;
  }
  for (size_t i = 0; i < key.size() && i < fields.size(); ++i) {
    const Value& a = row[fields[i]];
    const Value& b = key[i];
    if (ci) {
      auto* sa = std::get_if<std::string>(&a);
      auto* sb = std::get_if<std::string>(&b);
      if (sa && sb) {
        if (Upper(*sa) != Upper(*sb)) return false;
        continue;
      }
    }
    if (a == b) continue;
    // Integers of any width compare by value.
    auto* ia = std::get_if<int64_t>(&a);
    auto* db = std::get_if<double>(&b);
    auto* da = std::get_if<double>(&a);
    auto* ib = std::get_if<int64_t>(&b);
    if (ia && db && static_cast<double>(*ia) == *db) continue;
    if (da && ib && *da == static_cast<double>(*ib)) continue;
    return false;
  }
  return true;
}

uint32_t Dataset::tablePosition(uint32_t pos) {
  uint32_t absolute = range_begin_ + pos;
  if (order_ < 0) return absolute;
  return table_->indexEntryRecord(static_cast<size_t>(order_), absolute);
}

uint32_t Dataset::orderPosition(uint32_t ordinal) {
  if (order_ < 0) return ordinal;
  return table_->indexEntryOf(static_cast<size_t>(order_), ordinal);
}

void Dataset::recomputeRange() {
  range_low_key_.reset();
  range_high_key_.reset();
  if (no_rows_) {
    range_begin_ = range_end_ = 0;
    return;
  }
  uint32_t total =
      order_ < 0 ? table_->recordCount() : table_->indexEntries(static_cast<size_t>(order_));
  range_begin_ = 0;
  range_end_ = total;
  if (range_low_) range_begin_ = lowerBoundInOrder(*range_low_);
  if (range_high_) range_end_ = upperBoundInOrder(*range_high_);
  if (range_end_ < range_begin_) range_end_ = range_begin_;
  if (range_low_) range_low_key_ = table_->encodeOrderKey(order_, *range_low_);
  if (range_high_) range_high_key_ = table_->encodeOrderKey(order_, *range_high_);
}

std::optional<uint32_t> Dataset::currentRangeCount(const Row& key) const {
  if (!active() || no_rows_ || !range_low_ || !range_high_ || *range_low_ != key ||
      *range_high_ != key) {
    return std::nullopt;
  }
  return range_end_ - range_begin_;
}

uint32_t Dataset::recordCount() {
  requireActive();
  return range_end_ - range_begin_;
}

// --- reading without moving -----------------------------------------------

Row Dataset::rowAt(uint32_t position) {
  requireActive();
  return Retrying(*table_, [&] {
    if (position >= rowCount()) {
      ThrowInvalid("Row " + std::to_string(position + 1) + " is outside the " +
                   std::to_string(rowCount()) + " rows of dataset \"" + table_name_ + "\"");
    }
    return table_->read(tablePosition(position));
  });
}

std::vector<Row> Dataset::rows(uint32_t first, uint32_t count) {
  requireActive();
  std::vector<Row> out;
  const uint32_t n = rowCount();
  for (uint32_t p = first; p < n && p - first < count; ++p) out.push_back(rowAt(p));
  return out;
}

Value Dataset::valueAt(uint32_t position, size_t column) {
  requireActive();
  if (column >= fields_.size()) {
    ThrowInvalid("Dataset \"" + table_name_ + "\" has no column " + std::to_string(column + 1));
  }
  return Retrying(*table_, [&] {
    if (position >= rowCount()) rowAt(position);  // raises the range error
    std::vector<uint8_t> bytes;
    table_->readRecordBytes(tablePosition(position), &bytes);
    return table_->fieldValue(column, bytes.data());
  });
}

Dataset::Bookmark Dataset::bookmarkAt(uint32_t position) {
  requireActive();
  return Retrying(*table_, [&] {
    if (position >= rowCount()) rowAt(position);  // raises the range error
    const uint32_t ordinal = tablePosition(position);
    if (!table_->keyed()) return Row{static_cast<int64_t>(ordinal)};
    std::vector<uint8_t> bytes;
    table_->readRecordBytes(ordinal, &bytes);
    Row key;
    for (int i = 0; i < table_->structure().key_fields; ++i) {
      key.push_back(table_->fieldValue(static_cast<size_t>(i), bytes.data()));
    }
    return key;
  });
}

// --- the cursor -----------------------------------------------------------

void Dataset::loadCurrent() {
  const size_t n = table_->structure().fields.size();
  if (range_end_ == range_begin_) {
    current_.assign(n, Value{});
    current_raw_.clear();
    current_pending_ = false;
    pos_ = 0;
    eof_ = bof_ = true;
    return;
  }
  // The record's bytes are kept and decoded when a value is first asked
  // for: a post moves to the posted row, which is often not read at all.
  // Values in the blob file are decoded now, while the bytes refer to them.
  Retrying(*table_, [&] {
    if (range_end_ == range_begin_) {
      current_.assign(n, Value{});
      current_raw_.clear();
      current_pending_ = false;
      pos_ = 0;
      return;
    }
    if (pos_ >= range_end_ - range_begin_) pos_ = range_end_ - range_begin_ - 1;
    table_->readRecordBytes(tablePosition(pos_), &current_raw_);
    if (table_->refersToBlobFile(current_raw_.data())) {
      current_ = table_->decodeRecordBytes(current_raw_.data());
      current_pending_ = false;
    } else {
      current_pending_ = true;
    }
  });
}

const Row& Dataset::currentRow() {
  if (current_pending_) {
    current_ = table_->decodeRecordBytes(current_raw_.data());
    current_pending_ = false;
  }
  return current_;
}

void Dataset::moveTo(uint32_t pos, bool notify_scroll) {
  pos_ = pos;
  loadCurrent();
  eof_ = bof_ = range_end_ == range_begin_;
  if (notify_scroll) {
    notify(DataEvent::kScroll);
    if (afterScroll) afterScroll(*this);
  }
}

void Dataset::first() {
  requireBrowse("move in");
  moveTo(0);
  bof_ = true;
}

void Dataset::last() {
  requireBrowse("move in");
  uint32_t n = range_end_ - range_begin_;
  moveTo(n > 0 ? n - 1 : 0);
  eof_ = true;
}

void Dataset::next() {
  requireBrowse("move in");
  uint32_t n = range_end_ - range_begin_;
  if (pos_ + 1 < n) {
    moveTo(pos_ + 1);
  } else {
    eof_ = true;
  }
}

void Dataset::prior() {
  requireBrowse("move in");
  if (pos_ > 0 && range_end_ > range_begin_) {
    moveTo(pos_ - 1);
  } else {
    bof_ = true;
  }
}

bool Dataset::findKey(const Row& key) {
  requireBrowse("search");
  uint32_t p = lowerBoundInOrder(key);
  if (p < range_begin_ || p >= range_end_) return false;
  uint32_t saved = pos_;
  pos_ = p - range_begin_;
  Row row = table_->read(tablePosition(pos_));
  if (!leadingEqual(row, key)) {
    pos_ = saved;
    return false;
  }
  moveTo(pos_);
  return true;
}

void Dataset::findNearest(const Row& key) {
  requireBrowse("search");
  uint32_t p = lowerBoundInOrder(key);
  p = std::clamp(p, range_begin_, range_end_ > range_begin_ ? range_end_ - 1 : range_begin_);
  moveTo(p - range_begin_);
}

void Dataset::setRange(const Row& low, const Row& high) {
  requireBrowse("set a range on");
  notifyReset(true);
  range_low_ = low;
  range_high_ = high;
  recomputeRange();
  moveTo(0, false);
  notifyReset(false);
  notify(DataEvent::kScroll);
  if (afterScroll) afterScroll(*this);
}

void Dataset::cancelRange() {
  requireBrowse("cancel the range of");
  Row here = currentRow();
  notifyReset(true);
  range_low_.reset();
  range_high_.reset();
  recomputeRange();
  if (range_end_ > range_begin_ && !here.empty() && !IsNull(here[0])) {
    positionOnRecord(here);
  } else {
    moveTo(0, false);
  }
  notifyReset(false);
  notify(DataEvent::kScroll);
}

Row Dataset::keyOf(const Row& row) const {
  Row key;
  for (int i = 0; i < table_->structure().key_fields; ++i)
    key.push_back(row[static_cast<size_t>(i)]);
  return key;
}

// Makes the record with the primary key of `row` (or the nearest one in the
// range) current, without a notice.
void Dataset::positionOnRecord(const Row& row) {
  uint32_t ordinal = 0;
  if (table_->keyed() && table_->recordCount() > 0) {
    ordinal = table_->lowerBound(keyOf(row));
    if (ordinal >= table_->recordCount()) ordinal = table_->recordCount() - 1;
  }
  uint32_t p = table_->recordCount() > 0 ? orderPosition(ordinal) : 0;
  if (p < range_begin_) p = range_begin_;
  if (p >= range_end_) p = range_end_ > range_begin_ ? range_end_ - 1 : range_begin_;
  moveTo(p - range_begin_, false);
}

Dataset::Bookmark Dataset::bookmark() {
  requireActive();
  if (range_end_ == range_begin_) return {};
  if (table_->keyed()) return keyOf(currentRow());
  return Row{static_cast<int64_t>(tablePosition(pos_))};
}

bool Dataset::gotoBookmark(const Bookmark& bookmark) {
  requireBrowse("move in");
  if (bookmark.empty()) return false;
  uint32_t ordinal;
  if (table_->keyed()) {
    ordinal = table_->lowerBound(bookmark);
    if (ordinal >= table_->recordCount()) return false;
    Row row = table_->read(ordinal);
    if (keyOf(row) != bookmark) return false;
  } else {
    ordinal = static_cast<uint32_t>(std::get<int64_t>(bookmark[0]));
    if (ordinal >= table_->recordCount()) return false;
  }
  uint32_t p = orderPosition(ordinal);
  if (p < range_begin_ || p >= range_end_) return false;
  moveTo(p - range_begin_);
  return true;
}

// --- editing --------------------------------------------------------------

namespace {

[[noreturn]] void ThrowRecordChanged(const std::string& table, const char* what) {
  throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kRecordChanged,
                       std::string("The record of table \"") + table + "\" was " + what +
                           " by another user or program since it was read");
}

}  // namespace

void Dataset::edit() {
  requireActive();
  if (state_ != DatasetState::kBrowse) return;
  if (read_only_) ThrowInvalid("Dataset \"" + table_name_ + "\" is read-only");
  // The values to edit are the table's as it is, unless another program is
  // changing it just now (the post finds that out).
  table_->checkForOutsideChanges(false);
  if (range_end_ == range_begin_) {
    insert();
    return;
  }
  const uint32_t ordinal = tablePosition(pos_);
  table_->readRecordBytes(ordinal, &edit_bytes_);
  current_raw_ = edit_bytes_;
  current_ = table_->decodeRecordBytes(edit_bytes_.data());
  current_pending_ = false;
  edit_key_ = table_->keyed() ? keyOf(current_) : Row{static_cast<int64_t>(ordinal)};
  buffer_ = current_;
  state_ = DatasetState::kEdit;
  notify(DataEvent::kStateChange);
}

void Dataset::insert() {
  requireActive();
  if (read_only_) ThrowInvalid("Dataset \"" + table_name_ + "\" is read-only");
  if (state_ != DatasetState::kBrowse) {
    post();
    // A post its event abandoned keeps the record being edited: no new row.
    if (state_ != DatasetState::kBrowse) return;
  }
  // Rules for new rows count what the table holds (the post checks again).
  table_->checkForOutsideChanges(false);
  buffer_.assign(table_->structure().fields.size(), Value{});
  state_ = DatasetState::kInsert;
  if (master_link_) {
    if (auto values = master_link_->wanted()) {
      const auto& names = master_link_->detailFields();
      for (size_t i = 0; i < names.size() && i < values->size(); ++i) {
        buffer_[fieldByName(names[i]).index()] = (*values)[i];
      }
    }
  }
  try {
    if (onNewRecord) onNewRecord(*this);
  } catch (const Abort&) {
    state_ = DatasetState::kBrowse;
    buffer_.clear();
    return;
  }
  notify(DataEvent::kStateChange);
}

// The table position of the record being edited, under the change lock:
// found by its key, and only when it still holds what edit() read.
uint32_t Dataset::locateEditedRecord() {
  uint32_t ordinal;
  if (table_->keyed()) {
    ordinal = table_->lowerBound(edit_key_);
    if (ordinal >= table_->recordCount() || keyOf(table_->read(ordinal)) != edit_key_) {
      ThrowRecordChanged(table_name_, "deleted");
    }
  } else {
    if (range_end_ == range_begin_) ThrowRecordChanged(table_name_, "deleted");
    ordinal = tablePosition(pos_);
  }
  std::vector<uint8_t> now;
  table_->readRecordBytes(ordinal, &now);
  if (now != edit_bytes_) ThrowRecordChanged(table_name_, "changed");
  return ordinal;
}

void Dataset::post() {
  requireActive();
  if (state_ == DatasetState::kBrowse) return;
  try {
    if (beforePost) beforePost(*this);
  } catch (const Abort&) {
    return;
  }
  const bool inserted = state_ == DatasetState::kInsert;
  uint32_t ordinal;
  {
    paradox::Table::ChangeLock lock(*table_);
    ordinal = inserted ? table_->insert(buffer_) : table_->update(locateEditedRecord(), buffer_);
    lock.release();
  }
  state_ = DatasetState::kBrowse;
  buffer_.clear();
  edit_bytes_.clear();
  edit_key_.clear();
  if (range_end_ > range_begin_) {
    uint32_t p = orderPosition(ordinal);
    if (p >= range_begin_ && p < range_end_) {
      moveTo(p - range_begin_, false);
    } else {
      moveTo(std::min(pos_, range_end_ - range_begin_ - 1), false);
    }
  } else {
    moveTo(0, false);
  }
  notify(DataEvent::kStateChange);
  notify(DataEvent::kScroll);
  if (afterPost) afterPost(*this);
}

void Dataset::cancel() {
  requireActive();
  if (state_ == DatasetState::kBrowse) return;
  state_ = DatasetState::kBrowse;
  buffer_.clear();
  edit_bytes_.clear();
  edit_key_.clear();
  loadCurrent();
  notify(DataEvent::kStateChange);
}

// The table position of the current record under the change lock: found by
// its key (keyed tables) or at its place, when it is still there.
uint32_t Dataset::locateCurrentRecord(const Bookmark& key, const std::vector<uint8_t>& bytes) {
  if (table_->keyed()) {
    const uint32_t ordinal = table_->lowerBound(key);
    if (ordinal >= table_->recordCount() || keyOf(table_->read(ordinal)) != key) {
      ThrowRecordChanged(table_name_, "deleted");
    }
    return ordinal;
  }
  if (range_end_ == range_begin_) ThrowRecordChanged(table_name_, "deleted");
  const uint32_t ordinal = tablePosition(pos_);
  std::vector<uint8_t> now;
  table_->readRecordBytes(ordinal, &now);
  if (now != bytes) ThrowRecordChanged(table_name_, "changed");
  return ordinal;
}

void Dataset::remove() {
  requireActive();
  if (read_only_) ThrowInvalid("Dataset \"" + table_name_ + "\" is read-only");
  if (state_ == DatasetState::kInsert) {
    cancel();
    return;
  }
  if (state_ == DatasetState::kEdit) cancel();
  if (range_end_ == range_begin_) ThrowInvalid("Cannot delete from an empty dataset");
  try {
    if (beforeDelete) beforeDelete(*this);
  } catch (const Abort&) {
    return;
  }
  // The record the user sees as current, wherever it stands by now.
  const Bookmark key = table_->keyed() ? keyOf(currentRow()) : Bookmark{};
  const std::vector<uint8_t> bytes = current_raw_;
  {
    paradox::Table::ChangeLock lock(*table_);
    table_->remove(locateCurrentRecord(key, bytes));
    lock.release();
  }
  moveTo(std::min(pos_, range_end_ > range_begin_ ? range_end_ - range_begin_ - 1 : 0u));
}

size_t Dataset::fieldCount() const { return fields_.size(); }

bool Dataset::canModify() const { return active() && !read_only_ && table_->writable(); }

void Dataset::setDisplayLabel(const std::string& field, const std::string& label) {
  const std::string key = Upper(field);
  if (label.empty()) {
    if (display_labels_.erase(key) == 0) return;
  } else {
    auto [it, added] = display_labels_.try_emplace(key, label);
    if (!added && it->second == label) return;
    it->second = label;
  }
  if (!active()) return;
  for (size_t i = 0; i < field_names_.size(); ++i) {
    if (Upper(field_names_[i]) == key)
      notify(DataEvent::kLabelChange, static_cast<uint32_t>(i), static_cast<uint32_t>(i));
  }
}

std::string Dataset::displayLabel(const std::string& field) const {
  const auto it = display_labels_.find(Upper(field));
  return it == display_labels_.end() ? field : it->second;
}

DatasetField& Dataset::field(size_t index) {
  requireActive();
  return *fields_.at(index);
}

DatasetField* Dataset::findField(const std::string& name) {
  for (size_t i = 0; i < field_names_.size(); ++i) {
    if (field_names_[i] == name) return fields_[i].get();
  }
  for (size_t i = 0; i < field_names_.size(); ++i) {
    if (SameNameIgnoringCase(field_names_[i], name)) return fields_[i].get();
  }
  return nullptr;
}

DatasetField& Dataset::fieldByName(const std::string& name) {
  requireActive();
  if (DatasetField* f = findField(name)) return *f;
  ThrowInvalid("Field \"" + name + "\" not found in \"" + table_name_ + "\"");
}

// --- master and details ---------------------------------------------------

void Dataset::setMaster(Dataset* master, const std::string& master_fields,
                        const std::string& detail_fields) {
  master_link_.reset();
  if (!master) {
    range_low_.reset();
    range_high_.reset();
    no_rows_ = false;
    if (active()) refresh();
    return;
  }
  master_link_ = std::make_unique<MasterLink>(*this, *master, SplitAtSemicolons(master_fields),
                                              SplitAtSemicolons(detail_fields));
  if (active()) applyMaster();
}

void Dataset::masterGone() {
  if (!master_link_) return;
  master_link_->forgetMaster();
  master_link_.reset();
}

// Sets the range to the master's current record, when that changed since
// the range was last set: a reset of the rows, the first row current.
void Dataset::applyMaster() {
  if (!master_link_ || !active() || state_ != DatasetState::kBrowse) return;
  if (master_link_->applied_once && master_link_->wanted() == master_link_->applied) return;
  notifyReset(true);
  setMasterRange();
  notifyReset(false);
  notify(DataEvent::kScroll);
  if (afterScroll) afterScroll(*this);
}

// The range of the master's current record, the first row current, without
// a notice.
void Dataset::setMasterRange() {
  std::optional<Row> wanted = master_link_->wanted();
  master_link_->applied = wanted;
  master_link_->applied_once = true;
  no_rows_ = !wanted;
  range_low_ = wanted;
  range_high_ = wanted;
  recomputeRange();
  moveTo(0, false);
  bof_ = true;
}

// --- changes of the table -------------------------------------------------

bool Dataset::checkForOutsideChanges() {
  requireActive();
  return table_->checkForOutsideChanges();
}

void Dataset::refresh() {
  requireActive();
  checkForOutsideChanges();
  if (master_link_) {
    master_link_->applied_once = false;
    applyMaster();
    return;
  }
  Row here = currentRow();
  notifyReset(true);
  recomputeRange();
  if (range_end_ > range_begin_ && !here.empty() && table_->keyed() && !IsNull(here[0])) {
    positionOnRecord(here);
  } else {
    moveTo(std::min(pos_, range_end_ > range_begin_ ? range_end_ - range_begin_ - 1 : 0u), false);
  }
  notifyReset(false);
  notify(DataEvent::kScroll);
}

// -1, 0 or 1 as a record lies below, in or above the range.
int Dataset::rangeSide(const uint8_t* record) {
  if (no_rows_) return 1;
  if (range_low_key_ && table_->compareOrderKey(order_, record, *range_low_key_) < 0) return -1;
  if (range_high_key_ && table_->compareOrderKey(order_, record, *range_high_key_) > 0) return 1;
  return 0;
}

void Dataset::planChange(const paradox::TableChange& c) {
  using Kind = paradox::TableChange::Kind;
  auto plan = std::make_unique<ChangePlan>();
  ChangePlan& p = *plan;
  p.count_before = range_end_ - range_begin_;
  p.had_old = c.kind == Kind::kErase || c.kind == Kind::kUpdate;
  p.has_new = c.kind == Kind::kInsert || c.kind == Kind::kUpdate;
  const auto k = static_cast<size_t>(order_);
  if (p.had_old) {
    p.old_pos = order_ < 0 ? c.old_ordinal : table_->indexPositionFor(k, c.old_record);
    p.old_in = !no_rows_ && p.old_pos >= range_begin_ && p.old_pos < range_end_;
  }
  int new_side = 1;
  if (p.has_new) {
    if (order_ < 0) {
      p.new_pos = c.new_ordinal;
    } else {
      const uint32_t at = table_->indexPositionFor(k, c.new_record);
      p.new_pos = p.had_old && at > p.old_pos ? at - 1 : at;
    }
    new_side = rangeSide(c.new_record);
    p.new_in = new_side == 0;
  }
  p.begin_after = range_begin_ - (p.had_old && p.old_pos < range_begin_ ? 1 : 0) +
                  (p.has_new && new_side < 0 ? 1 : 0);
  p.end_after = range_end_ - (p.had_old && p.old_pos < range_end_ && !no_rows_ ? 1 : 0) +
                (p.has_new && new_side <= 0 ? 1 : 0);
  if (no_rows_) p.begin_after = p.end_after = 0;
  plan_ = std::move(plan);
}

void Dataset::tableAboutToChange(paradox::Table&, const paradox::TableChange& change) {
  if (!active()) return;
  if (change.kind == paradox::TableChange::Kind::kReset) {
    notifyReset(true);
    return;
  }
  planChange(change);
  const ChangePlan& p = *plan_;
  const uint32_t from = p.old_pos - range_begin_;
  const uint32_t to = p.new_pos - p.begin_after;
  if (p.old_in && p.new_in) {
    if (from != to) notify(DataEvent::kAboutToMove, from, from, to);
  } else if (p.old_in) {
    notify(DataEvent::kAboutToRemove, from, from);
  } else if (p.new_in) {
    notify(DataEvent::kAboutToInsert, to, to);
  }
}

void Dataset::tableChanged(paradox::Table&, const paradox::TableChange& change) {
  if (!active()) return;
  if (change.kind == paradox::TableChange::Kind::kReset) {
    afterOutsideReset();
    return;
  }
  if (!plan_) return;
  const ChangePlan p = *plan_;
  plan_.reset();
  const uint32_t from = p.old_pos - range_begin_;
  const uint32_t to = p.new_pos - p.begin_after;
  // Where the current record stands now.
  const bool had_rows = p.count_before > 0;
  const uint32_t current = range_begin_ + pos_;
  const bool current_changed = had_rows && p.old_in && p.old_pos == current;
  uint32_t now = current;
  if (current_changed && p.new_in) {
    now = p.new_pos;
  } else {
    if (p.had_old && p.old_pos < current) --now;
    if (p.has_new && p.new_pos <= now && !(current_changed && !p.new_in && p.new_pos == now)) ++now;
  }
  range_begin_ = p.begin_after;
  range_end_ = p.end_after;
  const uint32_t count = range_end_ - range_begin_;
  const uint32_t old_pos = pos_;
  if (count == 0 || !had_rows) {
    pos_ = 0;
  } else {
    now = std::clamp(now, range_begin_, range_end_ - 1);
    pos_ = now - range_begin_;
  }
  if (p.old_in && p.new_in) {
    notify(from == to ? DataEvent::kChanged : DataEvent::kMoved, from, from, to);
  } else if (p.old_in) {
    notify(DataEvent::kRemoved, from, from);
  } else if (p.new_in) {
    notify(DataEvent::kInserted, to, to);
  }
  followChange(current_changed || !had_rows || count == 0, pos_ != old_pos || current_changed);
}

// After a change: rereads the current record when it is another one or its
// values changed, and tells the observers.
void Dataset::followChange(bool reread, bool moved) {
  if (reread) {
    const bool empty = range_end_ == range_begin_;
    if (state_ == DatasetState::kBrowse) loadCurrent();
    if (empty) eof_ = bof_ = true;
  }
  if (moved) notify(DataEvent::kScroll);
  if (reread && state_ == DatasetState::kBrowse) notify(DataEvent::kRecordChange);
}

// Another process changed the table and it was read again: the range and the
// current record are worked out anew; the current record stays current when
// it is still there.
void Dataset::afterOutsideReset() {
  plan_.reset();
  Row here;
  if (range_end_ > range_begin_ && table_->keyed()) here = currentRow();
  recomputeRange();
  if (range_end_ > range_begin_ && !here.empty()) {
    if (state_ == DatasetState::kBrowse) {
      positionOnRecord(here);
    } else {
      pos_ = std::min(pos_, range_end_ - range_begin_ - 1);
    }
  } else {
    pos_ = std::min(pos_, range_end_ > range_begin_ ? range_end_ - range_begin_ - 1 : 0u);
    if (state_ == DatasetState::kBrowse) moveTo(pos_, false);
  }
  notifyReset(false);
  notify(DataEvent::kScroll);
}

// --- observers ------------------------------------------------------------

Subscription Dataset::subscribe(DatasetObserver observer) {
  const uint64_t id = observers_->next_id++;
  observers_->entries.push_back(std::make_shared<detail::ObserverList::Entry>(
      detail::ObserverList::Entry{id, std::move(observer)}));
  return Subscription(observers_, id);
}

void Dataset::disableControls() { ++disabled_; }

void Dataset::enableControls() {
  if (disabled_ > 0 && --disabled_ == 0 && reset_pending_) {
    reset_pending_ = false;
    notify(DataEvent::kReset);
  }
}

void Dataset::notifyReset(bool before) {
  notify(before ? DataEvent::kAboutToReset : DataEvent::kReset);
}

void Dataset::notify(DataEvent event, uint32_t first, uint32_t last, uint32_t to) {
  if (disabled_ > 0) {
    // Rows change without notices; the first change opens a reset that
    // enableControls() closes.
    if (reset_pending_) return;
    reset_pending_ = true;
    event = DataEvent::kAboutToReset;
    first = last = to = 0;
  }
  auto list = observers_;
  if (list->entries.empty()) return;
  const DataChange change{event, first, last, to};
  const auto told = list->entries;  // observers may come and go meanwhile
  for (const auto& e : told) {
    if (list->has(e->id)) e->observer(*this, change);
  }
}

}  // namespace vellum::engine
