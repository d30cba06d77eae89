// The engine error dialog as a user sees it, and the way errors reach it.
#include "shell/ui/db_engine_error_dlg.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "engine/dataset.h"
#include "tests/ui/ui_test_support.h"

namespace vellum::shell {
namespace {

using engine::EDBEngineError;
using engine::ErrorEntry;

// What the details show for one entry.
struct Details {
  std::string code, cat_sub, native, message;
  bool native_enabled, back, next;
};

Details Read(const TDbEngineErrorDlg& dlg) {
  return {test::Child<QLineEdit>(&dlg, "DbResult")->text().toStdString(),
          test::Child<QLineEdit>(&dlg, "DbCatSub")->text().toStdString(),
          test::Child<QLineEdit>(&dlg, "NativeResult")->text().toStdString(),
          test::Child<QPlainTextEdit>(&dlg, "DbMessageText")->toPlainText().toStdString(),
          test::Child<QLabel>(&dlg, "NativeLabel")->isEnabled(),
          test::Child<QPushButton>(&dlg, "BackBtn")->isEnabled(),
          test::Child<QPushButton>(&dlg, "NextBtn")->isEnabled()};
}

void ExpectDetails(const Details& got, const Details& want) {
  EXPECT_EQ(got.code, want.code);
  EXPECT_EQ(got.cat_sub, want.cat_sub);
  EXPECT_EQ(got.native, want.native);
  EXPECT_EQ(got.message, want.message);
  EXPECT_EQ(got.native_enabled, want.native_enabled);
  EXPECT_EQ(got.back, want.back);
  EXPECT_EQ(got.next, want.next);
}

// Three entries: 0x2701 without native code, 0x2402 with errno 13, 0x2A0B
// with a negative native code.
EDBEngineError ThreeEntryError() {
  return EDBEngineError(
      "Cannot open \"T.DB\"\nPermission denied",
      {ErrorEntry{0x2701, 0, "Cannot open \"T.DB\""}, ErrorEntry{0x2402, 13, "Permission denied"},
       ErrorEntry{0x2A0B, -5, "Server said no"}});
}

// Shows `error` modally and runs `act` while it is on screen; the dialog is
// closed with OK afterwards.
void ShowAndAct(TDbEngineErrorDlg& dlg, const EDBEngineError& error, std::function<void()> act) {
  test::WhenVisible(&dlg, [&dlg, act = std::move(act)] {
    act();
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "OKBtn"), Qt::LeftButton);
  });
  dlg.ShowEngineError(error);
}

TEST(DbEngineErrorDlgTest, DetailsWalkThroughEveryEntryOfAThreeEntryError) {
  TDbEngineErrorDlg dlg;
  std::vector<Details> seen;
  ShowAndAct(dlg, ThreeEntryError(), [&] {
    EXPECT_EQ(dlg.windowTitle(), "Database Engine Error");
    EXPECT_EQ(test::Child<QLabel>(&dlg, "ErrorText")->text(),
              "Cannot open \"T.DB\"\nPermission denied");
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "DetailsBtn"), Qt::LeftButton);
    seen.push_back(Read(dlg));
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "NextBtn"), Qt::LeftButton);
    seen.push_back(Read(dlg));
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "NextBtn"), Qt::LeftButton);
    seen.push_back(Read(dlg));
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "BackBtn"), Qt::LeftButton);
    seen.push_back(Read(dlg));
  });
  ASSERT_EQ(seen.size(), 4u);
  ExpectDetails(seen[0], {"9985", "[$27] [$ 1]", "", "Cannot open \"T.DB\"", false, false, true});
  ExpectDetails(seen[1], {"9218", "[$24] [$ 2]", "13", "Permission denied", true, true, true});
  ExpectDetails(seen[2], {"10763", "[$2A] [$ B]", "-5", "Server said no", true, true, false});
  ExpectDetails(seen[3], seen[1]);
  EXPECT_EQ(dlg.currentError(), nullptr);
}

TEST(DbEngineErrorDlgTest, ASingleEntryOffersNeitherBackNorNext) {
  TDbEngineErrorDlg dlg;
  Details details{};
  ShowAndAct(dlg, EDBEngineError(engine::ErrorCategory::kLockConflict, 1, "Locked"), [&] {
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "DetailsBtn"), Qt::LeftButton);
    details = Read(dlg);
  });
  ExpectDetails(details, {"10241", "[$28] [$ 1]", "", "Locked", false, false, false});
}

TEST(DbEngineErrorDlgTest, DetailsToggleTheHeightAndTheCaption) {
  TDbEngineErrorDlg dlg;
  int closed_height = 0, open_height = 0, closed_again = 0;
  QString open_caption, closed_caption;
  ShowAndAct(dlg, ThreeEntryError(), [&] {
    closed_height = dlg.height();
    closed_caption = test::Child<QPushButton>(&dlg, "DetailsBtn")->text();
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "DetailsBtn"), Qt::LeftButton);
    open_height = dlg.height();
    open_caption = test::Child<QPushButton>(&dlg, "DetailsBtn")->text();
    EXPECT_TRUE(test::Child<QFrame>(&dlg, "DetailsPanel")->isVisible());
    EXPECT_EQ(test::Child<QWidget>(&dlg, "ButtonPanel")->geometry().bottom() + 1,
              test::Child<QFrame>(&dlg, "DetailsPanel")->y());
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "DetailsBtn"), Qt::LeftButton);
    closed_again = dlg.height();
    EXPECT_FALSE(test::Child<QFrame>(&dlg, "DetailsPanel")->isVisible());
  });
  EXPECT_EQ(closed_caption, "&Details >>");
  EXPECT_EQ(open_caption, "<< &Details");
  EXPECT_EQ(open_height - closed_height, 144);  // the details area
  EXPECT_EQ(closed_again, closed_height);
  EXPECT_EQ(test::Child<QPushButton>(&dlg, "DetailsBtn")->text(), "&Details >>");
}

