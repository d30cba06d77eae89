// The message boxes that answer the core's questions: their buttons, their
// details and the answers they give back.
#include "dictionary/ui/message_boxes.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <optional>

#include "tests/ui/ui_test_support.h"

namespace vellum::ui {
namespace {

// Asks through a box and, once it is up, records its button captions and
// details and presses the button whose caption is `press`.
struct Asked {
  QStringList captions;
  QString details;
  Answer answer = Answer::kOk;
};

Asked AskAndPress(Buttons buttons, const std::string& details, const QString& press) {
  Asked asked;
  QWidget anchor;
  test::WhileRunning(
      &anchor, [] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); },
      [&asked, press] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !asked.captions.isEmpty()) return;
        for (QAbstractButton* button : box->buttons()) asked.captions << button->text();
        asked.details = box->detailedText();
        for (QAbstractButton* button : box->buttons()) {
          if (button->text() == press) return button->click();
        }
        box->reject();  // no such button: the test fails on the answer
      });
  MessageBoxes boxes;
  asked.answer = boxes.askWithDetails(MessageKind::kConfirmation, "Go on?", buttons, details);
  return asked;
}

TEST(MessageBoxesTest, ARunsQuestionOffersYesNoCancelAndAllAndAllAnswersAll) {
  const Asked asked = AskAndPress(Buttons::kYesNoCancelAll, "adds the field NOTE", "&All");
  EXPECT_EQ(asked.answer, Answer::kAll);
  QStringList sorted = asked.captions;
  sorted.sort();
  // The details button of the box is not an answer.
  sorted.removeIf([](const QString& caption) { return caption.contains("Details"); });
  EXPECT_EQ(sorted, (QStringList{"&All", "&No", "&Yes", "Cancel"}));
  EXPECT_EQ(asked.details, "adds the field NOTE");
}

TEST(MessageBoxesTest, EachButtonGivesItsAnswer) {
  EXPECT_EQ(AskAndPress(Buttons::kYesNoCancelAll, "", "&No").answer, Answer::kNo);
  EXPECT_EQ(AskAndPress(Buttons::kYesNoCancelAll, "", "&Yes").answer, Answer::kYes);
  EXPECT_EQ(AskAndPress(Buttons::kOkCancel, "", "Cancel").answer, Answer::kCancel);
}

// The password box: typed text shows as dots, OK gives it back, Cancel
// gives nothing.
struct PasswordAsked {
  QString label;
  QString title;
  QLineEdit::EchoMode echo = QLineEdit::Normal;
  std::optional<std::string> answer;
};

PasswordAsked AskPassword(const QString& type, bool accept) {
  PasswordAsked asked;
  QWidget anchor;
  bool done = false;
  test::WhileRunning(
      &anchor, [] { return qobject_cast<QInputDialog*>(QApplication::activeModalWidget()); },
      [&asked, &done, type, accept] {
        auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (!box || done) return;
        done = true;
        asked.label = box->labelText();
        asked.title = box->windowTitle();
        asked.echo = box->textEchoMode();
        auto* edit = box->findChild<QLineEdit*>();
        if (edit) edit->setText(type);
        if (accept) {
          box->accept();
        } else {
          box->reject();
        }
      });
  MessageBoxes boxes;
  asked.answer = boxes.askPassword("/data/ORDERS.DB");
  return asked;
}

TEST(MessageBoxesTest, ThePasswordBoxHidesWhatIsTypedAndCancelGivesNothing) {
  const PasswordAsked given = AskPassword("s3cret word", true);
  EXPECT_EQ(given.answer, std::optional<std::string>("s3cret word"));
  EXPECT_EQ(given.echo, QLineEdit::Password);
  EXPECT_EQ(given.title, "Password");
  EXPECT_EQ(given.label, "Table \"/data/ORDERS.DB\" is encrypted.\nEnter its password:");
  EXPECT_EQ(AskPassword("typed, then cancelled", false).answer, std::nullopt);
}

}  // namespace
}  // namespace vellum::ui
