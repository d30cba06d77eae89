#include "engine/dataset.h"

#include <gtest/gtest.h>

#include <array>

#include "engine/errors.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

using paradox::FieldDef;
using paradox::IndexDef;
using paradox::Table;
using paradox::TableDefinition;
using test::TempDir;

class DatasetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TableDefinition masters;
    masters.fields = {{"Codice", FieldType::kAutoInc, 0, false},
                      {"Nome", FieldType::kString, 20, false}};
    masters.indexes = {{"", {"Codice"}, true, true, false, false},
                       {"PerNome", {"Nome"}, false, true, false, true}};
    Table::Create(dir_.path(), "MASTER", masters);
    TableDefinition details;
    details.fields = {{"CodTabella", FieldType::kInteger, 0, false},
                      {"Posizione", FieldType::kSmallint, 0, false},
                      {"Nome", FieldType::kString, 20, false}};
    details.indexes = {{"", {"CodTabella", "Posizione"}, true, true, false, false},
                       {"PerNome", {"CodTabella", "Nome"}, false, true, false, true}};
    Table::Create(dir_.path(), "DETAIL", details);
  }

  std::unique_ptr<Dataset> OpenOn(const std::string& table) {
    auto ds = std::make_unique<Dataset>(session_);
    ds->setDatabaseName(dir_.path());
    ds->setTableName(table);
    ds->open();
    return ds;
  }

  void AddDetail(Dataset& d, int64_t code, int64_t pos, const std::string& name) {
    d.insert();
    d.fieldByName("CodTabella").setAsInteger(code);
    d.fieldByName("Posizione").setAsInteger(pos);
    d.fieldByName("Nome").setAsString(name);
    d.post();
  }

  TempDir dir_;
  Session session_{dir_.file("none.conf")};
};

TEST_F(DatasetTest, AutoIncAtPostNamedIndexOrderAndNearestSearch) {
  auto m = OpenOn("MASTER");
  for (const char* name : {"delta", "Alpha", "charlie", "Bravo"}) {
    m->insert();
    EXPECT_TRUE(m->fieldByName("Codice").isNull());
    m->fieldByName("Nome").setAsString(name);
    m->post();
  }
  EXPECT_EQ(m->recordCount(), 4u);
  m->first();
  EXPECT_EQ(m->fieldByName("Codice").asInteger(), 1);
  m->last();
  EXPECT_EQ(m->fieldByName("Codice").asInteger(), 4);
  EXPECT_EQ(m->fieldByName("Nome").asString(), "Bravo");

  m->setIndexName("PerNome");  // case-insensitive order
  std::vector<std::string> order;
  for (m->first(); !m->eof(); m->next()) order.push_back(m->fieldByName("Nome").asString());
  EXPECT_EQ(order, (std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}));
  EXPECT_TRUE(m->findKey({std::string("CHARLIE")}));
  EXPECT_EQ(m->fieldByName("Codice").asInteger(), 3);
  EXPECT_FALSE(m->findKey({std::string("echo")}));
  EXPECT_EQ(m->fieldByName("Codice").asInteger(), 3);  // a failed search does not move
  m->findNearest({std::string("c")});
  EXPECT_EQ(m->fieldByName("Nome").asString(), "charlie");
}

TEST_F(DatasetTest, RangesOnALeadingPartOfACompositeKey) {
  auto d = OpenOn("DETAIL");
  for (int code = 1; code <= 3; ++code) {
    for (int pos = 1; pos <= 4; ++pos)
      AddDetail(*d, code, pos, "f" + std::to_string(code * 10 + pos));
  }
  d->setRange({int64_t{2}}, {int64_t{2}});
  EXPECT_EQ(d->recordCount(), 4u);
  d->first();
  EXPECT_EQ(d->fieldByName("Posizione").asInteger(), 1);
  d->last();
  EXPECT_EQ(d->fieldByName("Posizione").asInteger(), 4);
  EXPECT_EQ(d->fieldByName("CodTabella").asInteger(), 2);
  d->setRange({int64_t{1}, int64_t{3}}, {int64_t{2}, int64_t{2}});
  EXPECT_EQ(d->recordCount(), 4u);  // (1,3) (1,4) (2,1) (2,2)
  EXPECT_TRUE(d->findKey({int64_t{2}, int64_t{2}}));
  EXPECT_FALSE(d->findKey({int64_t{3}, int64_t{1}}));  // outside the range
  d->cancelRange();
  EXPECT_EQ(d->recordCount(), 12u);
  d->findNearest({int64_t{3}, int64_t{0}});
  EXPECT_EQ(d->fieldByName("CodTabella").asInteger(), 3);
  EXPECT_EQ(d->fieldByName("Posizione").asInteger(), 1);
}

