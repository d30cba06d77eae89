// Tests of the small query over tables the tests create. Expected rows are
// worked out by hand from the rows inserted, never taken from the query's own
// output.
#include "engine/query.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

using paradox::FieldDef;
using paradox::Row;
using paradox::Table;
using paradox::TableDefinition;
using test::TempDir;

constexpr const char* kNull = "<NULL>";

// A dictionary-like table list, unkeyed so that table order is insertion
// order.
void CreateTables(const std::string& dir) {
  TableDefinition def;
  def.fields = {
      {"Codice", FieldType::kInteger, 0, false},      {"Alias", FieldType::kString, 20, false},
      {"Nome", FieldType::kString, 30, false},        {"Righe", FieldType::kInteger, 0, false},
      {"Peso", FieldType::kFloat, 0, false},          {"Prezzo", FieldType::kBCD, 2, false},
      {"Note Lunghe", FieldType::kString, 40, false}, {"Creata", FieldType::kDate, 0, false},
  };
  Table::Create(dir, "DDTABLES", def);
  auto t = Table::Open(dir, "Ddtables.DB", {true, false});
  auto row = [](int64_t code, Value alias, Value name, Value lines, Value weight, Value price,
                Value note) {
    return Row{code,
               std::move(alias),
               std::move(name),
               std::move(lines),
               std::move(weight),
               std::move(price),
               std::move(note),
               Date{730000 + static_cast<int32_t>(code)}};
  };
  t->insert(row(1, "beta", "orders", int64_t{12}, 1.5, Decimal{"10.50"}, "first"));
  t->insert(row(2, "Alpha", "clients", int64_t{3}, 2.25, Decimal{"-1.25"}, Value{}));
  t->insert(row(3, "beta", "items", int64_t{40}, 0.5, Decimal{"10.05"}, "it's here"));
  t->insert(row(4, "alpha", "notes", int64_t{-3}, Value{}, Value{}, "second"));
  t->insert(row(5, "Zeta", "zips", int64_t{10}, 3.0, Decimal{"0.00"}, Value{}));
  t->insert(row(6, "Alpha", "agents", int64_t{7}, 2.25, Decimal{"7.00"}, "third"));
  t->insert(row(7, Value{}, "orphans", Value{}, -1.0, Decimal{"10.5"}, Value{}));
  t->insert(row(8, "\xC3\xA9t\xC3\xA9", "summer", int64_t{1}, 0.0, Decimal{"3.10"}, Value{}));
  t->insert(row(9, "beta", "lines", int64_t{10}, 4.75, Decimal{"2.00"}, "fourth"));
}

std::string Text(const QueryField& f) { return f.isNull() ? kNull : f.asString(); }

// Every row's values of the named columns, each row's values joined by "|".
std::vector<std::string> Rows(Query& q, const std::vector<std::string>& columns) {
  std::vector<std::string> rows;
  for (q.first(); !q.eof(); q.next()) {
    std::string line;
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) line += "|";
      line += Text(q.fieldByName(columns[i]));
    }
    rows.push_back(line);
  }
  return rows;
}

class QueryTest : public ::testing::Test {
 protected:
  QueryTest() : session_(dir_.file("no-aliases.conf")) { CreateTables(dir_.path()); }

  std::vector<std::string> Run(const std::vector<std::string>& sql,
                               const std::vector<std::string>& columns) {
    Query q(session_, dir_.path());
    q.sql() = sql;
    q.open();
    EXPECT_TRUE(q.active());
    return Rows(q, columns);
  }

  // The engine error that running `sql` raises; fails the test when none.
  EDBEngineError Failure(const std::vector<std::string>& sql) {
    Query q(session_, dir_.path());
    q.sql() = sql;
    try {
      q.open();
    } catch (const EDBEngineError& e) {
      EXPECT_FALSE(q.active());
      return e;
    }
    ADD_FAILURE() << "no error for: " << q.sqlText();
    return EDBEngineError(ErrorCategory::kLimit, subcode::kGeneric, "(no error)");
  }

  void ExpectInvalid(const std::vector<std::string>& sql,
                     const std::vector<std::string>& message_parts) {
    const EDBEngineError e = Failure(sql);
    EXPECT_EQ(e.category(), ErrorCategory::kInvalidRequest) << e.what();
    const std::string message = e.what();
    for (const auto& part : message_parts) {
      EXPECT_NE(message.find(part), std::string::npos)
          << "\"" << part << "\" missing from: " << message;
    }
  }

  TempDir dir_;
  Session session_;
};

