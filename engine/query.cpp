#include "engine/query.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "engine/errors.h"
#include "engine/number_text.h"
#include "engine/paradox/table.h"
#include "engine/text.h"

namespace vellum::engine {

namespace {

// ---------------------------------------------------------------------------
// Tokens.

enum class TokenKind {
  kWord,    // unquoted name or keyword (may hold '.', e.g. "Ddtables.DB")
  kQuoted,  // "quoted name", quotes removed
  kText,    // 'text literal', quotes removed
  kNumber,  // unsigned integer or decimal
  kSymbol,  // operator or punctuation
  kEnd,
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;
  size_t line = 1;
  size_t column = 1;
};

bool SameName(std::string_view a, std::string_view b) { return Upper(a) == Upper(b); }

std::string Where(const Token& t) {
  return "line " + std::to_string(t.line) + ", column " + std::to_string(t.column);
}

std::string Describe(const Token& t) {
  switch (t.kind) {
    case TokenKind::kEnd:
      return "the end of the statement";
    case TokenKind::kText: {
      std::string shown = t.text.size() > 40 ? t.text.substr(0, 40) + "..." : t.text;
      return "the text '" + shown + "'";
    }
    case TokenKind::kQuoted:
      return "the quoted name \"" + t.text + "\"";
    default:
      return "\"" + t.text + "\"";
  }
}

[[noreturn]] void SyntaxError(const Token& at, const std::string& what) {
  ThrowInvalid("SQL syntax error at " + Where(at) + ": " + what);
}

bool IsWordChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '.' || c == '$' || c == '#' || u >= 0x80;
}

// Digits with at most one '.', and at least one digit.
bool IsNumber(std::string_view word) {
  bool digit = false;
  bool dot = false;
  for (char c : word) {
    if (c == '.') {
      if (dot) return false;
      dot = true;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      digit = true;
    } else {
      return false;
    }
  }
  return digit;
}

std::vector<Token> Tokenize(const std::string& text) {
  std::vector<Token> tokens;
  size_t i = 0;
  size_t line = 1;
  size_t column = 1;
  auto advance = [&] {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
    ++i;
  };
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
      advance();
      continue;
    }
    Token t;
    t.line = line;
    t.column = column;
    if (IsWordChar(c)) {
      while (i < text.size() && IsWordChar(text[i])) {
        t.text.push_back(text[i]);
        advance();
      }
      t.kind = IsNumber(t.text) ? TokenKind::kNumber : TokenKind::kWord;
    } else if (c == '\'' || c == '"') {
      // A doubled quote inside stands for one quote.
      t.kind = c == '\'' ? TokenKind::kText : TokenKind::kQuoted;
      advance();
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == c) {
          advance();
          if (i < text.size() && text[i] == c) {
            t.text.push_back(c);
            advance();
            continue;
          }
          closed = true;
          break;
        }
        t.text.push_back(text[i]);
        advance();
      }
      if (!closed) {
        SyntaxError(t, c == '\'' ? "unterminated text literal" : "unterminated quoted name");
      }
      if (t.kind == TokenKind::kQuoted && t.text.empty()) SyntaxError(t, "empty quoted name");
    } else {
      static constexpr std::string_view kPairs[] = {"<>", "<=", ">=", "!="};
      static constexpr std::string_view kSingles = "=<>,*;()+-";
      const std::string_view rest = std::string_view(text).substr(i);
      t.kind = TokenKind::kSymbol;
      for (auto pair : kPairs) {
        if (rest.starts_with(pair)) t.text = pair;
      }
      if (t.text.empty() && kSingles.find(c) != std::string_view::npos) t.text = c;
      if (t.text.empty()) SyntaxError(t, "unexpected character '" + std::string(1, c) + "'");
      for (size_t k = 0; k < t.text.size(); ++k) advance();
    }
    tokens.push_back(std::move(t));
  }
  Token end;
  end.line = line;
  end.column = column;
  tokens.push_back(end);
  return tokens;
}

// ---------------------------------------------------------------------------
// The parsed statement.

