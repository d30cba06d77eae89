#include "shell/rebuild_chooser.h"

#include <algorithm>

#include "engine/text.h"

namespace vellum::shell {

namespace {

// Closes a dataset when a scope ends, whatever ended it.
class CloseAtEnd {
 public:
  explicit CloseAtEnd(engine::Dataset& dataset) : dataset_(dataset) {}
  ~CloseAtEnd() { dataset_.close(); }
  CloseAtEnd(const CloseAtEnd&) = delete;
  CloseAtEnd& operator=(const CloseAtEnd&) = delete;

 private:
  engine::Dataset& dataset_;
};

}  // namespace

std::vector<std::string> DistinctIgnoringCase(engine::Query& query) {
  std::vector<std::string> texts;
  query.open();
  for (query.first(); !query.eof(); query.next()) {
    const std::string text = query.field(0).asString();
    const bool known = std::any_of(texts.begin(), texts.end(), [&](const std::string& kept) {
      return engine::SameNameIgnoringCase(kept, text);
    });
    if (!known) texts.push_back(text);
  }
  query.close();
  return texts;
}

std::vector<std::string> TablesOfAlias(engine::Dataset& tables, const std::string& alias) {
  std::vector<std::string> names;
  tables.open();
  CloseAtEnd close(tables);
  tables.setRange(engine::Row{engine::Value{alias}}, engine::Row{engine::Value{alias}});
  for (tables.first(); !tables.eof(); tables.next()) {
    names.push_back(tables.fieldByName("Nome").asString());
  }
  return names;
}

RebuildChooser::RebuildChooser(engine::Session& session)
    : Query1(session, "DataDict"), tblTables(session), session_(session) {
  Query1.sql() = {"SELECT DISTINCT Alias", "FROM Ddtables.DB", "ORDER BY Alias"};
  tblTables.setDatabaseName("DataDict");
  tblTables.setTableName("Ddtables.DB");
  tblTables.setIndexName("PerNome");
}

void RebuildChooser::Activate(Mode mode) {
  mode_ = mode;
  aliases_ = DistinctIgnoringCase(Query1);
  alias_.clear();
  directory_.clear();
  lists.clear(Side::kAvailable);
  lists.clear(Side::kChosen);
}

void RebuildChooser::AliasChanged(const std::string& text) {
  alias_ = text;
  lists.clear(Side::kAvailable);
  if (!text.empty()) {
    lists.setAvailable(TablesOfAlias(tblTables, text));
    if (mode_ == Mode::kOutDirectory) directory_ = session_.aliasPath(text);
  }
  lists.clear(Side::kChosen);
}

bool RebuildChooser::okEnabled() const {
  if (lists.empty(Side::kChosen) || directory_.empty()) return false;
  return mode_ == Mode::kFileName || session_.fs().isDirectory(directory_);
}

}  // namespace vellum::shell