TEST_F(QueryTest, DistinctAliasesInByteOrderKeepLettersOfDifferentCase) {
  // The statement as a program keeps it: three lines.
  const auto rows = Run({"SELECT DISTINCT Alias", "FROM Ddtables.DB", "ORDER BY Alias"}, {"Alias"});
  // NULL first; then byte order: upper case before lower case, UTF-8 after
  // ASCII; "Alpha" and "alpha" both stay.
  const std::vector<std::string> expected = {kNull,   "Alpha", "Zeta",
                                             "alpha", "beta",  "\xC3\xA9t\xC3\xA9"};
  EXPECT_EQ(rows, expected);
}

TEST_F(QueryTest, DistinctWithoutOrderKeepsFirstOccurrenceOrderOverAllSelectedColumns) {
  EXPECT_EQ(Run({"select distinct Alias, Peso from DDTABLES"}, {"Alias", "Peso"}),
            (std::vector<std::string>{
                "beta|1.5", "Alpha|2.25", "beta|0.5", "alpha|" + std::string(kNull), "Zeta|3",
                kNull + std::string("|-1"), "\xC3\xA9t\xC3\xA9|0", "beta|4.75"}));
}

TEST_F(QueryTest, WhereWithAndAndOrderByDescending) {
  EXPECT_EQ(Run({"SELECT Nome, Righe FROM Ddtables WHERE Alias = 'beta' AND Righe >= 10",
                 "ORDER BY Righe DESC"},
                {"Nome", "Righe"}),
            (std::vector<std::string>{"items|40", "orders|12", "lines|10"}));
  // Several conditions on several columns, each of them needed.
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Righe > 2 AND Righe < 12 AND Peso <> 3",
                 "AND Alias != 'beta'"},
                {"Codice"}),
            (std::vector<std::string>{"2", "6"}));
}

TEST_F(QueryTest, OrderByTwoKeysMixesDirectionsAndKeepsTableOrderAmongEquals) {
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables ORDER BY Peso DESC, Alias ASC"}, {"Codice"}),
            // Peso: 4.75(9) 3(5) 2.25(2,6: Alpha, Alpha in table order) 1.5(1)
            // 0.5(3) 0(8) -1(7) NULL(4, last when descending).
            (std::vector<std::string>{"9", "5", "2", "6", "1", "3", "8", "7", "4"}));
  // ORDER BY may name a column that is not selected.
  EXPECT_EQ(Run({"SELECT Nome FROM Ddtables WHERE Alias = 'beta' ORDER BY Righe"}, {"Nome"}),
            (std::vector<std::string>{"lines", "orders", "items"}));
  // NULL is lowest: first when ascending.
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Codice < 8 ORDER BY Righe"}, {"Codice"}),
            (std::vector<std::string>{"7", "4", "2", "6", "5", "1", "3"}));
}

TEST_F(QueryTest, StarSelectsEveryColumnInTableOrder) {
  Query q(session_, dir_.path());
  q.setSql("SELECT * FROM ddtables.db WHERE Codice = 3");
  q.open();
  ASSERT_EQ(q.fieldCount(), 8u);
  EXPECT_EQ(q.field(0).name(), "Codice");
  EXPECT_EQ(q.field(6).name(), "Note Lunghe");
  EXPECT_EQ(q.field(7).type(), FieldType::kDate);
  EXPECT_EQ(q.field(2).size(), 30);
  ASSERT_EQ(q.recordCount(), 1u);
  EXPECT_EQ(q.field(1).value(), Value{std::string("beta")});
  EXPECT_EQ(q.field(3).value(), Value{int64_t{40}});
  EXPECT_EQ(q.field(5).value(), Value{Decimal{"10.05"}});
  EXPECT_EQ(q.fieldByName("NOTE LUNGHE").asString(), "it's here");
  EXPECT_EQ(q.field(7).value(), Value{Date{730003}});
  EXPECT_EQ(q.findField("Missing"), nullptr);
}

TEST_F(QueryTest, QuotedNamesAndQuotesInsideLiterals) {
  EXPECT_EQ(Run({"SELECT \"Note Lunghe\", \"NOME\" FROM \"Ddtables.DB\"",
                 "WHERE \"note lunghe\" = 'it''s here'"},
                {"Note Lunghe", "Nome"}),
            (std::vector<std::string>{"it's here|items"}));
  // A keyword can be a column name when quoted; its result column keeps the
  // table's spelling.
  Query q(session_, dir_.path());
  q.sql() = {"SELECT \"alias\" FROM Ddtables WHERE Codice = 2"};
  q.open();
  EXPECT_EQ(q.field(0).name(), "Alias");
  EXPECT_EQ(q.field(0).asString(), "Alpha");
}

