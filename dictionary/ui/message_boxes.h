// The Questions of the desktop program: the platform's standard message
// boxes, with the icon and title of their kind and a fixed button set. One
// instance serves the whole program; it holds no state.
#pragma once

#include <optional>
#include <string>

#include <QCoreApplication>
#include <QMessageBox>

#include "dictionary/ui.h"

namespace vellum::ui {

// The title of a message box of `kind`: "Confirm", "Error", "Information",
// "Warning", or the application's name for a plain message.
QString MessageTitle(MessageKind kind);
// The icon of a message box of `kind` (none for a plain message).
QMessageBox::Icon MessageIcon(MessageKind kind);
// The standard buttons of a button set; All is YesToAll.
QMessageBox::StandardButtons MessageButtons(Buttons buttons);
// The answer a pressed standard button means; a box closed without a button
// is Cancel, or OK when OK is its only button.
Answer AnswerOf(QMessageBox::StandardButton button, Buttons buttons);

class MessageBoxes : public Questions {
  Q_DECLARE_TR_FUNCTIONS(MessageBoxes)

 public:
  // Shows a modal message box over the active window and returns the answer.
  // The first button of the set is the default one.
  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override;
  // The same with the details under a "Show Details..." button.
  Answer askWithDetails(MessageKind kind, const std::string& text, Buttons buttons,
                        const std::string& details) override;
  // A modal input box over the active window whose typed text shows as
  // dots: the password, or nothing on Cancel.
  std::optional<std::string> askPassword(const std::string& table) override;
};

}  // namespace vellum::ui