TEST(DbEngineErrorDlgTest, DetailsLeftOpenOpenTheNextErrorAtItsFirstEntry) {
  TDbEngineErrorDlg dlg;
  ShowAndAct(dlg, ThreeEntryError(), [&] {
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "DetailsBtn"), Qt::LeftButton);
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "NextBtn"), Qt::LeftButton);
    QTest::mouseClick(test::Child<QPushButton>(&dlg, "NextBtn"), Qt::LeftButton);
  });
  Details second{};
  ShowAndAct(dlg, ThreeEntryError(), [&] { second = Read(dlg); });
  EXPECT_EQ(second.code, "9985");
  EXPECT_FALSE(second.back);
}

// The handler the dialog replaces, recording what reaches it.
struct Recorder {
  std::vector<std::string> texts;
  ui::ApplicationErrorHandler handler() {
    return [this](QObject*, const std::exception_ptr& e) { texts.push_back(ui::ErrorText(e)); };
  }
};

TEST(DbEngineErrorDlgTest, OnlyEngineErrorsOpenTheDialogOthersGoToThePreviousHandler) {
  Recorder previous;
  ui::SetApplicationErrorHandler(previous.handler());
  {
    TDbEngineErrorDlg dlg;
    dlg.InstallErrorHandler();
    bool shown = false;
    test::WhenVisible(&dlg, [&] {
      shown = true;
      // A second engine error while one is on screen is handed on.
      ui::HandleApplicationError(nullptr, std::make_exception_ptr(EDBEngineError(
                                              engine::ErrorCategory::kIo, 1, "Second")));
      dlg.accept();
    });
    ui::HandleApplicationError(nullptr, std::make_exception_ptr(Error("Plain failure")));
    EXPECT_FALSE(shown);
    ui::HandleApplicationError(
        nullptr, std::make_exception_ptr(EDBEngineError(engine::ErrorCategory::kIo, 1, "First")));
    EXPECT_TRUE(shown);
    ui::HandleApplicationError(nullptr, std::make_exception_ptr(engine::Abort{}));
  }
  EXPECT_EQ(previous.texts, (std::vector<std::string>{"Plain failure", "Second"}));
  // Destroying the dialog put the previous handler back.
  ui::HandleApplicationError(nullptr, std::make_exception_ptr(Error("After")));
  EXPECT_EQ(previous.texts.back(), "After");
  ui::SetApplicationErrorHandler(nullptr);
}

TEST(DbEngineErrorDlgTest, WithoutAPreviousHandlerOtherErrorsGetTheStandardMessage) {
  ui::SetApplicationErrorHandler(nullptr);
  test::ScriptedUi ui;
  ui::SetStandardErrorQuestions(&ui);
  {
    TDbEngineErrorDlg dlg;
    dlg.InstallErrorHandler();
    ui::HandleApplicationError(nullptr, std::make_exception_ptr(Error("Plain failure")));
  }
  ui::SetStandardErrorQuestions(nullptr);
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(ui.shown[0].kind, MessageKind::kError);
  EXPECT_EQ(ui.shown[0].text, "Plain failure");
}

TEST(DbEngineErrorDlgTest, AnErrorEscapingAClickHandlerReachesTheApplicationsHandler) {
  Recorder handler;
  ui::SetApplicationErrorHandler(handler.handler());
  QPushButton button("Fail");
  QObject::connect(
      &button, &QPushButton::clicked, &button,
      [] { throw EDBEngineError(engine::ErrorCategory::kIo, 1, "From a click"); },
      Qt::QueuedConnection);
  button.show();
  QTest::mouseClick(&button, Qt::LeftButton);
  EXPECT_TRUE(test::WaitFor([&] { return !handler.texts.empty(); }));
  EXPECT_EQ(handler.texts, std::vector<std::string>{"From a click"});
  ui::SetApplicationErrorHandler(nullptr);
}

// A receiver whose slots fail, as a window's handler can.
class FailingReceiver : public QObject {
 public:
  void fail() { throw EDBEngineError(engine::ErrorCategory::kIo, 1, "From a handler"); }
};

TEST(DbEngineErrorDlgTest, AnErrorThrownInASafelyConnectedHandlerOpensTheDialogBeforeTheClickEnds) {
  ui::SetApplicationErrorHandler(nullptr);
  TDbEngineErrorDlg dlg;
  dlg.InstallErrorHandler();
  std::vector<std::string> seen;
  const auto read_and_close = [&] {
    seen.emplace_back(dlg.currentError()->what());
    dlg.accept();
  };
  test::WhenVisible(&dlg, read_and_close);
  QPushButton button("Fail");
  FailingReceiver receiver;
  // A member slot that takes none of clicked's arguments.
  ui::ExceptionSafeConnect(&button, &QPushButton::clicked, &receiver, &FailingReceiver::fail);
  button.click();
  EXPECT_EQ(seen, std::vector<std::string>{"From a handler"});
  // A callable given the signal's argument.
  QLineEdit edit;
  ui::ExceptionSafeConnect(&edit, &QLineEdit::textChanged, &edit, [](const QString& text) {
    throw EDBEngineError(engine::ErrorCategory::kIo, 1, "Typed " + text.toStdString());
  });
  test::WhenVisible(&dlg, read_and_close);
  edit.setText("x");
  EXPECT_EQ(seen, (std::vector<std::string>{"From a handler", "Typed x"}));
  // Nothing escaped to the application object.
  EXPECT_FALSE(dlg.currentError());
}

}  // namespace
}  // namespace vellum::shell
