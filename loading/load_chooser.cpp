#include "loading/load_chooser.h"

#include "engine/errors.h"

namespace vellum::loading {

LoadChooser::LoadChooser(dictionary::TdmDataDictionary& data_module) : data_module_(data_module) {}

void LoadChooser::Activate() {
  aliases_.clear();
  try {
    for (const engine::DatabaseDesc& alias : data_module_.session().databaseList()) {
      if (alias.type == kStandardAliasType) aliases_.push_back(alias.name);
    }
  } catch (const engine::EDBEngineError&) {
    // An alias file that cannot be read offers no alias; a source can still
    // be typed.
    aliases_.clear();
  }
  source_.clear();
  lists.clear(Side::kAvailable);
}

void LoadChooser::SourceChanged(const std::string& text) {
  source_ = text;
  engine::Session& session = data_module_.session();
  try {
    lists.setAvailable(dictionary::LoadableTables(session, text, data_module_.projectDirectory()));
  } catch (const engine::EDBEngineError&) {
    lists.clear(Side::kAvailable);
  }
  lists.clear(Side::kChosen);
  bool alias = false;
  try {
    alias = !text.empty() && session.isAlias(text);
  } catch (const engine::EDBEngineError&) {
    // An alias file that cannot be read names no alias: the listing above
    // failed on it already, as silently.
  }
  load_as_ = alias ? text : std::string();
}

bool LoadChooser::okEnabled() const {
  return !lists.empty(Side::kChosen) && !load_as_.empty() && !source_.empty();
}

}  // namespace vellum::loading
