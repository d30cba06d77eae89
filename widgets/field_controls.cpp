#include "widgets/field_controls.h"

#include "widgets/error_route.h"
#include "widgets/field_text.h"

namespace vellum::widgets {

using engine::DataEvent;
using engine::DatasetState;

void FieldLink::bind(engine::Dataset* dataset, std::string field) {
  subscription_.reset();
  dataset_ = dataset;
  field_ = std::move(field);
  if (dataset_) {
    subscription_ = dataset_->subscribe([this](engine::Dataset&, const engine::DataChange& c) {
      switch (c.event) {
        case DataEvent::kDestroyed:
          dataset_ = nullptr;
          break;
        case DataEvent::kRecordChange:
        case DataEvent::kScroll:
        case DataEvent::kStateChange:
        case DataEvent::kReset:
        case DataEvent::kChanged:
          break;
        default:
          return;
      }
      if (!writing) show_();
    });
  }
  show_();
}

engine::DatasetField* FieldLink::field() const {
  if (!dataset_ || !dataset_->active()) return nullptr;
  return dataset_->findField(field_);
}

bool FieldLink::writable() const { return field() && dataset_->canModify(); }

bool FieldLink::beginEdit() {
  if (!writable()) return false;
  if (dataset_->state() == DatasetState::kBrowse) dataset_->edit();
  return dataset_->state() == DatasetState::kEdit || dataset_->state() == DatasetState::kInsert;
}

FieldEdit::FieldEdit(QWidget* parent) : QLineEdit(parent), link_([this] { showField(); }) {
  connect(this, &QLineEdit::textEdited, this, &FieldEdit::typed);
  connect(this, &QLineEdit::editingFinished, this, &FieldEdit::finished);
}

void FieldEdit::bind(engine::Dataset* dataset, const std::string& field) {
  link_.bind(dataset, field);
}

void FieldEdit::showField() {
  engine::DatasetField* f = link_.field();
  invalid_ = false;
  setReadOnly(!link_.writable());
  if (!f) {
    setMaxLength(32767);
    clear();
    return;
  }
  setMaxLength(f->type() == engine::FieldType::kString && f->size() > 0 ? f->size() : 32767);
  const QString text = QString::fromStdString(DisplayText(f->value()));
  if (text != this->text()) setText(text);
}

void FieldEdit::typed(const QString& text) {
  // The edit starting must not put back the text before the key.
  link_.writing = true;
  bool began = false;
  CallRoutingErrors(this, [&] { began = link_.beginEdit(); });
  if (!began) {
    link_.writing = false;
    showField();
    return;
  }
  try {
    SetFieldFromText(*link_.field(), text.toStdString());
    invalid_ = false;
  } catch (...) {
    invalid_ = true;  // not a value yet: said when the user leaves
  }
  link_.writing = false;
}

void FieldEdit::finished() {
  if (!invalid_ || !link_.field()) return;
  const std::string typed_text = text().toStdString();
  link_.writing = true;
  const bool taken = CallRoutingErrors(this, [&] { SetFieldFromText(*link_.field(), typed_text); });
  link_.writing = false;
  invalid_ = false;
  if (!taken) showField();
}

namespace {

// Memos keep the line ends of the system they were written on: "\r\n".
QString FromStored(const std::string& text) {
  return QString::fromStdString(text).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}
std::string ToStored(QString text) {
  return text.replace(QLatin1Char('\n'), QLatin1String("\r\n")).toStdString();
}

}  // namespace

FieldMemo::FieldMemo(QWidget* parent) : QPlainTextEdit(parent), link_([this] { showField(); }) {
  connect(this, &QPlainTextEdit::textChanged, this, &FieldMemo::typed);
}

void FieldMemo::bind(engine::Dataset* dataset, const std::string& field) {
  link_.bind(dataset, field);
}

void FieldMemo::showField() {
  engine::DatasetField* f = link_.field();
  setReadOnly(!link_.writable());
  const QString text = f ? FromStored(f->asString()) : QString();
  if (text == toPlainText()) return;
  showing_ = true;
  setPlainText(text);
  showing_ = false;
}

void FieldMemo::typed() {
  if (showing_) return;
  link_.writing = true;
  bool began = false;
  CallRoutingErrors(this, [&] { began = link_.beginEdit(); });
  if (!began) {
    link_.writing = false;
    showField();
    return;
  }
  CallRoutingErrors(this, [&] { link_.field()->setAsString(ToStored(toPlainText())); });
  link_.writing = false;
}

}  // namespace vellum::widgets