TEST_F(QueryTest, TextComparisonIsCaseSensitiveByteOrder) {
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Alias = 'alpha'"}, {"Codice"}),
            (std::vector<std::string>{"4"}));
  // 'Zeta' < 'a' in byte order; NULL matches no comparison.
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Alias < 'a'"}, {"Codice"}),
            (std::vector<std::string>{"2", "5", "6"}));
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Alias <> 'beta'"}, {"Codice"}),
            (std::vector<std::string>{"2", "4", "5", "6", "8"}));
}

TEST_F(QueryTest, NumbersCompareExactlyAcrossIntegersDecimalsAndSigns) {
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Righe > 9.5 AND Righe <= 12.0"}, {"Codice"}),
            (std::vector<std::string>{"1", "5", "9"}));
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Righe = -3"}, {"Codice"}),
            (std::vector<std::string>{"4"}));
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Righe < +1"}, {"Codice"}),
            (std::vector<std::string>{"4"}));
  // BCD: 10.50 = 10.5 exactly, 10.05 is less.
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Prezzo = 10.5"}, {"Codice"}),
            (std::vector<std::string>{"1", "7"}));
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Prezzo > 3.1 AND Prezzo < 10.5"}, {"Codice"}),
            (std::vector<std::string>{"3", "6"}));
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Prezzo < 0"}, {"Codice"}),
            (std::vector<std::string>{"2"}));
  // Floating point against a decimal literal.
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Peso >= 2.25 AND Peso < 4"}, {"Codice"}),
            (std::vector<std::string>{"2", "5", "6"}));
  // BCD order in ORDER BY is by value, not by text ("10.05" < "2.00").
  EXPECT_EQ(Run({"SELECT Prezzo FROM Ddtables WHERE Codice >= 3 ORDER BY Prezzo"}, {"Prezzo"}),
            (std::vector<std::string>{kNull, "0.00", "2.00", "3.10", "7.00", "10.05", "10.50"}));
}

TEST_F(QueryTest, IsNullAndIsNotNull) {
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE \"Note Lunghe\" IS NULL"}, {"Codice"}),
            (std::vector<std::string>{"2", "5", "7", "8"}));
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Peso is not null AND Prezzo IS NOT NULL",
                 "AND Alias IS NULL"},
                {"Codice"}),
            (std::vector<std::string>{"7"}));
  // Columns without literals can still be tested for NULL.
  EXPECT_EQ(Run({"SELECT Codice FROM Ddtables WHERE Creata IS NULL"}, {"Codice"}),
            std::vector<std::string>{});
}

TEST_F(QueryTest, NavigationAndAccessOnAClosedOrEmptyQuery) {
  Query q(session_, dir_.path());
  q.sql() = {"SELECT Nome FROM Ddtables WHERE Alias = 'Alpha'"};
  EXPECT_THROW(q.first(), EDBEngineError);
  q.open();
  ASSERT_EQ(q.recordCount(), 2u);
  EXPECT_FALSE(q.eof());
  EXPECT_EQ(q.fieldByName("nome").asString(), "clients");
  q.next();
  EXPECT_EQ(q.recNo(), 1u);
  EXPECT_FALSE(q.eof());
  q.next();
  EXPECT_TRUE(q.eof());
  EXPECT_EQ(q.fieldByName("Nome").asString(), "agents");  // the last row stays current
  q.first();
  EXPECT_FALSE(q.eof());
  EXPECT_EQ(q.field(0).asString(), "clients");
  EXPECT_THROW(q.field(1), EDBEngineError);
  EXPECT_THROW(q.fieldByName("Alias"), EDBEngineError);
  q.close();
  EXPECT_FALSE(q.active());
  EXPECT_THROW(q.fieldByName("Nome"), EDBEngineError);

  q.sql() = {"SELECT Nome FROM Ddtables WHERE Alias = 'nobody'"};
  q.open();
  EXPECT_TRUE(q.eof());
  EXPECT_TRUE(q.isEmpty());
  EXPECT_TRUE(q.field(0).isNull());
  EXPECT_EQ(q.field(0).asString(), "");
}

TEST_F(QueryTest, OpenQueryHoldsNoLockAndSeesChangesWhenRunAgain) {
  Query q(session_, dir_.path());
  q.sql() = {"SELECT Nome FROM Ddtables WHERE Codice > 8"};
  q.open();
  {
    auto t = Table::Open(dir_.path(), "DDTABLES", {true, true});  // exclusive
    t->insert(Row{int64_t{10}, "gamma", "extra", Value{}, Value{}, Value{}, Value{}, Value{}});
  }
  EXPECT_EQ(Rows(q, {"Nome"}), (std::vector<std::string>{"lines"}));
  q.open();
  EXPECT_EQ(Rows(q, {"Nome"}), (std::vector<std::string>{"lines", "extra"}));
}

