#include "shell/text_listing.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dictionary/locale_helper.h"
#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/fs/fault_file_system.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::shell {
namespace {

using dictionary::TdmDataDictionary;
using engine::Date;
using engine::DateFromYmd;

// The listing's fixed texts, typed from the layout they must follow.
const std::string kHeading =
    "  N Name                              Type Len  Obb Min       Max        Default";
const std::string kCrLf = "\r\n";
const std::string kFf = "\f";

std::string Blanks(size_t n) { return std::string(n, ' '); }

// A field line made with the standard formatting routine and the layout's
// own directives (ASCII values only, where bytes and characters agree).
std::string FormattedFieldLine(int position, const std::string& name, const std::string& type,
                               int length, bool required, const std::string& minimum,
                               const std::string& maximum, const std::string& default_value) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, "%3d %-29s %8s  %3d  %s %-9s %-9s  %-9s", position,
                name.c_str(), type.c_str(), length, required ? "Yes" : "No", minimum.c_str(),
                maximum.c_str(), default_value.c_str());
  return buffer;
}

using test::ReadFile;

class TextListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Locale::SetShortDateFormatForTesting("%d/%m/%Y");
    Locale::SetTodayForTesting(kToday);
    dictionary::CreateDictionaryTables(dir_.path());
    dm_ = std::make_unique<TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dir_.path());
  }
  void TearDown() override {
    dm_.reset();
    Locale::SetShortDateFormatForTesting(std::nullopt);
    Locale::SetTodayForTesting(std::nullopt);
  }

  // Adds a DDTables row and leaves it current, so that the fields and
  // indexes added next belong to it. The last change is dated today, so
  // adding field and index rows leaves both dates as given.
  void AddTable(const std::string& alias, const std::string& name,
                const std::string& description = "", bool dated = true) {
    auto& t = dm_->tblTables;
    t.insert();
    t.fieldByName("Alias").setAsString(alias);
    t.fieldByName("Nome").setAsString(name);
    if (dated) {
      t.fieldByName("DataInserimento").setAsDate(kInserted);
      t.fieldByName("DataUltimaModifica").setAsDate(kToday);
    }
    if (!description.empty()) t.fieldByName("Descrizione").setAsString(description);
    t.post();
  }

  // Adds a field at the next position; `length` empty leaves Lunghezza empty.
  void AddField(const std::string& name, const std::string& type, std::optional<int> length,
                bool required = false, const std::string& minimum = "",
                const std::string& maximum = "", const std::string& default_value = "",
                const std::string& description = "") {
    auto& f = dm_->tblFields;
    f.insert();
    f.fieldByName("Nome").setAsString(name);
    f.fieldByName("Tipo").setAsString(type);
    if (length) f.fieldByName("Lunghezza").setAsInteger(*length);
    f.fieldByName("Obbligatorio").setAsBoolean(required);
    if (!minimum.empty()) f.fieldByName("ValoreMinimo").setAsString(minimum);
    if (!maximum.empty()) f.fieldByName("ValoreMassimo").setAsString(maximum);
    if (!default_value.empty()) f.fieldByName("ValoreDefault").setAsString(default_value);
    if (!description.empty()) f.fieldByName("Descrizione").setAsString(description);
    f.post();
  }

  void AddIndex(const std::string& name, const std::string& keys, bool primary, bool unique,
                bool descending, bool case_insensitive, const std::string& description = "") {
    auto& x = dm_->tblIndex;
    x.insert();
    x.fieldByName("Nome").setAsString(name);
    x.fieldByName("CampiChiave").setAsString(keys);
    x.fieldByName("Primario").setAsBoolean(primary);
    x.fieldByName("Unico").setAsBoolean(unique);
    x.fieldByName("Discendente").setAsBoolean(descending);
    x.fieldByName("IgnoraMaiuscMinusc").setAsBoolean(case_insensitive);
    if (!description.empty()) x.fieldByName("Descrizione").setAsString(description);
    x.post();
  }

  // Adds `count` plain Integer fields named F001, F002 ...
  void AddNumberedFields(int count, const std::string& description = "") {
    for (int i = 1; i <= count; ++i) {
      AddField(NumberedName(i), "Integer", std::nullopt, false, "", "", "", description);
    }
  }
  static std::string NumberedName(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "F%03d", i);
    return name;
  }
  static std::string NumberedLine(int i) {
    return FormattedFieldLine(i, NumberedName(i), "Integer", 0, false, "", "", "");
  }

  // The three header lines of a table dated as AddTable dates it.
  static std::string Header(const std::string& alias, const std::string& name) {
    return "Table name: " + alias + "." + name + kCrLf + "Inserted on:  05/03/2024" + kCrLf +
           "Modified:   15/06/2024" + kCrLf;
  }

  std::string List(const std::string& alias, const std::vector<std::string>& tables) {
    WriteTextListing(*dm_, alias, tables, listing_path_);
    return ReadFile(listing_path_);
  }

  const Date kInserted = DateFromYmd(2024, 3, 5);
  const Date kToday = DateFromYmd(2024, 6, 15);
  test::TempDir dir_;
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<TdmDataDictionary> dm_;
  std::string listing_path_ = dir_.file("listing.txt");
};

