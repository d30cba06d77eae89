// The Load command as the management window runs it: the chooser answered
// as a user would, the loader's questions from a script, the window's
// caption and cursor during the run, and Cancel between tables.
#include "loading/ui/load_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"

namespace vellum::loading {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCaption = "Data dictionary manager";

// The alias SHOP holds A (two fields), B (three) and C (one). The window is
// a plain one with a caption and a Cancel button.
class LoadCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    fs::create_directories(shop_);
    MakeTable("A", 2);
    MakeTable("B", 3);
    MakeTable("C", 1);
    test::WriteFile(dir_.file("aliases.conf"), "SHOP STANDARD " + shop_ + "\n");
    dictionary::CreateDictionaryTables(dict_);
    dm_ = std::make_unique<dictionary::TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
    window_.setWindowTitle(kCaption);
    cancel_ = new QPushButton("Cancel", &window_);
    chooser_ = new TSceltaTabelleDlg(*dm_, &window_);
    command_ = new LoadCommand(window_, *chooser_, *dm_, ui_);
    command_->setCancelButton(cancel_);
  }

  void MakeTable(const std::string& name, int fields) {
    engine::paradox::TableDefinition def;
    for (int i = 0; i < fields; ++i) {
      def.fields.push_back({"F" + std::to_string(i), engine::FieldType::kInteger, 0, false});
    }
    engine::paradox::Table::Create(shop_, name, def);
  }

  // The user, when the chooser shows: types `source`, moves every table
  // with ">>" and presses OK (or Cancel when `ok` is false).
  void AnswerChooser(const QString& source, bool ok = true) {
    test::WhenVisible(chooser_, [this, source, ok] {
      QLineEdit* edit = test::Child<QComboBox>(chooser_, "cbAliases")->lineEdit();
      edit->setFocus();
      QTest::keyClicks(edit, source);
      QTest::mouseClick(test::Child<QPushButton>(chooser_, "IncAllBtn"), Qt::LeftButton);
      QTest::mouseClick(test::Child<QPushButton>(chooser_, ok ? "OKBtn" : "CancelBtn"),
                        Qt::LeftButton);
    });
  }

  // The dictionary's tables of `alias`, each with its number of field rows.
  std::map<std::string, int> Loaded(const std::string& alias) {
    std::map<std::string, int> loaded;
    auto& tables = dm_->tblTables;
    for (tables.first(); !tables.eof(); tables.next()) {
      if (tables.fieldByName("Alias").asString() != alias) continue;
      loaded[tables.fieldByName("Nome").asString()] =
          static_cast<int>(dm_->tblFields.recordCount());
    }
    return loaded;
  }

  test::TempDir dir_;
  std::string dict_ = dir_.file("dict");
  std::string shop_ = dir_.file("shop");
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<dictionary::TdmDataDictionary> dm_;
  QWidget window_;
  QPushButton* cancel_ = nullptr;
  TSceltaTabelleDlg* chooser_ = nullptr;
  LoadCommand* command_ = nullptr;
};

