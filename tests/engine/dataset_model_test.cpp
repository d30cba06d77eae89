// A dataset driving a table model: a model in the shape of Qt's
// QAbstractTableModel, without Qt, keeps a copy of a dataset's rows through
// the dataset's notices alone. After random inserts, edits, deletes, range
// changes, another handle's posts and another process's, the copy must equal
// the rows the dataset shows, and both must equal the rows worked out
// independently from what was written.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "engine/dataset.h"
#include "engine/errors.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

using paradox::Table;

// Keeps a copy of a dataset's rows from the notices alone. On every "about
// to" notice it checks, as Qt's model tester does, that the dataset still
// shows the rows of the copy; it checks that each notice comes with its
// partner and that positions lie inside the rows.
class RecordingModel {
 public:
  explicit RecordingModel(Dataset& dataset) : dataset_(dataset) {
    rows_ = dataset.rows(0, dataset.rowCount());
    subscription_ = dataset.subscribe([this](Dataset&, const DataChange& c) { onNotice(c); });
  }
  const std::vector<Row>& rows() const { return rows_; }
  const std::vector<std::string>& faults() const { return faults_; }
  int notices() const { return notices_; }

 private:
  void fault(const std::string& what) { faults_.push_back(what); }

  // The dataset still shows what the copy holds.
  void expectUnchanged(const char* when) {
    if (dataset_.rowCount() != rows_.size()) {
      return fault(std::string(when) + ": the rows changed before the notice");
    }
    if (dataset_.rows(0, dataset_.rowCount()) != rows_) {
      fault(std::string(when) + ": a row changed before the notice");
    }
  }

  void onNotice(const DataChange& c) {
    ++notices_;
    if (awaiting_ && c.event != *awaiting_) {
      fault(std::string("expected ") + DataEventName(*awaiting_) + ", got " +
            DataEventName(c.event));
    }
    const bool announced = awaiting_ == c.event;
    awaiting_.reset();
    if (!announced && (c.event == DataEvent::kInserted || c.event == DataEvent::kRemoved ||
                       c.event == DataEvent::kMoved || c.event == DataEvent::kReset)) {
      fault(std::string(DataEventName(c.event)) + " without its notice before");
    }
    const auto size = static_cast<uint32_t>(rows_.size());
    switch (c.event) {
      case DataEvent::kAboutToInsert:
        if (c.first > size) fault("insert past the end");
        expectUnchanged("AboutToInsert");
        awaiting_ = DataEvent::kInserted;
        break;
      case DataEvent::kInserted:
        rows_.insert(rows_.begin() + c.first, dataset_.rowAt(c.first));
        break;
      case DataEvent::kAboutToRemove:
        if (c.first >= size) fault("remove past the end");
        expectUnchanged("AboutToRemove");
        awaiting_ = DataEvent::kRemoved;
        break;
      case DataEvent::kRemoved:
        rows_.erase(rows_.begin() + c.first);
        break;
      case DataEvent::kAboutToMove:
        if (c.first >= size || c.to >= size || c.first == c.to) fault("a move nowhere");
        expectUnchanged("AboutToMove");
        awaiting_ = DataEvent::kMoved;
        break;
      case DataEvent::kMoved:
        rows_.erase(rows_.begin() + c.first);
        rows_.insert(rows_.begin() + c.to, dataset_.rowAt(c.to));
        break;
      case DataEvent::kChanged:
        if (c.first >= size) fault("change past the end");
        rows_[c.first] = dataset_.rowAt(c.first);
        break;
      case DataEvent::kAboutToReset:
        awaiting_ = DataEvent::kReset;
        break;
      case DataEvent::kReset:
        rows_ = dataset_.rows(0, dataset_.rowCount());
        break;
      default:
        break;
    }
    if (c.event == DataEvent::kInserted || c.event == DataEvent::kRemoved ||
        c.event == DataEvent::kMoved || c.event == DataEvent::kChanged) {
      if (dataset_.rowCount() != rows_.size()) fault("the count disagrees after the notice");
    }
  }

  Dataset& dataset_;
  std::vector<Row> rows_;
  std::vector<std::string> faults_;
  std::optional<DataEvent> awaiting_;
  int notices_ = 0;
  Subscription subscription_;
};

// What the table holds, kept apart from the engine: id -> name.
using Expected = std::map<int64_t, std::string>;

struct Order {
  const char* label;
  const char* index;  // "" for the primary key
};
void PrintTo(const Order& order, std::ostream* out) { *out << order.label; }

class DatasetModelTest : public ::testing::TestWithParam<Order> {
 protected:
  void SetUp() override { Table::Create(dir_.path(), "ITEMS", test::RowCommandTable()); }

  std::unique_ptr<Dataset> Open() {
    auto d = std::make_unique<Dataset>(session_);
    d->setDatabaseName(dir_.path());
    d->setTableName("ITEMS");
    d->setIndexName(GetParam().index);
    d->open();
    return d;
  }