TEST(TextListingLayoutTest, HeadingIsEightyCharactersWithItsWordsInPlace) {
  // Guards the hand-typed heading the tests below compare with.
  ASSERT_EQ(kHeading.size(), 80u);
  EXPECT_EQ(kHeading.substr(2, 1), "N");         // column 3
  EXPECT_EQ(kHeading.substr(4, 4), "Name");      // column 5
  EXPECT_EQ(kHeading.substr(38, 4), "Type");     // column 39
  EXPECT_EQ(kHeading.substr(43, 3), "Len");      // column 44
  EXPECT_EQ(kHeading.substr(48, 3), "Obb");      // column 49
  EXPECT_EQ(kHeading.substr(52, 3), "Min");      // column 53
  EXPECT_EQ(kHeading.substr(62, 3), "Max");      // column 63
  EXPECT_EQ(kHeading.substr(73, 7), "Default");  // column 74
}

TEST(TextListingLayoutTest, MemoSplitsAtEveryKindOfLineBreak) {
  EXPECT_EQ(SplitMemoLines(""), std::vector<std::string>{});
  EXPECT_EQ(SplitMemoLines("one"), std::vector<std::string>{"one"});
  EXPECT_EQ(SplitMemoLines("a\r\nb\rc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitMemoLines("a\r\n"), std::vector<std::string>{"a"});
  EXPECT_EQ(SplitMemoLines("a\n\n"), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(SplitMemoLines("\r\n"), std::vector<std::string>{""});
  EXPECT_EQ(SplitMemoLines("a\n\rb"), (std::vector<std::string>{"a", "", "b"}));
}

TEST_F(TextListingTest, EmptyTableIsHeaderEmptyLineHeadingEmptyLineAndFormFeed) {
  AddTable("WORK", "Empty");
  const std::string expected =
      "Table name: WORK.Empty\r\n"
      "Inserted on:  05/03/2024\r\n"
      "Modified:   15/06/2024\r\n"
      "\r\n"
      "  N Name                              Type Len  Obb Min       Max        Default\r\n"
      "\r\n"
      "\f";
  EXPECT_EQ(List("WORK", {"Empty"}), expected);
}

TEST_F(TextListingTest, TableDescriptionAndEmptyDates) {
  AddTable("WORK", "Customers", "Customer master\r\nKept by sales\r\n", /*dated=*/false);
  const std::string expected =
      "Table name: WORK.Customers\r\n"
      "Inserted on:  \r\n"
      "Modified:   \r\n"
      "Description:  Customer master\r\n"
      "              Kept by sales\r\n"
      "\r\n" +
      kHeading + kCrLf + "\r\n\f";
  EXPECT_EQ(List("WORK", {"Customers"}), expected);
}

TEST_F(TextListingTest, ThreeLineIndexDescriptionIndentsLaterLinesByFourteenBlanks) {
  AddTable("WORK", "Orders");
  AddIndex("*PRIMARY*", "Numero;Riga", true, true, false, false,
           "First line\r\nSecond line\nThird line\r");
  AddIndex("PerData", "Data", false, false, true, true);
  const std::string expected = Header("WORK", "Orders") + "\r\n" + kHeading + kCrLf + "\r\n" +
                               "Index name:  *PRIMARY*\r\n"
                               "Key fields: Numero;Riga\r\n"
                               "Primary:  Yes   Unique: Yes   Descending: No   "
                               "Ignore Upper/Lower: No\r\n"
                               "Description:  First line\r\n"
                               "              Second line\r\n"
                               "              Third line\r\n"
                               "\r\n"
                               "Index name:  PerData\r\n"
                               "Key fields: Data\r\n"
                               "Primary:  No   Unique: No   Descending: Yes   "
                               "Ignore Upper/Lower: Yes\r\n"
                               "\r\n"
                               "\f";
  EXPECT_EQ(List("WORK", {"Orders"}), expected);
}

TEST_F(TextListingTest, RequiredFlagReadsYesAndShiftsTheLastThreeColumnsRight) {
  AddTable("WORK", "Items");
  AddField("Codice", "Integer", std::nullopt, false, "1", "9999", "1", "Item code");
  AddField("Nome", "String", 50, true, "A", "Z", "");

  // Typed by hand from the column table: position 1-3, name 5-33, type
  // 35-42, length 45-47, flag from 50, then minimum, maximum and default.
  const std::string no_line = "  1 Codice" + Blanks(23) + "  Integer    0  No 1" + Blanks(8) +
                              " 9999" + Blanks(5) + "  1" + Blanks(8);
  const std::string yes_line = "  2 Nome" + Blanks(25) + "   String   50  Yes A" + Blanks(8) +
                               " Z" + Blanks(8) + "  " + Blanks(9);
  ASSERT_EQ(no_line.size(), 82u);
  EXPECT_EQ(no_line.substr(49, 2), "No");
  EXPECT_EQ(no_line.substr(52, 9), "1" + Blanks(8));     // columns 53-61
  EXPECT_EQ(no_line.substr(62, 9), "9999" + Blanks(5));  // columns 63-71
  EXPECT_EQ(no_line.substr(73, 9), "1" + Blanks(8));     // columns 74-82
  ASSERT_EQ(yes_line.size(), 83u);
  EXPECT_EQ(yes_line.substr(49, 3), "Yes");
  EXPECT_EQ(yes_line.substr(53, 9), "A" + Blanks(8));  // columns 54-62
  EXPECT_EQ(yes_line.substr(63, 9), "Z" + Blanks(8));  // columns 64-72
  EXPECT_EQ(yes_line.substr(74, 9), Blanks(9));        // columns 75-83

  const std::string expected = Header("WORK", "Items") + "\r\n" + kHeading + kCrLf + no_line +
                               kCrLf + "     Item code\r\n" + yes_line + kCrLf + "\r\n\f";
  EXPECT_EQ(List("WORK", {"Items"}), expected);
}

TEST_F(TextListingTest, LongValuesWidenTheirColumnsAndNothingIsCut) {
  AddTable("WORK", "Wide");
  AddField("A_field_name_longer_than_29_chars", "BCD", 1234, false, "-1234567890", "", "");
  const std::string line = "  1 A_field_name_longer_than_29_chars      BCD  1234  No -1234567890 " +
                           Blanks(9) + "  " + Blanks(9);
  EXPECT_EQ(line, FormattedFieldLine(1, "A_field_name_longer_than_29_chars", "BCD", 1234, false,
                                     "-1234567890", "", ""));
  EXPECT_EQ(List("WORK", {"Wide"}),
            Header("WORK", "Wide") + "\r\n" + kHeading + kCrLf + line + kCrLf + "\r\n\f");
}

TEST_F(TextListingTest, NonAsciiNamesArePaddedByCharactersAndWrittenAsStored) {
  AddTable("WORK", "Città");
  AddField("Località", "String", 30);
  // "Località" is 8 characters (9 bytes): 21 blanks fill its column.
  const std::string line = "  1 Località" + Blanks(21) + "   String   30  No " + Blanks(9) + " " +
                           Blanks(9) + "  " + Blanks(9);
  EXPECT_EQ(List("WORK", {"Città"}),
            Header("WORK", "Città") + "\r\n" + kHeading + kCrLf + line + kCrLf + "\r\n\f");
}

TEST_F(TextListingTest, FieldLinePassingSixtyGetsAFormFeedAndCountingRestartsAtZero) {
  AddTable("WORK", "Big");
  AddNumberedFields(117);
  // The header counts 1 + 3, the empty line 1: field k brings the count to
  // 5 + k, so field 56 passes 60. From 0 again, field 56 + 61 = 117 passes.
  std::string expected = Header("WORK", "Big") + "\r\n" + kHeading + kCrLf;
  for (int i = 1; i <= 117; ++i) {
    if (i == 56 || i == 117) expected += kFf;
    expected += NumberedLine(i) + kCrLf;
  }
  expected += "\r\n\f";
  EXPECT_EQ(List("WORK", {"Big"}), expected);
}

TEST_F(TextListingTest, DescriptionLinePassingSixtyIsFollowedByTheFormFeed) {
  AddTable("WORK", "Described");
  AddNumberedFields(30, "d");
  // Field k and its one description line bring the count to 4 + 2k and
  // 5 + 2k: the description line of field 28 reaches 61.
  std::string expected = Header("WORK", "Described") + "\r\n" + kHeading + kCrLf;
  for (int i = 1; i <= 30; ++i) {
    expected += NumberedLine(i) + kCrLf + "     d\r\n";
    if (i == 28) expected += kFf;
  }
  expected += "\r\n\f";
  EXPECT_EQ(List("WORK", {"Described"}), expected);
}

TEST_F(TextListingTest, IndexBlockPassingSixtyStartsRightAfterTheFormFeed) {
  AddTable("WORK", "Full");
  AddNumberedFields(55);  // the count stands at 60 after the last field
  AddIndex("*PRIMARY*", "F001", true, true, false, false);
  std::string expected = Header("WORK", "Full") + "\r\n" + kHeading + kCrLf;
  for (int i = 1; i <= 55; ++i) expected += NumberedLine(i) + kCrLf;
  expected +=
      "\r\n"
      "\fIndex name:  *PRIMARY*\r\n"
      "Key fields: F001\r\n"
      "Primary:  Yes   Unique: Yes   Descending: No   Ignore Upper/Lower: No\r\n"
      "\r\n"
      "\f";
  EXPECT_EQ(List("WORK", {"Full"}), expected);
}

TEST_F(TextListingTest, EachTableStartsAPageInChooserOrderWithItsOwnCount) {
  AddTable("WORK", "Alpha");
  AddNumberedFields(10);
  AddTable("WORK", "Beta");
  AddNumberedFields(50);  // ends at a count of 55
  AddTable("OTHER", "Gamma");
  AddNumberedFields(1);

  // Beta first, as the chooser hands it over; Alpha's count starts at 1
  // again, so its ten fields need no page break.
  std::string expected = Header("WORK", "Beta") + "\r\n" + kHeading + kCrLf;
  for (int i = 1; i <= 50; ++i) expected += NumberedLine(i) + kCrLf;
  expected += "\r\n\f";
  expected += Header("WORK", "Alpha") + "\r\n" + kHeading + kCrLf;
  for (int i = 1; i <= 10; ++i) expected += NumberedLine(i) + kCrLf;
  expected += "\r\n\f";

  // The listing reads through cursors of its own: the views the user sees
  // do not move (the last table added stays current) and tell nothing.
  int notices = 0;
  engine::Subscription tables_seen =
      dm_->tblTables.subscribe([&](engine::Dataset&, const engine::DataChange&) { ++notices; });
  engine::Subscription fields_seen =
      dm_->tblFields.subscribe([&](engine::Dataset&, const engine::DataChange&) { ++notices; });
  const std::string listing = List("WORK", {"Beta", "Alpha"});
  EXPECT_EQ(listing, expected);
  EXPECT_NE(listing.find("\fTable name: WORK.Alpha\r\n"), std::string::npos);
  EXPECT_EQ(dm_->tblTables.fieldByName("Nome").asString(), "Gamma");
  EXPECT_EQ(dm_->tblFields.recordCount(), 1u);
  EXPECT_EQ(notices, 0);
}

TEST_F(TextListingTest, ExistingFileIsReplaced) {
  AddTable("WORK", "Empty");
  {
    std::ofstream old(listing_path_, std::ios::binary);
    old << std::string(4000, 'x');
  }
  const std::string listing = List("WORK", {"Empty"});
  EXPECT_EQ(listing, Header("WORK", "Empty") + "\r\n" + kHeading + kCrLf + "\r\n\f");
}

TEST_F(TextListingTest, TableMissingFromTheDictionaryStopsTheListing) {
  AddTable("WORK", "Alpha");
  AddTable("WORK", "Beta");
  try {
    WriteTextListing(*dm_, "WORK", {"Alpha", "Ghost", "Beta"}, listing_path_);
    FAIL() << "the missing table was listed";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Table \"Ghost\" is not present in the datadictionary");
  }
  // What was written before the error stays.
  EXPECT_EQ(ReadFile(listing_path_),
            Header("WORK", "Alpha") + "\r\n" + kHeading + kCrLf + "\r\n\f");
}

TEST_F(TextListingTest, FileThatCannotBeCreatedRaisesAnIoError) {
  AddTable("WORK", "Alpha");
  try {
    WriteTextListing(*dm_, "WORK", {"Alpha"}, dir_.file("no/such/dir/listing.txt"));
    FAIL() << "the listing was written";
  } catch (const engine::EDBEngineError& e) {
    EXPECT_NE(std::string(e.what()).find("listing.txt"), std::string::npos) << e.what();
  }
}

TEST_F(TextListingTest, FullDiskStopsTheListingAndLeavesThePartlyWrittenFile) {
  AddTable("WORK", "Alpha");
  engine::FaultFileSystem faulty(engine::FileSystem::Default());
  auto file = faulty.open(listing_path_, engine::OpenMode::kCreate);
  // Every line is one write: the third one, the date of last change, fails.
  faulty.arm(faulty.operations() + 3, engine::FaultFileSystem::Mode::kFail, ENOSPC);
  TextListing listing(*dm_, *file);
  try {
    listing.WriteTable("WORK", "Alpha");
    FAIL() << "the full disk went unnoticed";
  } catch (const engine::EDBEngineError& e) {
    EXPECT_EQ(e.category(), engine::ErrorCategory::kIo);
  }
  file.reset();
  EXPECT_EQ(ReadFile(listing_path_), "Table name: WORK.Alpha\r\nInserted on:  05/03/2024\r\n");
}

TEST_F(TextListingTest, NextLineBreaksThePageOnlyWhenTheCountPassesSixty) {
  auto file = session_.fs().open(listing_path_, engine::OpenMode::kCreate);
  TextListing listing(*dm_, *file);
  for (int i = 0; i < 60; ++i) listing.NextLine();
  EXPECT_EQ(listing.lineCounter(), 60);
  EXPECT_EQ(file->size(), 0u);
  listing.NextLine();
  EXPECT_EQ(listing.lineCounter(), 0);
  listing.WriteDescription("", "Description:  ");  // writes nothing
  listing.WriteDescription("x\r\ny", "ab");
  file.reset();
  EXPECT_EQ(ReadFile(listing_path_), "\fabx\r\n  y\r\n");
}

}  // namespace
}  // namespace vellum::shell
