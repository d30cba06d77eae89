// The project directory dialog as a user sees it: which of Create and OK it
// offers, creating a dictionary, browsing, and the remembered directory.
#include "dictionary/ui/open_project_dlg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "dictionary/schema.h"
#include "engine/errors.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"

namespace vellum::dictionary {
namespace {

namespace fs = std::filesystem;

// A file system that holds only the files named in `files`, and writes
// down every path whose existence is asked.
class FakeFileSystem : public engine::FileSystem {
 public:
  std::unique_ptr<engine::File> open(const std::string& path, engine::OpenMode) override {
    engine::ThrowNotFound(path);
  }
  bool exists(const std::string& path) override {
    asked.push_back(path);
    return files.count(path) > 0;
  }
  bool isDirectory(const std::string& path) override { return fs::is_directory(path); }
  void remove(const std::string&) override {}
  void rename(const std::string&, const std::string&) override {}
  std::vector<std::string> list(const std::string&) override { return {}; }
  void makeDirectories(const std::string&) override {}
  void syncDirectory(const std::string&) override {}

  std::set<std::string> files;
  std::vector<std::string> asked;
};

struct Offered {
  bool create, ok;
  bool operator==(const Offered&) const = default;
};
Offered Buttons(const TOpenProjectDlg& dlg) {
  return {test::Child<QPushButton>(&dlg, "CreateBtn")->isEnabled(),
          test::Child<QPushButton>(&dlg, "OKBtn")->isEnabled()};
}

class OpenProjectDlgTest : public ::testing::Test {
 protected:
  void TearDown() override { ProjectSettings()->remove("LastDirectory"); }

  QString Dir(const std::string& name) {
    fs::create_directories(dir_.file(name));
    return QString::fromStdString(dir_.file(name));
  }

  test::TempDir dir_;
  test::ScriptedUi ui_;
};

TEST_F(OpenProjectDlgTest, OffersOkOnlyForADictionaryAndCreateOnlyElsewhere) {
  TOpenProjectDlg dlg(ui_, engine::FileSystem::Default());
  ASSERT_TRUE(dlg.setDirectory(Dir("empty")));
  EXPECT_EQ(Buttons(dlg), (Offered{true, false}));
  ASSERT_TRUE(dlg.setDirectory(Dir("dict")));
  CreateDictionaryTables(dir_.file("dict"));
  ASSERT_TRUE(dlg.setDirectory(Dir("dict")));
  EXPECT_EQ(Buttons(dlg), (Offered{false, true}));
  // DDFields and DDIndex alone do not make a dictionary.
  CreateDictionaryTables(Dir("partial").toStdString());
  for (const char* file : {"DDTables.DB", "DDTables.PX", "DDTables.MB"}) {
    fs::remove(dir_.file("partial/") + file);
  }
  ASSERT_TRUE(dlg.setDirectory(Dir("partial")));
  EXPECT_EQ(Buttons(dlg), (Offered{true, false}));
}

TEST_F(OpenProjectDlgTest, AtARootTheTestFileFollowsTheRootWithoutASecondSeparator) {
  FakeFileSystem fake;
  fake.files = {"/DDTables.DB"};
  TOpenProjectDlg dlg(ui_, fake);
  ASSERT_TRUE(dlg.setDirectory("/"));
  EXPECT_EQ(Buttons(dlg), (Offered{false, true}));
  EXPECT_EQ(fake.asked.back(), "/DDTables.DB");
  // Elsewhere one separator stands between directory and file name.
  fake.files = {dir_.path() + "/DDTables.DB"};
  ASSERT_TRUE(dlg.setDirectory(QString::fromStdString(dir_.path())));
  EXPECT_EQ(Buttons(dlg), (Offered{false, true}));
}

TEST_F(OpenProjectDlgTest, CreateAsksFirstThenMakesTheDictionaryAndOffersOk) {
  TOpenProjectDlg dlg(ui_, engine::FileSystem::Default());
  ASSERT_TRUE(dlg.setDirectory(Dir("new")));
  ui_.answers = {Answer::kCancel, Answer::kOk};
  QTest::mouseClick(test::Child<QPushButton>(&dlg, "CreateBtn"), Qt::LeftButton);
  ASSERT_TRUE(test::WaitFor([&] { return ui_.shown.size() == 1; }));
  EXPECT_FALSE(fs::exists(dir_.file("new/DDTables.DB")));
  EXPECT_EQ(Buttons(dlg), (Offered{true, false}));

  QTest::mouseClick(test::Child<QPushButton>(&dlg, "CreateBtn"), Qt::LeftButton);
  ASSERT_TRUE(test::WaitFor([&] { return test::Child<QPushButton>(&dlg, "OKBtn")->isEnabled(); }));
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[1].kind, MessageKind::kConfirmation);
  EXPECT_EQ(ui_.shown[1].buttons, Buttons::kOkCancel);
  EXPECT_EQ(ui_.shown[1].text, "Do you confirm the creation of a new Data Dictionary in \"" +
                                   dir_.file("new") + "\"?");
  for (const char* file : {"DDTables.DB", "DDFields.DB", "DDIndex.DB"}) {
    EXPECT_TRUE(fs::exists(dir_.file("new") + "/" + file)) << file;
  }
  EXPECT_EQ(Buttons(dlg), (Offered{false, true}));
}

TEST_F(OpenProjectDlgTest, OkRemembersTheDirectoryAndTheNextShowingStartsThere) {
  CreateDictionaryTables(Dir("dict").toStdString());
  TOpenProjectDlg dlg(ui_, engine::FileSystem::Default());
  ASSERT_TRUE(dlg.setDirectory(Dir("dict")));
  test::WhenVisible(
      &dlg, [&] { QTest::mouseClick(test::Child<QPushButton>(&dlg, "OKBtn"), Qt::LeftButton); });
  EXPECT_EQ(dlg.exec(), QDialog::Accepted);
  EXPECT_EQ(ProjectSettings()->value("LastDirectory").toString(), Dir("dict"));

  TOpenProjectDlg next(ui_, engine::FileSystem::Default());
  QString shown_directory, caption;
  test::WhenVisible(&next, [&] {
    next.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&next));
    shown_directory = next.directory();
    caption = next.windowTitle();
    QTest::mouseClick(test::Child<QPushButton>(&next, "CancelBtn"), Qt::LeftButton);
  });
  EXPECT_EQ(next.exec(), QDialog::Rejected);
  EXPECT_EQ(shown_directory, Dir("dict"));
  EXPECT_EQ(caption, "Open data dictionary...");
}

