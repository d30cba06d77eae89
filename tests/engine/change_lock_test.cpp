// Several programs changing one table: each change waits for another
// program's to end (or gives up with a lock conflict), sees what the other
// wrote, and never changes a record the other changed meanwhile. The other
// program is a second process (tests/child).
#include <gtest/gtest.h>

#include "engine/dataset.h"
#include "engine/errors.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

using paradox::Table;
using test::ChildProcess;

class ChangeLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Table::Create(dir_.path(), "ITEMS", test::RowCommandTable());
    items_ = Open();
    for (int id = 1; id <= 5; ++id) Insert(*items_, id, "row" + std::to_string(id));
  }

  std::unique_ptr<Dataset> Open() {
    auto d = std::make_unique<Dataset>(session_);
    d->setDatabaseName(dir_.path());
    d->setTableName("ITEMS");
    d->open();
    return d;
  }

  static void Insert(Dataset& d, int64_t id, const std::string& name) {
    d.insert();
    d.fieldByName("Id").setAsInteger(id);
    d.fieldByName("Name").setAsString(name);
    d.post();
  }

  // The names of the table's rows by Id, read by a fresh open after the
  // test's datasets are gone.
  std::vector<std::string> NamesOnDisk() {
    items_.reset();
    auto t = Table::Open(dir_.path(), "ITEMS");
    EXPECT_TRUE(t->verify().empty());
    std::vector<std::string> names;
    for (uint32_t i = 0; i < t->recordCount(); ++i) {
      names.push_back(std::get<std::string>(t->read(i)[1]));
    }
    return names;
  }

  std::string Child(const char* command, int64_t id, const std::string& name = "") {
    return std::to_string(test::RunRowCommand(command, dir_.path(), "ITEMS", id, name));
  }

  test::TempDir dir_;
  Session session_{dir_.file("none.conf")};
  std::unique_ptr<Dataset> items_;
};

TEST_F(ChangeLockTest, RowsAnotherProgramPostedAreKeptByTheNextPost) {
  ASSERT_EQ(items_->recordCount(), 5u);  // blocks and counts now held in memory
  for (int id = 10; id < 40; ++id)
    ASSERT_EQ(Child("insert", id, "other" + std::to_string(id)), "0");
  Insert(*items_, 6, "mine");
  EXPECT_EQ(items_->recordCount(), 36u);
  EXPECT_EQ(NamesOnDisk().size(), 36u);
}

TEST_F(ChangeLockTest, AChangeWaitsForAnotherProgramAndGivesUpWithALockConflict) {
  ChildProcess holder({"hold", dir_.path(), "ITEMS", "1500"});
  ASSERT_EQ(holder.readLine(), "held");
  session_.setLockWaitMs(100);
  auto quick = Open();
  quick->insert();
  quick->fieldByName("Id").setAsInteger(7);
  try {
    quick->post();
    FAIL() << "posted while another program held the table";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), MakeCode(ErrorCategory::kLockConflict, subcode::kLockTimeout));
  }
  EXPECT_EQ(quick->state(), DatasetState::kInsert);  // the row is still the user's
  // A longer wait outlasts the other program's change.
  session_.setLockWaitMs(20000);
  auto patient = Open();
  Insert(*patient, 8, "waited");
  quick.reset();
  patient.reset();
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_EQ(NamesOnDisk().size(), 6u);
}

TEST_F(ChangeLockTest, PostingAnEditOfARecordAnotherProgramChangedIsRefused) {
  ASSERT_TRUE(items_->findKey({Value{int64_t{3}}}));
  items_->edit();
  items_->fieldByName("Name").setAsString("mine");
  ASSERT_EQ(Child("rename", 3, "theirs"), "0");
  try {
    items_->post();
    FAIL() << "an edit overwrote another program's change";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), MakeCode(ErrorCategory::kLockConflict, subcode::kRecordChanged));
  }
  EXPECT_EQ(items_->state(), DatasetState::kEdit);
  items_->cancel();
  EXPECT_EQ(items_->fieldByName("Name").asString(), "theirs");
  EXPECT_EQ(NamesOnDisk(), (std::vector<std::string>{"row1", "row2", "theirs", "row4", "row5"}));
}

TEST_F(ChangeLockTest, DeletingARecordAnotherProgramDeletedDeletesNothingElse) {
  ASSERT_TRUE(items_->findKey({Value{int64_t{4}}}));
  ASSERT_EQ(Child("delete", 4), "0");
  EXPECT_THROW(items_->remove(), EDBEngineError);
  EXPECT_EQ(NamesOnDisk(), (std::vector<std::string>{"row1", "row2", "row3", "row5"}));
}

TEST_F(ChangeLockTest, ADatasetFindsAnotherProgramsChangesWhenItLooks) {
  auto by_name = Open();
  by_name->setIndexName("ByName");
  int resets = 0;
  Subscription s = by_name->subscribe([&](Dataset&, const DataChange& c) {
    if (c.event == DataEvent::kReset) ++resets;
  });
  EXPECT_FALSE(by_name->checkForOutsideChanges());
  ASSERT_EQ(Child("insert", 9, "aaa"), "0");
  EXPECT_TRUE(by_name->checkForOutsideChanges());
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(by_name->rowCount(), 6u);
  EXPECT_EQ(std::get<std::string>(by_name->rowAt(0)[1]), "aaa");
  EXPECT_EQ(items_->rowCount(), 6u);  // the other handle of this process too
}

}  // namespace
}  // namespace vellum::engine