TEST_F(DatasetTest, ARangeFollowsPostsBelowInsideAndAboveItAndOtherHandlesChanges) {
  auto d = OpenOn("DETAIL");
  auto other = OpenOn("DETAIL");
  for (int code = 2; code <= 4; ++code) {
    for (int pos = 1; pos <= 3; ++pos)
      AddDetail(*d, code, pos, "r" + std::to_string(code * 10 + pos));
  }
  d->setRange({int64_t{3}}, {int64_t{3}});
  // What the range must show: rows of code 3 in key order.
  auto expect_range = [&](const std::vector<int64_t>& positions, const char* when) {
    ASSERT_EQ(d->recordCount(), positions.size()) << when;
    d->first();
    for (int64_t p : positions) {
      ASSERT_FALSE(d->eof()) << when;
      EXPECT_EQ(d->fieldByName("CodTabella").asInteger(), 3) << when;
      EXPECT_EQ(d->fieldByName("Posizione").asInteger(), p) << when;
      d->next();
    }
  };
  AddDetail(*d, 1, 1, "below");  // before the range: both ends move
  expect_range({1, 2, 3}, "after a post below");
  AddDetail(*d, 3, 0, "first");  // at its start
  AddDetail(*d, 3, 9, "last");   // at its end
  expect_range({0, 1, 2, 3, 9}, "after posts inside");
  AddDetail(*d, 5, 1, "above");
  expect_range({0, 1, 2, 3, 9}, "after a post above");
  // A row posted through another handle on the table is seen too.
  AddDetail(*other, 3, 5, "elsewhere");
  AddDetail(*d, 2, 7, "below again");
  expect_range({0, 1, 2, 3, 5, 9}, "after another handle's post");
  d->cancelRange();
  EXPECT_EQ(d->recordCount(), 15u);
}

TEST_F(DatasetTest, DetailFollowsItsMasterAndNewDetailRowsTakeTheMasterKey) {
  auto m = OpenOn("MASTER");
  auto d = OpenOn("DETAIL");
  for (const char* name : {"one", "two"}) {
    m->insert();
    m->fieldByName("Nome").setAsString(name);
    m->post();
  }
  AddDetail(*d, 1, 1, "a");
  AddDetail(*d, 1, 2, "b");
  AddDetail(*d, 2, 1, "c");
  d->setIndexFieldNames("CodTabella");
  d->setMaster(m.get(), "Codice", "CodTabella");
  m->first();
  EXPECT_EQ(d->recordCount(), 2u);
  m->next();
  EXPECT_EQ(d->recordCount(), 1u);
  EXPECT_EQ(d->fieldByName("Nome").asString(), "c");
  d->insert();
  EXPECT_EQ(d->fieldByName("CodTabella").asInteger(), 2);
  d->fieldByName("Posizione").setAsInteger(2);
  d->fieldByName("Nome").setAsString("d");
  d->post();
  EXPECT_EQ(d->recordCount(), 2u);
  m->first();
  EXPECT_EQ(d->recordCount(), 2u);
  d->first();
  EXPECT_EQ(d->fieldByName("Nome").asString(), "a");
}

TEST_F(DatasetTest, EventsCanAbandonSilentlyAndKeyViolationsChangeNothing) {
  auto d = OpenOn("DETAIL");
  AddDetail(*d, 1, 1, "x");
  int before_delete = 0;
  d->beforeDelete = [&](Dataset&) {
    ++before_delete;
    throw Abort{};
  };
  d->remove();
  EXPECT_EQ(before_delete, 1);
  EXPECT_EQ(d->recordCount(), 1u);

  d->beforePost = [](Dataset& ds) {
    if (ds.fieldByName("Nome").isNull()) throw Abort{};
  };
  d->insert();
  d->fieldByName("CodTabella").setAsInteger(1);
  d->fieldByName("Posizione").setAsInteger(2);
  d->post();  // abandoned: still inserting
  EXPECT_EQ(d->state(), DatasetState::kInsert);
  d->insert();  // posts first: abandoned again, and what was typed stays
  EXPECT_EQ(d->state(), DatasetState::kInsert);
  EXPECT_EQ(d->fieldByName("Posizione").asInteger(), 2);
  d->cancel();
  EXPECT_EQ(d->recordCount(), 1u);

  d->insert();
  d->fieldByName("CodTabella").setAsInteger(1);
  d->fieldByName("Posizione").setAsInteger(1);
  d->fieldByName("Nome").setAsString("dup");
  try {
    d->post();
    FAIL() << "duplicate key posted";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kIntegrity);
  }
  d->cancel();
  d->insert();
  d->fieldByName("CodTabella").setAsInteger(1);
  d->fieldByName("Posizione").setAsInteger(3);
  d->fieldByName("Nome").setAsString("X");  // same name, case-insensitive unique
  EXPECT_THROW(d->post(), EDBEngineError);
  d->cancel();
  EXPECT_EQ(d->recordCount(), 1u);
  EXPECT_TRUE(d->table().verify().empty());
}