struct ColumnRef {
  std::string name;
  Token token;
};

enum class Op { kEq, kNe, kLt, kLe, kGt, kGe, kIsNull, kIsNotNull };

struct Literal {
  bool is_text = false;
  std::string text;   // the text, or the number as written with its sign
  double number = 0;  // numbers only
  Token token;
};

struct Condition {
  ColumnRef column;
  Op op = Op::kEq;
  Literal literal;
};

struct OrderTerm {
  ColumnRef column;
  bool descending = false;
};

struct Statement {
  bool distinct = false;
  bool all_columns = false;
  std::vector<ColumnRef> columns;
  std::string table;
  std::vector<Condition> conditions;
  std::vector<OrderTerm> order;
};

// Words that cannot be unquoted names.
constexpr std::string_view kReserved[] = {"SELECT", "DISTINCT", "FROM", "WHERE", "AND",
                                          "OR",     "NOT",      "IS",   "NULL",  "ORDER",
                                          "BY",     "ASC",      "DESC", "JOIN"};

// Words after the table that start a join.
constexpr std::string_view kJoinWords[] = {"JOIN", "INNER", "LEFT",  "RIGHT",
                                           "FULL", "OUTER", "CROSS", "NATURAL"};

class Parser {
 public:
  explicit Parser(const std::vector<Token>& tokens) : tokens_(tokens) {}

  Statement parse() {
    Statement s;
    const Token& start = peek();
    if (start.kind == TokenKind::kEnd) ThrowInvalid("The query has no SQL statement");
    if (!isKeyword(start, "SELECT")) {
      if (start.kind == TokenKind::kWord) {
        ThrowInvalid("A query runs only SELECT statements, not " + Upper(start.text) + " (" +
                     Where(start) + ")");
      }
      fail("SELECT");
    }
    ++at_;
    s.distinct = acceptKeyword("DISTINCT");
    if (acceptSymbol("*")) {
      s.all_columns = true;
    } else {
      do {
        s.columns.push_back(columnName());
      } while (acceptSymbol(","));
    }
    if (!acceptKeyword("FROM")) fail(s.all_columns ? "FROM" : "\",\" or FROM");
    s.table = tableName();

    const Token& after = peek();
    if ((after.kind == TokenKind::kSymbol && after.text == ",") || isOneOf(after, kJoinWords)) {
      ThrowInvalid("Joins are not supported: a query reads a single table (" + Where(after) + ", " +
                   Describe(after) + ")");
    }
    std::string expected = "WHERE, ORDER BY or the end of the statement";
    if (acceptKeyword("WHERE")) {
      do {
        s.conditions.push_back(condition());
      } while (acceptKeyword("AND"));
      if (isKeyword(peek(), "OR")) {
        ThrowInvalid("OR is not supported: conditions can only be combined with AND (" +
                     Where(peek()) + ")");
      }
      expected = "AND, ORDER BY or the end of the statement";
    }
    if (acceptKeyword("ORDER")) {
      if (!acceptKeyword("BY")) fail("BY");
      do {
        OrderTerm term;
        term.column = columnName();
        if (acceptKeyword("DESC")) {
          term.descending = true;
        } else {
          acceptKeyword("ASC");
        }
        s.order.push_back(std::move(term));
      } while (acceptSymbol(","));
      expected = "\",\" or the end of the statement";
    }
    if (acceptSymbol(";") && peek().kind != TokenKind::kEnd) {
      ThrowInvalid("A query runs a single statement; " + Describe(peek()) + " follows \";\" (" +
                   Where(peek()) + ")");
    }
    if (peek().kind != TokenKind::kEnd) fail(expected);
    return s;
  }

 private:
  const Token& peek() const { return tokens_[std::min(at_, tokens_.size() - 1)]; }

  static bool isKeyword(const Token& t, std::string_view keyword) {
    return t.kind == TokenKind::kWord && SameName(t.text, keyword);
  }

