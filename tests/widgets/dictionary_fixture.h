// A dictionary in a temporary directory, opened through the data module so
// that its rules run, with a scripted Ui that answers the rules' questions
// and keeps every text they show; and a few rows to show.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dictionary/data_module.h"
#include "dictionary/schema.h"
#include "engine/session.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"
#include "widgets/error_route.h"

namespace vellum::test {

class DictionaryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_.file("aliases.conf")) << "";
    dictionary::CreateDictionaryTables(dir_.path());
    dm_.OpenDictionary(dir_.path());
    // Errors the components route are kept, as the application's dialog
    // would show them.
    previous_route_ = widgets::SetErrorRoute([this](QObject*, const std::exception_ptr& error) {
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        errors_.push_back(e.what());
      }
    });
  }
  void TearDown() override { widgets::SetErrorRoute(previous_route_); }

  // Adds a DDTables row and makes it current.
  void AddTable(const std::string& alias, const std::string& name) {
    auto& t = dm_.tblTables;
    t.insert();
    t.fieldByName("Alias").setAsString(alias);
    t.fieldByName("Nome").setAsString(name);
    t.post();
  }
  // Adds a field row to the current table (the rules give it its position).
  void AddField(const std::string& name, const std::string& type, bool required = false) {
    auto& f = dm_.tblFields;
    f.insert();
    f.fieldByName("Nome").setAsString(name);
    f.fieldByName("Tipo").setAsString(type);
    f.fieldByName("Obbligatorio").setAsBoolean(required);
    f.post();
  }
  // The texts the rules and the components showed, in order.
  std::vector<std::string> Shown() const {
    std::vector<std::string> texts;
    for (const auto& s : ui_.shown) texts.push_back(s.text);
    return texts;
  }

  TempDir dir_;
  engine::Session session_{dir_.file("aliases.conf")};
  ScriptedUi ui_;
  dictionary::TdmDataDictionary dm_{session_, ui_};
  std::vector<std::string> errors_;
  widgets::ErrorRoute previous_route_;
};

}  // namespace vellum::test