TEST_F(DatasetTest, DisplayLabelsAreKeptByNameAcrossReopeningAndAnnounced) {
  Dataset d(session_);
  d.setDatabaseName(dir_.path());
  d.setTableName("DETAIL");
  d.setDisplayLabel("posizione", "Pos.");  // closed, another letter case
  d.open();
  EXPECT_EQ(d.fieldByName("Posizione").displayLabel(), "Pos.");
  EXPECT_EQ(d.fieldByName("Nome").displayLabel(), "Nome");
  std::vector<std::pair<DataEvent, uint32_t>> notices;
  auto subscription =
      d.subscribe([&](Dataset&, const DataChange& c) { notices.emplace_back(c.event, c.first); });
  d.fieldByName("Nome").setDisplayLabel("Name");
  d.fieldByName("Nome").setDisplayLabel("Name");  // unchanged: no notice
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], std::make_pair(DataEvent::kLabelChange, uint32_t{2}));
  d.close();
  d.open();
  EXPECT_EQ(d.fieldByName("Nome").displayLabel(), "Name");
  d.setDisplayLabel("Nome", "");  // back to the field's name
  EXPECT_EQ(d.fieldByName("Nome").displayLabel(), "Nome");
}

TEST_F(DatasetTest, BookmarksSurviveInsertsAndTwoDatasetsSeeEachOther) {
  auto a = OpenOn("DETAIL");
  auto b = OpenOn("DETAIL");
  AddDetail(*a, 5, 5, "five");
  auto mark = a->bookmark();
  for (int i = 1; i <= 4; ++i) AddDetail(*a, 1, static_cast<int64_t>(i), "n" + std::to_string(i));
  a->first();
  EXPECT_TRUE(a->gotoBookmark(mark));
  EXPECT_EQ(a->fieldByName("Nome").asString(), "five");
  b->refresh();
  EXPECT_EQ(b->recordCount(), 5u);
  b->last();
  b->edit();
  b->fieldByName("Nome").setAsString("FIVE");
  b->post();
  a->refresh();
  EXPECT_EQ(a->fieldByName("Nome").asString(), "FIVE");
}

// Counts the notices of each kind a dataset sends.
struct NoticeCounts {
  explicit NoticeCounts(Dataset& d)
      : subscription(d.subscribe(
            [this](Dataset&, const DataChange& c) { ++counts[static_cast<size_t>(c.event)]; })) {}
  int operator[](DataEvent e) const { return counts[static_cast<size_t>(e)]; }
  int total() const {
    int n = 0;
    for (int c : counts) n += c;
    return n;
  }
  std::array<int, 16> counts{};
  Subscription subscription;
};

TEST_F(DatasetTest, NotificationsAreSuspendedAroundBulkChangesAndEndInOneReset) {
  auto d = OpenOn("DETAIL");
  NoticeCounts seen(*d);
  d->disableControls();
  for (int i = 1; i <= 5; ++i) AddDetail(*d, 1, i, "r" + std::to_string(i));
  // The first change opens a reset; nothing else is told while suspended.
  EXPECT_EQ(seen.total(), 1);
  EXPECT_EQ(seen[DataEvent::kAboutToReset], 1);
  d->enableControls();
  EXPECT_EQ(seen[DataEvent::kReset], 1);
  EXPECT_EQ(seen[DataEvent::kInserted], 0);
  d->first();
  d->next();
  EXPECT_GE(seen[DataEvent::kScroll], 2);
}

