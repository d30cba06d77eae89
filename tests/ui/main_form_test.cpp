// The main window as a user sees it, interactive and in batch mode.
#include "shell/ui/main_form.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>

#include "dictionary/schema.h"
#include "engine/session.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"

namespace vellum::shell {
namespace {

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dictionary::CreateDictionaryTables(dir_.path());
    batch_.setDataModule(&dm_);
  }

  void Activate(TMainForm& form) {
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  }

  test::TempDir dir_;
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  dictionary::TdmDataDictionary dm_{session_, ui_};
  rebuild::TBatchForm batch_{ui_};
};

std::vector<std::string> MenuBarTexts(const TMainForm& form) {
  std::vector<std::string> texts;
  for (QAction* action : form.menuBar()->actions()) texts.push_back(action->text().toStdString());
  return texts;
}

TEST_F(MainFormTest, ActivationSetsTheCaptionsAndShowsTheProjectDirectory) {
  dm_.OpenDictionary(dir_.path());
  TMainForm form(false);
  form.setDataModule(&dm_);
  EXPECT_EQ(form.windowTitle(), "Gestione centralizzata Data Dictionary");
  Activate(form);
  EXPECT_EQ(form.windowTitle(), "Central Data dictionary manager");
  EXPECT_EQ(MenuBarTexts(form),
            (std::vector<std::string>{"&Exit", "&Manage", "&Rebuild", "&Print", "&?"}));
  EXPECT_EQ(form.SuFile1->text(), "Su &File");
  EXPECT_EQ(form.Report1->text(), "&Report");
  EXPECT_EQ(form.ProjectDir->text().toStdString(), dir_.path());
  EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);
  EXPECT_TRUE(form.Esci1->isEnabled());
  for (QAction* unbuilt : {form.Carica1, form.Rigenera1, form.SuFile1, form.Report1, form.N1}) {
    EXPECT_FALSE(unbuilt->isEnabled()) << unbuilt->objectName().toStdString();
  }
}

TEST_F(MainFormTest, ExitAndItsKeysCloseTheWindow) {
  for (QKeySequence keys :
       {QKeySequence(Qt::CTRL | Qt::Key_Q), QKeySequence(Qt::ALT | Qt::Key_F4)}) {
    TMainForm form(false);
    form.setDataModule(&dm_);
    Activate(form);
    QTest::keySequence(&form, keys);
    EXPECT_FALSE(form.isVisible()) << keys.toString().toStdString();
  }
  TMainForm form(false);
  Activate(form);
  form.Esci1->trigger();
  EXPECT_FALSE(form.isVisible());
}

TEST_F(MainFormTest, WithArgumentsActivationRunsBatchModeOnceAndEndsTheProgram) {
  TMainForm form(true);
  form.setDataModule(&dm_);
  form.setBatchForm(&batch_);
  batch_.setArguments({"-h"});
  QSignalSpy ended(&form, &TMainForm::terminateRequested);
  Activate(form);
  ASSERT_TRUE(test::WaitFor([&] { return ended.count() > 0; }));
  EXPECT_EQ(ended.at(0).at(0).toInt(), 0);
  ASSERT_EQ(ui_.shown.size(), 1u);  // the help text
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kInformation);
  EXPECT_TRUE(form.ProjectDir->text().isEmpty());
  // Activated again, it does not start batch mode a second time.
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  Activate(form);
  QTest::qWait(50);
  EXPECT_EQ(ended.count(), 1);
  EXPECT_EQ(ui_.shown.size(), 1u);
}

TEST_F(MainFormTest, ADictionaryThatCannotBeOpenedInBatchModeIsShownAndEndsTheProgram) {
  TMainForm form(true);
  form.setDataModule(&dm_);
  form.setBatchForm(&batch_);
  batch_.setArguments({"-p", dir_.file("missing"), "-a", "X"});
  std::vector<std::string> errors;
  SetApplicationErrorHandler(
      [&](QObject*, const std::exception_ptr& e) { errors.push_back(ErrorText(e)); });
  QSignalSpy ended(&form, &TMainForm::terminateRequested);
  Activate(form);
  ASSERT_TRUE(test::WaitFor([&] { return ended.count() > 0; }));
  SetApplicationErrorHandler(nullptr);
  EXPECT_EQ(ended.at(0).at(0).toInt(), 1);
  EXPECT_EQ(errors.size(), 1u);
}

}  // namespace
}  // namespace vellum::shell
