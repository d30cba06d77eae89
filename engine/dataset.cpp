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

std::vector<std::string> SplitNames(const std::string& text) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  size_t start = 0;
  while (true) {
    size_t semi = text.find(';', start);
    parts.push_back(
        text.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  return parts;
}

bool StartsWithFields(const std::string& key_fields, const std::string& wanted) {
  auto have = SplitNames(key_fields);
  auto want = SplitNames(wanted);
  if (want.empty() || want.size() > have.size()) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (!SameNameIgnoringCase(have[i], want[i])) return false;
  }
  return true;
}

}  // namespace

// Follows a master dataset: re-applies the detail's range whenever the
// master moves or its data changes.
class Dataset::MasterLink : public DatasetObserver {
 public:
  MasterLink(Dataset& detail, Dataset& master, std::vector<std::string> master_fields,
             std::vector<std::string> detail_fields)
      : detail_(detail),
        master_(master),
        master_fields_(std::move(master_fields)),
        detail_fields_(std::move(detail_fields)) {
    master_.addObserver(this);
  }
  ~MasterLink() override { master_.removeObserver(this); }
  void datasetChanged(Dataset&, DataEvent event) override {
    if (event == DataEvent::kRecordChange) return;
    if (master_.state() == DatasetState::kEdit || master_.state() == DatasetState::kInsert) {
      // An unposted master record has no details yet, except its key may.
      if (master_.state() == DatasetState::kEdit) return;
    }
    if (detail_.active()) detail_.applyMaster();
  }
  Row masterValues() {
    Row values;
    for (const auto& name : master_fields_) values.push_back(master_.fieldByName(name).value());
    return values;
  }
  Dataset& master() { return master_; }
  const std::vector<std::string>& detailFields() const { return detail_fields_; }

 private:
  Dataset& detail_;
  Dataset& master_;
  std::vector<std::string> master_fields_;
  std::vector<std::string> detail_fields_;
};

// --- fields -------------------------------------------------------------