  // The rows a dataset in this test's order and range must show.
  std::vector<Row> Shown(const Expected& rows) const {
    std::vector<Row> out;
    for (const auto& [id, name] : rows) {
      const bool primary = *GetParam().index == '\0';
      if (range_ && primary && (id < range_->first || id > range_->second)) continue;
      if (range_ && !primary && (name < name_range_.first || name > name_range_.second)) continue;
      out.push_back(Row{Value{id}, Value{name}});
    }
    if (*GetParam().index != '\0') {
      std::stable_sort(out.begin(), out.end(), [](const Row& a, const Row& b) {
        return std::get<std::string>(a[1]) < std::get<std::string>(b[1]);
      });
    }
    return out;
  }

  test::TempDir dir_;
  Session session_{dir_.file("none.conf")};
  std::optional<std::pair<int64_t, int64_t>> range_;
  std::pair<std::string, std::string> name_range_;
};

void Post(Dataset& d, int64_t id, const std::string& name) {
  d.fieldByName("Id").setAsInteger(id);
  d.fieldByName("Name").setAsString(name);
  d.post();
}

// Another process inserts or deletes one row through a dataset of its own.
void InAnotherProcess(const std::string& dir, int64_t id, const std::string& name, bool remove) {
  const int status = test::RunRowCommand(remove ? "delete" : "insert", dir, "ITEMS", id, name);
  ASSERT_EQ(status, 0) << "the other process failed";
}

TEST_P(DatasetModelTest, AModelKeptByNoticesAloneEqualsTheDatasetAfterRandomChanges) {
  auto shown = Open();  // the dataset the model shows
  auto other = Open();  // another handle of this process on the table
  RecordingModel model(*shown);
  Expected expected;
  std::mt19937 rng(20240611);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto name = [&] {
    return std::string(1, static_cast<char>('a' + pick(6))) + "x" + std::to_string(pick(9));
  };
  auto free_id = [&] {
    int64_t id;
    do id = pick(400);
    while (expected.count(id));
    return id;
  };
  // Makes a random existing row current in `d`; false when it shows none.
  auto go_somewhere = [&](Dataset& d) {
    if (d.rowCount() == 0) return false;
    return d.gotoBookmark(
        d.bookmarkAt(static_cast<uint32_t>(pick(static_cast<int>(d.rowCount())))));
  };
  for (int step = 0; step < 400; ++step) {
    const int what = pick(100);
    Dataset& d = what % 2 ? *shown : *other;
    std::string done;
    if (what < 40) {
      const int64_t id = free_id();
      const std::string n = name();
      d.insert();
      Post(d, id, n);
      expected[id] = n;
      done = "insert";
    } else if (what < 60 && go_somewhere(d)) {
      const int64_t old_id = d.fieldByName("Id").asInteger();
      const int64_t id = pick(3) == 0 ? free_id() : old_id;  // sometimes a new key
      const std::string n = name();
      d.edit();
      Post(d, id, n);
      expected.erase(old_id);
      expected[id] = n;
      done = "edit";
    } else if (what < 75 && go_somewhere(d)) {
      expected.erase(d.fieldByName("Id").asInteger());
      d.remove();
      done = "delete";
    } else if (what < 82) {
      const int64_t low = pick(400), high = low + pick(200);
      const std::string nlow = name(), nhigh = nlow + "~";
      if (*GetParam().index == '\0') {
        shown->setRange({Value{low}}, {Value{high}});
      } else {
        shown->setRange({Value{nlow}}, {Value{nhigh}});
      }
      range_ = std::make_pair(low, high);
      name_range_ = {nlow, nhigh};
      done = "range";
    } else if (what < 86) {
      shown->cancelRange();
      range_.reset();
      done = "no range";
    } else if (what < 90) {
      const int64_t id = free_id();
      const std::string n = name();
      InAnotherProcess(dir_.path(), id, n, false);
      expected[id] = n;
      EXPECT_TRUE(shown->checkForOutsideChanges());
      done = "another process's insert";
    } else if (what < 92 && !expected.empty()) {
      auto it = expected.begin();
      std::advance(it, pick(static_cast<int>(expected.size())));
      InAnotherProcess(dir_.path(), it->first, "", true);
      expected.erase(it);
      other->refresh();  // found by the other handle, told to both
      done = "another process's delete";
    } else {
      continue;
    }
    ASSERT_TRUE(model.faults().empty())
        << "step " << step << " (" << done << "): " << model.faults()[0];
    const std::vector<Row> want = Shown(expected);
    ASSERT_EQ(shown->rows(0, shown->rowCount()), want) << "step " << step << " (" << done << ")";
    ASSERT_EQ(model.rows(), want) << "step " << step << " (" << done << ")";
  }
  EXPECT_GT(model.notices(), 400);
  EXPECT_TRUE(shown->table().verify().empty());
}

INSTANTIATE_TEST_SUITE_P(Orders, DatasetModelTest,
                         ::testing::Values(Order{"PrimaryKey", ""},
                                           Order{"SecondaryIndex", "ByName"}),
                         [](const ::testing::TestParamInfo<Order>& info) {
                           return info.param.label;
                         });

}  // namespace
}  // namespace vellum::engine