  template <size_t N>
  static bool isOneOf(const Token& t, const std::string_view (&words)[N]) {
    return std::any_of(std::begin(words), std::end(words),
                       [&](std::string_view w) { return isKeyword(t, w); });
  }

  bool acceptKeyword(std::string_view keyword) {
    if (!isKeyword(peek(), keyword)) return false;
    ++at_;
    return true;
  }

  bool acceptSymbol(std::string_view symbol) {
    if (peek().kind != TokenKind::kSymbol || peek().text != symbol) return false;
    ++at_;
    return true;
  }

  [[noreturn]] void fail(const std::string& expected) const {
    SyntaxError(peek(), "expected " + expected + ", found " + Describe(peek()));
  }

  ColumnRef columnName() {
    const Token& t = peek();
    if (t.kind == TokenKind::kQuoted || (t.kind == TokenKind::kWord && !isOneOf(t, kReserved))) {
      ++at_;
      return ColumnRef{t.text, t};
    }
    fail("a column name");
  }

  std::string tableName() {
    const Token& t = peek();
    if (t.kind == TokenKind::kQuoted || t.kind == TokenKind::kNumber ||
        (t.kind == TokenKind::kWord && !isOneOf(t, kReserved))) {
      ++at_;
      return t.text;
    }
    fail("a table name");
  }

  Condition condition() {
    Condition c;
    c.column = columnName();
    if (acceptKeyword("IS")) {
      c.op = acceptKeyword("NOT") ? Op::kIsNotNull : Op::kIsNull;
      if (!acceptKeyword("NULL")) fail("NULL");
      return c;
    }
    static constexpr std::pair<std::string_view, Op> kOps[] = {
        {"=", Op::kEq},  {"<>", Op::kNe}, {"!=", Op::kNe}, {"<", Op::kLt},
        {"<=", Op::kLe}, {">", Op::kGt},  {">=", Op::kGe}};
    const Token& op = peek();
    const auto* found = std::find_if(std::begin(kOps), std::end(kOps), [&](const auto& o) {
      return op.kind == TokenKind::kSymbol && op.text == o.first;
    });
    if (found == std::end(kOps)) fail("a comparison operator or IS");
    c.op = found->second;
    ++at_;
    c.literal = literal();
    return c;
  }

  Literal literal() {
    Literal l;
    l.token = peek();
    if (peek().kind == TokenKind::kText) {
      l.is_text = true;
      l.text = peek().text;
      ++at_;
      return l;
    }
    if (isKeyword(peek(), "NULL")) {
      SyntaxError(peek(), "a comparison with NULL is never true; use IS NULL or IS NOT NULL");
    }
    std::string sign;
    if (peek().kind == TokenKind::kSymbol && (peek().text == "-" || peek().text == "+")) {
      sign = peek().text;
      ++at_;
      if (peek().kind != TokenKind::kNumber) fail("a number");
    }
    if (peek().kind != TokenKind::kNumber) fail("a literal ('text' or a number)");
    l.text = (sign == "-" ? "-" : "") + peek().text;
    l.number = ParseDouble(l.text).value_or(0);
    ++at_;
    return l;
  }

  const std::vector<Token>& tokens_;
  size_t at_ = 0;
};

// ---------------------------------------------------------------------------
// Comparing values.

enum class ValueClass { kText, kNumber, kOther };

ValueClass ClassOf(FieldType type) {
  switch (type) {
    case FieldType::kString:
    case FieldType::kMemo:
      return ValueClass::kText;
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kWord:
    case FieldType::kAutoInc:
    case FieldType::kFloat:
    case FieldType::kCurrency:
    case FieldType::kBCD:
      return ValueClass::kNumber;
    default:
      return ValueClass::kOther;
  }
}

std::string KindOf(FieldType type) {
  switch (type) {
    case FieldType::kBoolean:
      return "logical values";
    case FieldType::kDate:
      return "dates";
    case FieldType::kTime:
      return "times";
    case FieldType::kDateTime:
      return "timestamps";
    case FieldType::kFmtMemo:
      return "formatted memos";
    case FieldType::kGraphic:
      return "graphics";
    case FieldType::kParadoxOle:
    case FieldType::kDBaseOle:
      return "OLE objects";
    default:
      return "binary data";
  }
}

