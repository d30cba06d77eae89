#include "dictionary/ui/message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QInputDialog>
#include <QLineEdit>

namespace vellum::ui {

QString MessageTitle(MessageKind kind) {
  switch (kind) {
    case MessageKind::kConfirmation:
      return MessageBoxes::tr("Confirm");
    case MessageKind::kError:
      return MessageBoxes::tr("Error");
    case MessageKind::kInformation:
      return MessageBoxes::tr("Information");
    case MessageKind::kWarning:
      return MessageBoxes::tr("Warning");
    case MessageKind::kPlain:
      break;
  }
  return QCoreApplication::applicationName();
}

QMessageBox::Icon MessageIcon(MessageKind kind) {
  switch (kind) {
    case MessageKind::kConfirmation:
      return QMessageBox::Question;
    case MessageKind::kError:
      return QMessageBox::Critical;
    case MessageKind::kInformation:
      return QMessageBox::Information;
    case MessageKind::kWarning:
      return QMessageBox::Warning;
    case MessageKind::kPlain:
      break;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons MessageButtons(Buttons buttons) {
  switch (buttons) {
    case Buttons::kOk:
      return QMessageBox::Ok;
    case Buttons::kOkCancel:
      return QMessageBox::Ok | QMessageBox::Cancel;
    case Buttons::kYesNo:
      return QMessageBox::Yes | QMessageBox::No;
    case Buttons::kYesNoCancelAll:
      return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel | QMessageBox::YesToAll;
  }
  return QMessageBox::Ok;
}

Answer AnswerOf(QMessageBox::StandardButton button, Buttons buttons) {
  switch (button) {
    case QMessageBox::Ok:
      return Answer::kOk;
    case QMessageBox::Yes:
      return Answer::kYes;
    case QMessageBox::No:
      return Answer::kNo;
    case QMessageBox::YesToAll:
      return Answer::kAll;
    default:
      return buttons == Buttons::kOk ? Answer::kOk : Answer::kCancel;
  }
}

Answer MessageBoxes::ask(MessageKind kind, const std::string& text, Buttons buttons) {
  return askWithDetails(kind, text, buttons, "");
}

Answer MessageBoxes::askWithDetails(MessageKind kind, const std::string& text, Buttons buttons,
                                    const std::string& details) {
  QMessageBox box(MessageIcon(kind), MessageTitle(kind), QString::fromStdString(text),
                  MessageButtons(buttons), QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(buttons == Buttons::kYesNo || buttons == Buttons::kYesNoCancelAll
                           ? QMessageBox::Yes
                           : QMessageBox::Ok);
  // The answer that stops the questions of a run is called "All" here.
  if (QAbstractButton* all = box.button(QMessageBox::YesToAll)) all->setText(tr("&All"));
  if (!details.empty()) box.setDetailedText(QString::fromStdString(details));
  // Escape and the close box answer Cancel where the box has it.
  if (buttons == Buttons::kOkCancel || buttons == Buttons::kYesNoCancelAll) {
    box.setEscapeButton(QMessageBox::Cancel);
  }
  box.exec();
  return AnswerOf(box.standardButton(box.clickedButton()), buttons);
}

std::optional<std::string> MessageBoxes::askPassword(const std::string& table) {
  QInputDialog box(QApplication::activeWindow());
  box.setObjectName("PasswordDialog");
  box.setWindowTitle(tr("Password"));
  box.setLabelText(
      tr("Table \"%1\" is encrypted.\nEnter its password:").arg(QString::fromStdString(table)));
  box.setTextEchoMode(QLineEdit::Password);
  box.setInputMode(QInputDialog::TextInput);
  if (box.exec() != QDialog::Accepted) return std::nullopt;
  return box.textValue().toStdString();
}

}  // namespace vellum::ui