const std::string& DatasetField::name() const {
  return owner_.table_->structure().fields[index_].name;
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
  // Text longer than a String field is cut to the field's size.
  if (auto* s = std::get_if<std::string>(&stored); s && type() == FieldType::kString) {
    if (s->empty()) {
      stored = std::monostate{};
    } else if (static_cast<int>(s->size()) > size()) {
      size_t cut = static_cast<size_t>(size());
      while (cut > 0 && (static_cast<unsigned char>((*s)[cut]) & 0xC0) == 0x80) --cut;
      s->resize(cut);
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

Dataset::Dataset(Session& session) : session_(session) {}

Dataset::~Dataset() { master_link_.reset(); }

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
  table_ = paradox::Table::Open(dir, table_name_, {!read_only_, exclusive_}, session_.fs());
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
    throw;
  }
  if (master_link_) {
    applyMaster();
  } else {
    recomputeRange();
    moveTo(0);
  }
  bof_ = true;
  notify(DataEvent::kStateChange);
}

void Dataset::close() {
  if (!active()) return;
  state_ = DatasetState::kInactive;
  range_valid_ = false;
  table_.reset();
  fields_.clear();
  field_names_.clear();
  current_.clear();
  current_pending_ = false;
  buffer_.clear();
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
  resolveOrder();
  recomputeRange();
  if (range_end_ > range_begin_ && !here.empty()) positionOnRecord(here);
  notify(DataEvent::kDataChange);
}

void Dataset::resolveOrder() {
  const auto& indexes = table_->structure().indexes;
  const bool keyed = table_->keyed();
  order_ = -1;
  range_valid_ = false;
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
  for (const auto& name : SplitNames(ix.key_fields)) {
    for (size_t f = 0; f < st.fields.size(); ++f) {
      if (st.fields[f].name == name) out.push_back(f);
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
  range_valid_ = false;
  uint32_t total =
      order_ < 0 ? table_->recordCount() : table_->indexEntries(static_cast<size_t>(order_));
  range_begin_ = 0;
  range_end_ = total;
  if (range_low_) range_begin_ = lowerBoundInOrder(*range_low_);
  if (range_high_) range_end_ = upperBoundInOrder(*range_high_);
  if (range_end_ < range_begin_) range_end_ = range_begin_;
  range_low_key_.reset();
  range_high_key_.reset();
  if (order_ < 0 && table_->keyed()) {
    if (range_low_) range_low_key_ = table_->encodeKey(*range_low_);
    if (range_high_) range_high_key_ = table_->encodeKey(*range_high_);
  }
  range_stamp_ = table_->changeCount();
  range_valid_ = true;
}

// After this dataset inserted the row now at table position `ordinal`, and
// nothing else changed the table since the range was worked out, the range
// moves by at most one at each end: the new row lies below it, in it or
// above it. False when that cannot be told this way.
bool Dataset::adjustRangeAfterInsert(uint32_t ordinal, uint64_t stamp_before) {
  if (!range_valid_ || order_ >= 0 || !table_->keyed() || range_stamp_ != stamp_before ||
      table_->changeCount() != stamp_before + 1) {
    return false;
  }
  if (range_low_key_ && table_->compareKey(ordinal, *range_low_key_) < 0) {
    ++range_begin_;
    ++range_end_;
  } else if (!range_high_key_ || table_->compareKey(ordinal, *range_high_key_) <= 0) {
    ++range_end_;
  }
  range_stamp_ = table_->changeCount();
  return true;
}

std::optional<uint32_t> Dataset::currentRangeCount(const Row& key) const {
  if (!active() || !range_valid_ || !range_low_ || !range_high_ ||
      range_stamp_ != table_->changeCount() || *range_low_ != key || *range_high_ != key) {
    return std::nullopt;
  }
  return range_end_ - range_begin_;
}

uint32_t Dataset::recordCount() {
  requireActive();
  return range_end_ - range_begin_;
}

void Dataset::loadCurrent() {
  const size_t n = table_->structure().fields.size();
  if (range_end_ == range_begin_) {
    current_.assign(n, Value{});
    current_pending_ = false;
    pos_ = 0;
    eof_ = bof_ = true;
    return;
  }
  if (pos_ >= range_end_ - range_begin_) pos_ = range_end_ - range_begin_ - 1;
  // The record's bytes are kept and decoded when a value is first asked
  // for: a post moves to the posted row, which is often not read at all.
  // Values in the blob file are decoded now, while the bytes refer to them.
  table_->readRecordBytes(tablePosition(pos_), &current_raw_);
  if (table_->refersToBlobFile(current_raw_.data())) {
    current_ = table_->decodeRecordBytes(current_raw_.data());
    current_pending_ = false;
  } else {
    current_pending_ = true;
  }
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
  range_low_ = low;
  range_high_ = high;
  recomputeRange();
  moveTo(0);
  notify(DataEvent::kDataChange);
}

void Dataset::cancelRange() {
  requireBrowse("cancel the range of");
  range_low_.reset();
  range_high_.reset();
  Row here = currentRow();
  recomputeRange();
  if (range_end_ > range_begin_ && !here.empty() && !IsNull(here.empty() ? Value{} : here[0])) {
    positionOnRecord(here);
  } else {
    moveTo(0);
  }
  notify(DataEvent::kDataChange);
}

Row Dataset::keyOf(const Row& row) const {
  Row key;
  for (int i = 0; i < table_->structure().key_fields; ++i)
    key.push_back(row[static_cast<size_t>(i)]);
  return key;
}

void Dataset::positionOnRecord(const Row& row) {
  uint32_t ordinal = 0;
  if (table_->keyed()) {
    ordinal = table_->lowerBound(keyOf(row));
    if (ordinal >= table_->recordCount()) ordinal = table_->recordCount() - 1;
  }
  uint32_t p = orderPosition(ordinal);
  if (p < range_begin_) p = range_begin_;
  if (p >= range_end_) p = range_end_ > range_begin_ ? range_end_ - 1 : range_begin_;
  moveTo(p - range_begin_);
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

void Dataset::edit() {
  requireActive();
  if (state_ != DatasetState::kBrowse) return;
  if (read_only_) ThrowInvalid("Dataset \"" + table_name_ + "\" is read-only");
  if (range_end_ == range_begin_) {
    insert();
    return;
  }
  current_ = table_->read(tablePosition(pos_));
  current_pending_ = false;
  buffer_ = current_;
  state_ = DatasetState::kEdit;
  notify(DataEvent::kStateChange);
}

void Dataset::insert() {
  requireActive();
  if (read_only_) ThrowInvalid("Dataset \"" + table_name_ + "\" is read-only");
  if (state_ != DatasetState::kBrowse) post();
  buffer_.assign(table_->structure().fields.size(), Value{});
  state_ = DatasetState::kInsert;
  if (master_link_) {
    Row values = master_link_->masterValues();
    const auto& names = master_link_->detailFields();
    for (size_t i = 0; i < names.size() && i < values.size(); ++i) {
      buffer_[fieldByName(names[i]).index()] = values[i];
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

void Dataset::post() {
  requireActive();
  if (state_ == DatasetState::kBrowse) return;
  try {
    if (beforePost) beforePost(*this);
  } catch (const Abort&) {
    return;
  }
  uint32_t ordinal;
  const uint64_t stamp = table_->changeCount();
  const bool inserted = state_ == DatasetState::kInsert;
  if (inserted) {
    ordinal = table_->insert(buffer_);
  } else {
    ordinal = table_->update(tablePosition(pos_), buffer_);
  }
  state_ = DatasetState::kBrowse;
  buffer_.clear();
  if (!inserted || !adjustRangeAfterInsert(ordinal, stamp)) recomputeRange();
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
  notify(DataEvent::kDataChange);
  if (afterPost) afterPost(*this);
}

void Dataset::cancel() {
  requireActive();
  if (state_ == DatasetState::kBrowse) return;
  state_ = DatasetState::kBrowse;
  buffer_.clear();
  loadCurrent();
  notify(DataEvent::kStateChange);
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
  table_->remove(tablePosition(pos_));
  recomputeRange();
  moveTo(std::min(pos_, range_end_ > range_begin_ ? range_end_ - range_begin_ - 1 : 0u));
  notify(DataEvent::kDataChange);
}

size_t Dataset::fieldCount() const { return fields_.size(); }

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

void Dataset::setMaster(Dataset* master, const std::string& master_fields,
                        const std::string& detail_fields) {
  master_link_.reset();
  master_ = master;
  if (!master) {
    range_low_.reset();
    range_high_.reset();
    range_valid_ = false;
    if (active()) refresh();
    return;
  }
  master_link_ = std::make_unique<MasterLink>(*this, *master, SplitNames(master_fields),
                                              SplitNames(detail_fields));
  if (active()) applyMaster();
}

void Dataset::applyMaster() {
  if (!master_link_ || !active() || state_ != DatasetState::kBrowse) return;
  Dataset& m = master_link_->master();
  if (!m.active() || m.state() == DatasetState::kInsert || m.recordCount() == 0) {
    // No master record: no details.
    range_low_ = range_high_ = Row{};
    range_begin_ = range_end_ = 0;
    range_valid_ = false;
    moveTo(0);
    notify(DataEvent::kDataChange);
    return;
  }
  Row values = master_link_->masterValues();
  range_low_ = values;
  range_high_ = values;
  recomputeRange();
  moveTo(0);
  bof_ = true;
  notify(DataEvent::kDataChange);
}

void Dataset::refresh() {
  requireActive();
  if (master_link_) {
    applyMaster();
    return;
  }
  Row here = currentRow();
  recomputeRange();
  if (range_end_ > range_begin_ && !here.empty() && table_->keyed() && !IsNull(here[0])) {
    positionOnRecord(here);
  } else {
    moveTo(std::min(pos_, range_end_ > range_begin_ ? range_end_ - range_begin_ - 1 : 0u));
  }
  notify(DataEvent::kDataChange);
}

void Dataset::addObserver(DatasetObserver* observer) { observers_.push_back(observer); }

void Dataset::removeObserver(DatasetObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void Dataset::enableControls() {
  if (disabled_ > 0 && --disabled_ == 0 && pending_change_) {
    pending_change_ = false;
    notify(DataEvent::kDataChange);
  }
}

void Dataset::notify(DataEvent event) {
  if (disabled_ > 0) {
    pending_change_ = true;
    return;
  }
  auto copy = observers_;
  for (DatasetObserver* o : copy) o->datasetChanged(*this, event);
}

}  // namespace vellum::engine