// Exact comparison of two decimal texts ("-12.50", "7", ".5").
int CompareDecimalText(std::string_view a, std::string_view b) {
  struct Parts {
    bool negative = false;
    std::string_view whole;
    std::string_view fraction;
  };
  auto split = [](std::string_view s) {
    Parts p;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
      p.negative = s[0] == '-';
      s.remove_prefix(1);
    }
    const size_t dot = s.find('.');
    p.whole = s.substr(0, dot);
    p.fraction = dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
    while (!p.whole.empty() && p.whole.front() == '0') p.whole.remove_prefix(1);
    while (!p.fraction.empty() && p.fraction.back() == '0') p.fraction.remove_suffix(1);
    if (p.whole.empty() && p.fraction.empty()) p.negative = false;  // -0 is 0
    return p;
  };
  const Parts x = split(a);
  const Parts y = split(b);
  if (x.negative != y.negative) return x.negative ? -1 : 1;
  int magnitude = 0;
  if (x.whole.size() != y.whole.size()) {
    magnitude = x.whole.size() < y.whole.size() ? -1 : 1;
  } else if (int c = x.whole.compare(y.whole); c != 0) {
    magnitude = c < 0 ? -1 : 1;
  } else if (int f = x.fraction.compare(y.fraction); f != 0) {
    // Without trailing zeros, digit strings of fractions order as their values.
    magnitude = f < 0 ? -1 : 1;
  }
  return x.negative ? -magnitude : magnitude;
}

int CompareDoubles(double a, double b) {
  // NaN sorts after every number so that the order stays strict and weak.
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) - std::isnan(b);
  return a < b ? -1 : (a > b ? 1 : 0);
}

