// The rows of an engine dataset as a report's data source.
//
// The report walks the dataset it is given, so it should be a cursor of its
// own (the data module's reading cursors), never one a window shows. A
// detail dataset linked to a master follows the master's current row by
// itself, which is what a sub-detail needs.
#pragma once

#include <QString>
#include <string>

#include "engine/dataset.h"
#include "report/report_model.h"

namespace vellum::report {

// The text a report prints for a column's value: nothing for an empty
// value, "True" or "False" for a boolean, a date in the system's short date
// format, a floating-point number with the user's decimal separator, and
// every other value (numbers, strings, memos with all their lines) as its
// plain text.
QString DisplayText(const engine::DatasetField& field);

// Reads `dataset` from its first record to its last; Text() is DisplayText()
// of the named column of the current record. The dataset must be open and
// outlive this object.
class DatasetRows : public RowSource {
 public:
  explicit DatasetRows(engine::Dataset& dataset) : dataset_(&dataset) {}
  bool First() override;
  bool Next() override;
  QString Text(const std::string& column) const override;

 private:
  engine::Dataset* dataset_;
};

}  // namespace vellum::report