TEST_F(DatasetTest, ReadingRowsMovesNeitherTheCursorNorADetail) {
  auto m = OpenOn("MASTER");
  auto d = OpenOn("DETAIL");
  for (const char* name : {"one", "two", "three"}) {
    m->insert();
    m->fieldByName("Nome").setAsString(name);
    m->post();
  }
  for (int code = 1; code <= 3; ++code) AddDetail(*d, code, 1, "of " + std::to_string(code));
  d->setIndexFieldNames("CodTabella");
  d->setMaster(m.get(), "Codice", "CodTabella");
  m->setIndexName("PerNome");  // one, three, two
  m->first();
  ASSERT_EQ(d->fieldByName("Nome").asString(), "of 1");
  NoticeCounts master_seen(*m), detail_seen(*d);
  EXPECT_EQ(m->rowCount(), 3u);
  EXPECT_EQ(std::get<std::string>(m->rowAt(2)[1]), "two");
  EXPECT_EQ(std::get<std::string>(m->valueAt(1, 1)), "three");
  EXPECT_EQ(m->bookmarkAt(1), (Row{Value{int64_t{3}}}));
  EXPECT_EQ(m->rows(1, 5).size(), 2u);
  EXPECT_THROW(m->rowAt(3), EDBEngineError);
  EXPECT_EQ(m->fieldByName("Nome").asString(), "one");
  EXPECT_EQ(m->currentPosition(), 0u);
  EXPECT_EQ(d->fieldByName("Nome").asString(), "of 1");
  EXPECT_EQ(master_seen.total() + detail_seen.total(), 0);
}

TEST_F(DatasetTest, AMasterOrAnObservedDatasetCanGoFirst) {
  auto m = OpenOn("MASTER");
  auto d = OpenOn("DETAIL");
  m->insert();
  m->fieldByName("Nome").setAsString("one");
  m->post();
  AddDetail(*d, 1, 1, "a");
  d->setIndexFieldNames("CodTabella");
  d->setMaster(m.get(), "Codice", "CodTabella");
  ASSERT_EQ(d->recordCount(), 1u);
  NoticeCounts seen(*m);
  Subscription kept = m->subscribe([](Dataset&, const DataChange&) {});
  m.reset();  // before its detail and its observers
  EXPECT_EQ(seen[DataEvent::kDestroyed], 1);
  EXPECT_FALSE(kept.active());
  kept.reset();
  // The detail keeps its rows, follows nothing and still works.
  EXPECT_EQ(d->recordCount(), 1u);
  AddDetail(*d, 1, 2, "b");
  EXPECT_EQ(d->recordCount(), 2u);
  d.reset();
}

TEST_F(DatasetTest, AnObserverCanUnsubscribeAnotherFromANotice) {
  auto d = OpenOn("DETAIL");
  int second_told = 0;
  Subscription second;
  Subscription first = d->subscribe([&](Dataset&, const DataChange&) { second.reset(); });
  second = d->subscribe([&](Dataset&, const DataChange&) { ++second_told; });
  AddDetail(*d, 1, 1, "x");
  EXPECT_EQ(second_told, 0);
  EXPECT_FALSE(second.active());
  EXPECT_TRUE(first.active());
}

TEST(DatasetSnapshotTest, TheCurrentRowFollowsAnotherViewsChangeOfTheRecord) {
  TempDir dir;
  TableDefinition def;
  def.fields = {{"Id", FieldType::kInteger, 0, false},
                {"Name", FieldType::kString, 20, false},
                {"Note", FieldType::kMemo, 10, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false}};
  Table::Create(dir.path(), "NOTES", def);
  Session session(dir.file("none.conf"));
  auto open = [&] {
    auto ds = std::make_unique<Dataset>(session);
    ds->setDatabaseName(dir.path());
    ds->setTableName("NOTES");
    ds->open();
    return ds;
  };
  auto a = open();
  auto b = open();
  const std::string long_note(400, 'x');  // kept in the blob file
  for (int id = 1; id <= 2; ++id) {
    a->insert();
    a->fieldByName("Id").setAsInteger(id);
    a->fieldByName("Name").setAsString("before" + std::to_string(id));
    a->fieldByName("Note").setAsString(id == 1 ? long_note : "short");
    a->post();
  }
  a->first();
  b->first();
  b->edit();
  b->fieldByName("Name").setAsString("after");
  b->fieldByName("Note").setAsString(std::string(500, 'y'));  // frees the old value
  b->post();
  a->next();
  a->prior();  // moving again reads the record anew
  EXPECT_EQ(a->fieldByName("Name").asString(), "after");
  EXPECT_EQ(a->fieldByName("Note").asString(), std::string(500, 'y'));
  // A view that has not moved is told of the change and reads the record
  // anew, never the blob space the change freed.
  auto c = open();
  c->first();
  b->edit();
  b->fieldByName("Name").setAsString("again");
  b->fieldByName("Note").setAsString(std::string(300, 'z'));
  b->post();
  EXPECT_EQ(c->fieldByName("Name").asString(), "again");
  EXPECT_EQ(c->fieldByName("Note").asString(), std::string(300, 'z'));
}

}  // namespace
}  // namespace vellum::engine