template <typename T>
int Three(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// The order of ORDER BY and the equality of DISTINCT: NULL first, text byte
// by byte, numbers by value.
int CompareValues(const Value& a, const Value& b) {
  if (a.index() != b.index()) {
    if (IsNull(a)) return -1;
    if (IsNull(b)) return 1;
    return Three(a.index(), b.index());
  }
  struct Visitor {
    const Value& other;
    int operator()(std::monostate) const { return 0; }
    int operator()(bool v) const { return Three(v, std::get<bool>(other)); }
    int operator()(int64_t v) const { return Three(v, std::get<int64_t>(other)); }
    int operator()(double v) const { return CompareDoubles(v, std::get<double>(other)); }
    int operator()(const std::string& v) const {
      // char_traits<char> compares as unsigned char: UTF-8 byte order.
      const int c = v.compare(std::get<std::string>(other));
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    int operator()(const Bytes& v) const { return Three(v, std::get<Bytes>(other)); }
    int operator()(Date v) const { return Three(v.day, std::get<Date>(other).day); }
    int operator()(TimeOfDay v) const { return Three(v.ms, std::get<TimeOfDay>(other).ms); }
    int operator()(Timestamp v) const {
      return CompareDoubles(v.ms, std::get<Timestamp>(other).ms);
    }
    int operator()(const Decimal& v) const {
      return CompareDecimalText(v.text, std::get<Decimal>(other).text);
    }
  };
  return std::visit(Visitor{b}, a);
}

// Compares a non-NULL value of a column checked against the literal's kind;
// nothing for a value of another kind than its column's (never from a valid
// table), which then matches no comparison.
std::optional<int> CompareWithLiteral(const Value& v, const Literal& literal) {
  if (const auto* s = std::get_if<std::string>(&v)) {
    const int c = s->compare(literal.text);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (const auto* i = std::get_if<int64_t>(&v)) {
    return CompareDecimalText(std::to_string(*i), literal.text);
  }
  if (const auto* d = std::get_if<Decimal>(&v)) return CompareDecimalText(d->text, literal.text);
  if (const auto* f = std::get_if<double>(&v)) return CompareDoubles(*f, literal.number);
  return std::nullopt;
}

struct BoundCondition {
  size_t field = 0;
  Op op = Op::kEq;
  Literal literal;
};

bool Matches(const BoundCondition& c, const paradox::Row& row) {
  const Value& v = row[c.field];
  if (c.op == Op::kIsNull) return IsNull(v);
  if (c.op == Op::kIsNotNull) return !IsNull(v);
  if (IsNull(v)) return false;
  const std::optional<int> compared = CompareWithLiteral(v, c.literal);
  if (!compared) return false;
  const int cmp = *compared;
  switch (c.op) {
    case Op::kEq:
      return cmp == 0;
    case Op::kNe:
      return cmp != 0;
    case Op::kLt:
      return cmp < 0;
    case Op::kLe:
      return cmp <= 0;
    case Op::kGt:
      return cmp > 0;
    case Op::kGe:
      return cmp >= 0;
    default:
      return false;
  }
}

size_t FindColumn(const paradox::TableStructure& structure, const ColumnRef& ref) {
  for (size_t i = 0; i < structure.fields.size(); ++i) {
    if (SameName(structure.fields[i].name, ref.name)) return i;
  }
  ThrowInvalid("Unknown column \"" + ref.name + "\" in table \"" + structure.name + "\" (" +
               Where(ref.token) + ")");
}

void CheckComparable(const paradox::FieldInfo& field, const Condition& c) {
  if (c.op == Op::kIsNull || c.op == Op::kIsNotNull) return;
  const ValueClass kind = ClassOf(field.type);
  const std::string column = "Column \"" + field.name + "\"";
  const std::string place = " (" + Where(c.literal.token) + ")";
  if (kind == ValueClass::kOther) {
    ThrowInvalid(column + " holds " + KindOf(field.type) +
                 ", which can only be tested with IS NULL or IS NOT NULL" + place);
  }
  if (kind == ValueClass::kText && !c.literal.is_text) {
    ThrowInvalid(column + " holds text and cannot be compared with the number " + c.literal.text +
                 place);
  }
  if (kind == ValueClass::kNumber && c.literal.is_text) {
    ThrowInvalid(column + " holds numbers and cannot be compared with the text '" + c.literal.text +
                 "'" + place);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// QueryField.

const std::string& QueryField::name() const { return owner_.columns_[index_].name; }
FieldType QueryField::type() const { return owner_.columns_[index_].type; }
int QueryField::size() const { return owner_.columns_[index_].size; }

const Value& QueryField::value() const {
  static const Value kNull;
  owner_.requireActive();
  if (owner_.rows_.empty()) return kNull;
  return owner_.rows_[owner_.pos_][index_];
}

bool QueryField::isNull() const { return IsNull(value()); }

std::string QueryField::asString() const {
  const Value& v = value();
  if (const auto* d = std::get_if<double>(&v)) return FormatGeneral(*d);
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  return ValueToText(v);
}

// ---------------------------------------------------------------------------
// Query.

Query::Query(Session& session, std::string database)
    : session_(session), database_(std::move(database)) {}

Query::~Query() = default;

void Query::setSql(const std::string& text) { sql_ = {text}; }

std::string Query::sqlText() const {
  std::string text;
  for (size_t i = 0; i < sql_.size(); ++i) {
    if (i > 0) text += '\n';
    text += sql_[i];
  }
  return text;
}

void Query::open() {
  close();
  const Statement s = Parser(Tokenize(sqlText())).parse();
  const std::string directory = session_.resolveDirectory(database_);
  auto table =
      paradox::Table::Open(directory, s.table, {.passwords = session_.passwords()}, session_.fs());
  const paradox::TableStructure& structure = table->structure();

  // The columns kept per row: the selected ones, then those only ORDER BY
  // names.
  std::vector<size_t> kept;
  if (s.all_columns) {
    for (size_t i = 0; i < structure.fields.size(); ++i) kept.push_back(i);
  } else {
    for (const auto& ref : s.columns) kept.push_back(FindColumn(structure, ref));
  }
  const size_t selected = kept.size();
  std::vector<BoundCondition> conditions;
  for (const auto& c : s.conditions) {
    const size_t field = FindColumn(structure, c.column);
    CheckComparable(structure.fields[field], c);
    conditions.push_back(BoundCondition{field, c.op, c.literal});
  }
  struct SortKey {
    size_t position = 0;  // in the kept row
    bool descending = false;
  };
  std::vector<SortKey> keys;
  for (const auto& term : s.order) {
    const size_t field = FindColumn(structure, term.column);
    auto it = std::find(kept.begin(), kept.end(), field);
    if (it == kept.end()) {
      if (s.distinct) {
        ThrowInvalid("ORDER BY column \"" + term.column.name +
                     "\" must be selected in a SELECT DISTINCT (" + Where(term.column.token) + ")");
      }
      kept.push_back(field);
      it = kept.end() - 1;
    }
    keys.push_back(SortKey{static_cast<size_t>(it - kept.begin()), term.descending});
  }

  auto row_less = [](const std::vector<Value>& a, const std::vector<Value>& b) {
    for (size_t i = 0; i < a.size(); ++i) {
      if (const int c = CompareValues(a[i], b[i]); c != 0) return c < 0;
    }
    return false;
  };
  std::set<std::vector<Value>, decltype(row_less)> seen(row_less);
  std::vector<std::vector<Value>> rows;
  {
    paradox::Table::Scanner scanner(*table);
    paradox::Row row;
    while (scanner.next(row)) {
      if (!std::all_of(conditions.begin(), conditions.end(),
                       [&](const BoundCondition& c) { return Matches(c, row); })) {
        continue;
      }
      std::vector<Value> out;
      out.reserve(kept.size());
      for (size_t field : kept) out.push_back(row[field]);
      // With DISTINCT every kept column is a selected one.
      if (s.distinct && !seen.insert(out).second) continue;
      rows.push_back(std::move(out));
    }
  }
  seen.clear();
  if (!keys.empty()) {
    std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
      for (const auto& key : keys) {
        const int c = CompareValues(a[key.position], b[key.position]);
        if (c != 0) return key.descending ? c > 0 : c < 0;
      }
      return false;
    });
  }
  for (auto& row : rows) row.resize(selected);

  columns_.clear();
  for (size_t i = 0; i < selected; ++i) {
    const auto& f = structure.fields[kept[i]];
    columns_.push_back(Column{f.name, f.type, f.size});
  }
  fields_.clear();
  fields_.reserve(selected);
  for (size_t i = 0; i < selected; ++i) fields_.emplace_back(*this, i);
  rows_ = std::move(rows);
  pos_ = 0;
  eof_ = rows_.empty();
  active_ = true;
}

void Query::close() {
  active_ = false;
  rows_.clear();
  fields_.clear();
  columns_.clear();
  pos_ = 0;
  eof_ = true;
}

void Query::requireActive() const {
  if (!active_) ThrowInvalid("The query is not open");
}

void Query::first() {
  requireActive();
  pos_ = 0;
  eof_ = rows_.empty();
}

void Query::next() {
  requireActive();
  if (pos_ + 1 < rows_.size()) {
    ++pos_;
  } else {
    eof_ = true;
  }
}

size_t Query::fieldCount() const {
  requireActive();
  return fields_.size();
}

const QueryField& Query::field(size_t index) const {
  requireActive();
  if (index >= fields_.size()) {
    ThrowInvalid("The query has no column number " + std::to_string(index) + " (it has " +
                 std::to_string(fields_.size()) + ")");
  }
  return fields_[index];
}

const QueryField* Query::findField(const std::string& name) const {
  requireActive();
  for (const auto& f : fields_) {
    if (SameName(f.name(), name)) return &f;
  }
  return nullptr;
}

const QueryField& Query::fieldByName(const std::string& name) const {
  if (const QueryField* f = findField(name)) return *f;
  ThrowInvalid("The query has no column \"" + name + "\"");
}

}  // namespace vellum::engine
