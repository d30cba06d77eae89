// The tests' scripted Ui: a question beyond its script gets the answer that
// changes nothing, never the one that goes ahead.
#include "tests/support/scripted_ui.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace vellum::test {
namespace {

TEST(ScriptedUiTest, AnUnscriptedQuestionGetsTheSafeAnswerOfItsButtons) {
  const std::pair<Buttons, Answer> cases[] = {{Buttons::kOk, Answer::kOk},
                                              {Buttons::kOkCancel, Answer::kCancel},
                                              {Buttons::kYesNo, Answer::kNo},
                                              {Buttons::kYesNoCancelAll, Answer::kCancel}};
  for (const auto& [buttons, safe] : cases) {
    ScriptedUi ui;
    EXPECT_EQ(ui.ask(MessageKind::kConfirmation, "Go ahead?", buttons), safe)
        << static_cast<int>(buttons);
  }
}

TEST(ScriptedUiTest, AScriptedAnswerThatIsNotAButtonFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(
      {
        ScriptedUi ui;
        ui.answers = {Answer::kYes};
        ui.ask(MessageKind::kConfirmation, "Go ahead?", Buttons::kOkCancel);
      },
      "is not a button of the question \"Go ahead?\"");
}

}  // namespace
}  // namespace vellum::test
