#include "report/dataset_rows.h"

#include <variant>

#include "dictionary/locale_helper.h"
#include "engine/value.h"

namespace vellum::report {

QString DisplayText(const engine::DatasetField& field) {
  const engine::Value& value = field.value();
  if (std::holds_alternative<std::monostate>(value)) return {};
  if (const auto* flag = std::get_if<bool>(&value)) {
    return *flag ? QStringLiteral("True") : QStringLiteral("False");
  }
  if (const auto* date = std::get_if<engine::Date>(&value)) {
    return QString::fromStdString(Locale::ShortDate(*date));
  }
  if (const auto* number = std::get_if<double>(&value)) {
    return QString::fromStdString(Locale::FloatToText(*number));
  }
  return QString::fromStdString(field.asString());
}

bool DatasetRows::First() {
  dataset_->first();
  return !dataset_->eof();
}

bool DatasetRows::Next() {
  dataset_->next();
  return !dataset_->eof();
}

QString DatasetRows::Text(const std::string& column) const {
  return DisplayText(dataset_->fieldByName(column));
}

}  // namespace vellum::report