TEST_F(OpenProjectDlgTest, ARememberedDirectoryThatVanishedIsIgnoredSilently) {
  ProjectSettings()->setValue("LastDirectory", QString::fromStdString(dir_.file("gone")));
  TOpenProjectDlg dlg(ui_, engine::FileSystem::Default());
  ASSERT_TRUE(dlg.setDirectory(Dir("here")));
  test::WhenVisible(&dlg, [&] { dlg.reject(); });
  dlg.exec();
  EXPECT_EQ(dlg.directory(), Dir("here"));
  EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(OpenProjectDlgTest, DoubleClickOnAnEntryMakesItCurrent) {
  Dir("a/b");
  TOpenProjectDlg dlg(ui_, engine::FileSystem::Default());
  ASSERT_TRUE(dlg.setDirectory(Dir("a")));
  // The chain from the root down to "a", then its subdirectory "b".
  QListWidget* list = test::Child<QListWidget>(&dlg, "lbDirectory");
  ASSERT_EQ(list->item(list->count() - 1)->text().trimmed(), "b");
  EXPECT_EQ(list->item(list->count() - 2)->text().trimmed(), "a");
  EXPECT_EQ(list->item(0)->text(), "/");
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  const auto double_click = [list](int row) {
    const QPoint at = list->visualItemRect(list->item(row)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
  };
  double_click(list->count() - 1);
  EXPECT_EQ(dlg.directory(), Dir("a/b"));
  // Up again through the chain: the root.
  double_click(0);
  EXPECT_EQ(dlg.directory(), QString("/"));
  EXPECT_NE(test::Child<QComboBox>(&dlg, "cbDrive")->findText("/"), -1);
}

TEST_F(OpenProjectDlgTest, TheLabelShowsTheDirectoryInBoldShortenedToFit) {
  std::string deep = "deep";
  for (int i = 0; i < 12; ++i) deep += "/a_rather_long_directory_name";
  TOpenProjectDlg dlg(ui_, engine::FileSystem::Default());
  ASSERT_TRUE(dlg.setDirectory(Dir(deep)));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  const QString text = test::Child<QLabel>(&dlg, "lblDirectory")->text();
  EXPECT_TRUE(test::Child<QLabel>(&dlg, "lblDirectory")->font().bold());
  EXPECT_TRUE(text.contains(QChar(0x2026))) << text.toStdString();
  EXPECT_LE(QFontMetrics(test::Child<QLabel>(&dlg, "lblDirectory")->font()).horizontalAdvance(text),
            test::Child<QLabel>(&dlg, "lblDirectory")->width());
  // What is left of the directory: its beginning and its end.
  const QString full = QString::fromStdString(dir_.file(deep));
  const qsizetype dots = text.indexOf(QChar(0x2026));
  EXPECT_TRUE(full.startsWith(text.left(dots)));
  EXPECT_TRUE(full.endsWith(text.mid(dots + 1)));
  EXPECT_GT(dots, 0);
  EXPECT_LT(dots, text.size() - 1);
}

}  // namespace
}  // namespace vellum::dictionary
