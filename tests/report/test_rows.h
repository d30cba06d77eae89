// Rows for the report tests, given directly: a master list and detail lists
// that follow the master's current row, as a linked dataset does.
#pragma once

#include <QString>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/errors.h"
#include "report/report_model.h"

namespace vellum::report::test {

using Row = std::map<std::string, QString>;

class ListRows : public RowSource {
 public:
  ListRows() = default;
  explicit ListRows(std::vector<Row> rows) : rows_(std::move(rows)) {}

  bool First() override {
    at_ = 0;
    return !Rows().empty();
  }
  bool Next() override {
    if (at_ + 1 >= Rows().size()) return false;
    ++at_;
    return true;
  }
  QString Text(const std::string& column) const override {
    const Row& row = Rows().at(at_);
    const auto found = row.find(column);
    if (found == row.end()) throw Error("no column " + column);
    return found->second;
  }

 protected:
  virtual const std::vector<Row>& Rows() const { return rows_; }

 private:
  std::vector<Row> rows_;
  std::size_t at_ = 0;
};

// Rows of a detail list: those filed under the master's current `key`.
class LinkedRows : public ListRows {
 public:
  LinkedRows(const RowSource& master, std::string key) : master_(master), key_(std::move(key)) {}
  std::map<QString, std::vector<Row>> by_master;

 protected:
  const std::vector<Row>& Rows() const override {
    static const std::vector<Row> kNone;
    const auto found = by_master.find(master_.Text(key_));
    return found == by_master.end() ? kNone : found->second;
  }

 private:
  const RowSource& master_;
  std::string key_;
};

}  // namespace vellum::report::test