TEST_F(QueryTest, DatabaseByAliasOrProgramDatabase) {
  const std::string conf = dir_.file("aliases.conf");
  std::ofstream(conf) << "Dict STANDARD " << dir_.path() << "\n";
  Session session(conf);
  Query by_alias(session, "dict");
  by_alias.sql() = {"SELECT Nome FROM Ddtables WHERE Codice = 1"};
  by_alias.open();
  EXPECT_EQ(by_alias.field(0).asString(), "orders");

  Database& db = session.addDatabase("DataDict");
  db.setParam("PATH", dir_.path());
  Query program(session, "DataDict");
  program.sql() = {"SELECT Nome FROM Ddtables WHERE Codice = 2"};
  program.open();
  EXPECT_EQ(program.field(0).asString(), "clients");
}

TEST_F(QueryTest, OtherStatementsAndJoinsAreRefused) {
  ExpectInvalid({"UPDATE Ddtables SET Alias = 'x'"}, {"SELECT", "UPDATE"});
  ExpectInvalid({"delete from Ddtables"}, {"DELETE"});
  ExpectInvalid({"SELECT * FROM Ddtables JOIN Other ON Ddtables.Codice = Other.Codice"},
                {"Joins", "line 1, column 24"});
  ExpectInvalid({"SELECT * FROM Ddtables, Other"}, {"Joins"});
  ExpectInvalid({"SELECT * FROM Ddtables LEFT OUTER JOIN Other ON x = y"}, {"Joins"});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Righe = 1 OR Righe = 2"}, {"OR", "AND"});
  ExpectInvalid({"SELECT Alias FROM Ddtables; SELECT Nome FROM Ddtables"}, {"single statement"});
  ExpectInvalid({""}, {"no SQL statement"});
}

TEST_F(QueryTest, SyntaxErrorsNameThePositionAndTheToken) {
  ExpectInvalid({"SELECT Alias FROM"},
                {"syntax error", "line 1, column 18", "table name", "the end of the statement"});
  ExpectInvalid({"SELECT Alias", "FORM Ddtables"}, {"line 2, column 1", "\"FORM\""});
  ExpectInvalid({"SELECT Alias Nome FROM Ddtables"}, {"line 1, column 14", "\"Nome\""});
  ExpectInvalid({"SELECT FROM Ddtables"}, {"column name", "\"FROM\""});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Alias = 'open"},
                {"line 1, column 42", "unterminated"});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Alias == 'x'"}, {"column 41", "\"=\""});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Alias = NULL"}, {"IS NULL"});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Alias IS 'x'"}, {"expected NULL"});
  ExpectInvalid({"SELECT Alias FROM Ddtables ORDER Alias"}, {"expected BY", "\"Alias\""});
  ExpectInvalid({"SELECT COUNT(*) FROM Ddtables"}, {"\"(\""});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Righe = 1e5"}, {"\"1e5\""});
  ExpectInvalid({"SELECT Alias @ FROM Ddtables"}, {"unexpected character '@'"});
}

TEST_F(QueryTest, UnknownColumnsAndMismatchedLiteralsAreInvalid) {
  ExpectInvalid({"SELECT Alias, Colore FROM Ddtables"}, {"Unknown column \"Colore\"", "DDTABLES"});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Colore = 'x'"}, {"\"Colore\""});
  ExpectInvalid({"SELECT Alias FROM Ddtables ORDER BY Colore"}, {"\"Colore\""});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Alias = 5"}, {"\"Alias\"", "text"});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Righe = '5'"}, {"\"Righe\"", "numbers"});
  ExpectInvalid({"SELECT Alias FROM Ddtables WHERE Creata = '2000-01-01'"}, {"IS NULL"});
  ExpectInvalid({"SELECT DISTINCT Alias FROM Ddtables ORDER BY Nome"}, {"DISTINCT", "\"Nome\""});
}

TEST_F(QueryTest, MissingTableOrDatabaseIsNotFound) {
  const EDBEngineError table = Failure({"SELECT * FROM Missing.DB"});
  EXPECT_EQ(table.category(), ErrorCategory::kNotFound) << table.what();
  EXPECT_NE(std::string(table.what()).find("Missing"), std::string::npos) << table.what();

  Query q(session_, dir_.file("no-such-directory"));
  q.sql() = {"SELECT * FROM Ddtables"};
  try {
    q.open();
    ADD_FAILURE() << "an unknown database was accepted";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kNotFound) << e.what();
  }
}

}  // namespace
}  // namespace vellum::engine
