// The message boxes that answer the core's questions: their buttons, their
// details and the answers they give back.
#include "dictionary/ui/message_boxes.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

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

}  // namespace
}  // namespace vellum::ui