TEST_F(LoadCommandTest, ALoadWritesTheChosenTablesWithTheCaptionAndCursorOfARun) {
  QStringList captions;
  bool busy = true;
  bool cancel_shown = true;
  test::WhileRunning(
      &window_, [this] { return command_->running(); },
      [&] {
        if (captions.isEmpty() || captions.back() != window_.windowTitle()) {
          captions << window_.windowTitle();
        }
        const QCursor* cursor = QGuiApplication::overrideCursor();
        busy = busy && cursor && cursor->shape() == Qt::WaitCursor;
        cancel_shown = cancel_shown && cancel_->isVisible() && cancel_->isEnabled();
      });
  window_.show();
  AnswerChooser("SHOP");
  const std::optional<LoadReport> report = command_->Carica1Click();
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->end, LoadReport::End::kFinished);
  EXPECT_EQ(Loaded("SHOP"), (std::map<std::string, int>{{"A", 2}, {"B", 3}, {"C", 1}}));
  EXPECT_EQ(captions, QStringList({"Loading \"A", "Loading \"B", "Loading \"C"}));
  EXPECT_TRUE(busy);
  EXPECT_TRUE(cancel_shown);
  // Afterwards: the window's caption and cursor, and no Cancel.
  EXPECT_EQ(window_.windowTitle(), kCaption);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(cancel_->isVisible());
  EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(LoadCommandTest, TheUpgradeQuestionIsAnsweredThroughTheQuestions) {
  window_.show();
  AnswerChooser("SHOP");
  ASSERT_TRUE(command_->Carica1Click().has_value());
  // B gains a field; loaded again, A is left as it was (No) and B upgraded
  // together with C (All).
  fs::remove(shop_ + "/B.DB");
  MakeTable("B", 4);
  ui_.answers = {Answer::kNo, Answer::kAll};
  AnswerChooser("SHOP");
  const std::optional<LoadReport> report = command_->Carica1Click();
  ASSERT_TRUE(report.has_value());
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[0].text,
            "The table \"SHOP.A\" has been already loaded. Do you confirm the upgrade?");
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kConfirmation);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kYesNoCancelAll);
  EXPECT_EQ(ui_.shown[1].text,
            "The table \"SHOP.B\" has been already loaded. Do you confirm the upgrade?");
  EXPECT_EQ(Loaded("SHOP"), (std::map<std::string, int>{{"A", 2}, {"B", 4}, {"C", 1}}));
  EXPECT_EQ(report->count(TableLoad::Result::kKept), 1u);
  EXPECT_EQ(report->count(TableLoad::Result::kUpgraded), 2u);
}

TEST_F(LoadCommandTest, CancelStopsTheLoadBeforeTheNextTable) {
  // The user presses Cancel while B is being loaded.
  test::WhileRunning(
      &window_, [this] { return command_->running(); },
      [this] {
        if (window_.windowTitle() == "Loading \"B" && cancel_->isEnabled()) {
          QTest::mouseClick(cancel_, Qt::LeftButton);
        }
      });
  window_.show();
  AnswerChooser("SHOP");
  const std::optional<LoadReport> report = command_->Carica1Click();
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->end, LoadReport::End::kStopped);
  EXPECT_EQ(Loaded("SHOP"), (std::map<std::string, int>{{"A", 2}, {"B", 3}}));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, "The load stopped before the table \"C\".");
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kInformation);
  EXPECT_EQ(window_.windowTitle(), kCaption);
  EXPECT_FALSE(cancel_->isVisible());
  EXPECT_FALSE(command_->running());
}

TEST_F(LoadCommandTest, ACancelledChooserChangesNothing) {
  window_.show();
  AnswerChooser("SHOP", false);
  EXPECT_FALSE(command_->Carica1Click().has_value());
  EXPECT_TRUE(Loaded("SHOP").empty());
  EXPECT_EQ(window_.windowTitle(), kCaption);
  EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(LoadCommandTest, AFailedLoadLeavesTheWindowAsItWas) {
  window_.show();
  // A dictionary opened for reading only: the loader refuses it.
  dm_->OpenDictionary(dict_, dictionary::TdmDataDictionary::Access::kReadOnly);
  AnswerChooser("SHOP");
  try {
    command_->Carica1Click();
    ADD_FAILURE() << "the load was not refused";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("cannot be changed"), std::string::npos) << e.what();
  }
  EXPECT_EQ(window_.windowTitle(), kCaption);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(command_->running());
  EXPECT_FALSE(cancel_->isVisible());
}

TEST_F(LoadCommandTest, WhileAnotherRunHoldsTheDictionaryTheChooserIsNotShown) {
  window_.show();
  const dictionary::RunGuard::Scope rebuild(dm_->runs(), "Rebuild");
  bool shown = false;
  test::WhenVisible(chooser_, [&] {
    shown = true;
    chooser_->reject();
  });
  EXPECT_THROW(command_->Carica1Click(), Error);
  QTest::qWait(20);
  EXPECT_FALSE(shown);
}

}  // namespace
}  // namespace vellum::loading
