// The small query: a read-only SQL SELECT over one table of a database.
//
// A Query runs a statement of this grammar (keywords in any letter case):
//
//   SELECT [DISTINCT] column [, column ...] | *
//   FROM table
//   [WHERE condition [AND condition ...]]
//   [ORDER BY column [ASC | DESC] [, column [ASC | DESC] ...]]
//   [;]
//
//   condition := column (= | <> | != | < | <= | > | >=) literal
//              | column IS [NOT] NULL
//   literal   := 'text' ('' inside stands for one quote)
//              | [+|-] integer | [+|-] decimal (digits with one '.')
//
// The table is named with or without its extension ("Ddtables.DB" or
// "Ddtables"); column names ignore letter case. Either may be put in double
// quotes, which it must be when it holds blanks or is one of the keywords
// above ("" inside stands for one quote).
//
// Semantics:
// - Text compares byte by byte (UTF-8), so comparison is case-sensitive:
//   'abc' <> 'ABC', and 'B' < 'a'. DISTINCT and ORDER BY use the same order,
//   so DISTINCT keeps "a" and "A" as two rows.
// - NULL is the lowest value: ORDER BY puts it first ascending and last
//   descending. A comparison with a NULL column value is never true (neither
//   = nor <>); test for it with IS NULL. An empty text field reads as NULL.
// - Text columns (Alpha, memo) take text literals; numeric columns (Short,
//   Long, Word, autoincrement, Number, Money, BCD) take numeric literals,
//   compared exactly except against floating-point columns. Other columns
//   can only be tested with IS [NOT] NULL.
// - Without ORDER BY rows come in table order; ORDER BY keeps table order
//   among equal keys. DISTINCT keeps the first of equal rows. ORDER BY may
//   name any column of the table, but with DISTINCT only selected ones.
//
// Every other statement, a join, a syntax error, an unknown column or a
// comparison of mismatched types raises EDBEngineError of the invalid-request
// category; syntax errors give the line and column of the offending token. A
// missing table or database raises the not-found category.
//
// The Query reads the table once in open() and keeps the selected columns of
// the result rows in memory (plus ORDER BY columns); the table is closed
// again before open() returns, so an open Query holds no lock. A Query refers
// to its Session, which must outlive it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/field_type.h"
#include "engine/session.h"
#include "engine/value.h"

namespace vellum::engine {

class Query;

// One column of a query's result: the current row's value of that column.
class QueryField {
 public:
  QueryField(const Query& owner, size_t index) : owner_(owner), index_(index) {}
  // The column's name as the table spells it.
  const std::string& name() const;
  FieldType type() const;
  int size() const;
  size_t index() const { return index_; }

  // NULL when the result has no rows.
  const Value& value() const;
  bool isNull() const;
  // "" for NULL; floating-point numbers with up to 15 significant digits,
  // logical values as True/False, other values as ValueToText gives them.
  std::string asString() const;

 private:
  const Query& owner_;
  size_t index_;
};

class Query {
 public:
  // `database` is a program database of the session (e.g. "DataDict"), an
  // alias or a directory path; it is resolved when the query opens.
  Query(Session& session, std::string database);
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  void setDatabaseName(const std::string& database) { database_ = database; }
  const std::string& databaseName() const { return database_; }

  // The statement's text as lines, joined with line breaks when it runs.
  // Changes take effect at the next open().
  std::vector<std::string>& sql() { return sql_; }
  const std::vector<std::string>& sql() const { return sql_; }
  void setSql(const std::string& text);
  std::string sqlText() const;

  // Parses and runs the statement and makes its first row current. Opening
  // an open query runs it again. On failure the query stays closed.
  void open();
  void close();
  bool active() const { return active_; }

  // Navigation. eof() becomes true when next() is asked to move past the last
  // row (the last row stays current) and at once for an empty result.
  void first();
  void next();
  bool eof() const { return eof_; }
  size_t recordCount() const { return rows_.size(); }
  bool isEmpty() const { return rows_.empty(); }
  // 0-based number of the current row.
  size_t recNo() const { return pos_; }

  // The result's columns, in the order the statement selects them. Access to
  // a column of a closed query, or an unknown name, raises an invalid-request
  // error.
  size_t fieldCount() const;
  const QueryField& field(size_t index) const;
  const QueryField& fieldByName(const std::string& name) const;
  // nullptr when the result has no column of that name.
  const QueryField* findField(const std::string& name) const;

 private:
  friend class QueryField;
  struct Column {
    std::string name;
    FieldType type = FieldType::kUnknown;
    int size = 0;
  };

  void requireActive() const;

  Session& session_;
  std::string database_;
  std::vector<std::string> sql_;
  bool active_ = false;
  std::vector<Column> columns_;
  std::vector<QueryField> fields_;
  std::vector<std::vector<Value>> rows_;
  size_t pos_ = 0;
  bool eof_ = true;
};

}  // namespace vellum::engine
