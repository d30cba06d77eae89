// Test helpers: writing DDTables, DDFields and DDIndex rows through the data
// module's views, so the view rules (table code, position) apply as in use.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "dictionary/data_module.h"

namespace vellum::test {

// A DDFields row: name, type name, size (none when empty), minimum, maximum
// and default texts, required flag.
struct FieldRow {
  FieldRow(std::string name, std::string type, std::optional<int> size = {}, std::string min = "",
           std::string max = "", std::string def = "", bool required = false)
      : name(std::move(name)),
        type(std::move(type)),
        size(size),
        min(std::move(min)),
        max(std::move(max)),
        def(std::move(def)),
        required(required) {}
  std::string name;
  std::string type;
  std::optional<int> size;
  std::string min;
  std::string max;
  std::string def;
  bool required;
};

// A DDIndex row: name, key fields text and the four options.
struct IndexRow {
  IndexRow(std::string name, std::string keys, bool primary = false, bool unique = false,
           bool descending = false, bool case_insensitive = false)
      : name(std::move(name)),
        keys(std::move(keys)),
        primary(primary),
        unique(unique),
        descending(descending),
        case_insensitive(case_insensitive) {}
  std::string name;
  std::string keys;
  bool primary;
  bool unique;
  bool descending;
  bool case_insensitive;
};

// Inserts a DDTables row and leaves tblTables on it, so that the field and
// index rows added next belong to it.
inline void AddTableRow(dictionary::TdmDataDictionary& dm, const std::string& alias,
                        const std::string& name) {
  auto& t = dm.tblTables;
  t.insert();
  t.fieldByName("Alias").setAsString(alias);
  t.fieldByName("Nome").setAsString(name);
  t.post();
}

// Adds a field row to the current tblTables row.
inline void AddFieldRow(dictionary::TdmDataDictionary& dm, const FieldRow& row) {
  auto& f = dm.tblFields;
  f.insert();
  f.fieldByName("Nome").setAsString(row.name);
  f.fieldByName("Tipo").setAsString(row.type);
  if (row.size) f.fieldByName("Lunghezza").setAsInteger(*row.size);
  f.fieldByName("ValoreMinimo").setAsString(row.min);
  f.fieldByName("ValoreMassimo").setAsString(row.max);
  f.fieldByName("ValoreDefault").setAsString(row.def);
  f.fieldByName("Obbligatorio").setAsBoolean(row.required);
  f.post();
}

// Adds an index row to the current tblTables row.
inline void AddIndexRow(dictionary::TdmDataDictionary& dm, const IndexRow& row) {
  auto& ix = dm.tblIndex;
  ix.insert();
  ix.fieldByName("Nome").setAsString(row.name);
  ix.fieldByName("CampiChiave").setAsString(row.keys);
  ix.fieldByName("Primario").setAsBoolean(row.primary);
  ix.fieldByName("Unico").setAsBoolean(row.unique);
  ix.fieldByName("Discendente").setAsBoolean(row.descending);
  ix.fieldByName("IgnoraMaiuscMinusc").setAsBoolean(row.case_insensitive);
  ix.post();
}

}  // namespace vellum::test
