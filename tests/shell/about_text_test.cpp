// The about box's title and version line.
#include "shell/about_text.h"

#include <gtest/gtest.h>

#include "engine/errors.h"

namespace vellum::shell {
namespace {

struct TextCase {
  const char* name;
  const char* input;
  const char* expected;
};

std::string CaseName(const ::testing::TestParamInfo<TextCase>& info) { return info.param.name; }

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class ApplicationTitleTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ApplicationTitleTest, ComesFromTheProgramsFileName) {
  EXPECT_EQ(ApplicationTitle(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ApplicationTitleTest,
    ::testing::Values(TextCase{"Capitals", "TOOL.EXE", "Tool"},
                      TextCase{"LowerCase", "/usr/bin/vellum", "Vellum"},
                      TextCase{"FolderDotsDoNotCount", "/opt/v2.0/bin/vellum", "Vellum"},
                      TextCase{"EverythingFromTheFirstDotGoes", "/x/Tool.Backup.exe", "Tool"},
                      TextCase{"MixedCase", "MyTOOL", "Mytool"},
                      TextCase{"NoFolder", "vellum_ui_tests", "Vellum_ui_tests"},
                      TextCase{"DotFirst", "/x/.hidden", ""}),
    CaseName);

class VersionLineTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(VersionLineTest, LeavesOutTheThirdPart) {
  EXPECT_EQ(VersionLine(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionLineTest,
    ::testing::Values(TextCase{"Program", "2.0.0.19", " Versione 2.0.19"},
                      TextCase{"ThirdPartDiffers", "2.1.7.300", " Versione 2.1.300"},
                      TextCase{"LargestParts", "65535.65535.65535.65535",
                               " Versione 65535.65535.65535"},
                      TextCase{"NoVersionRecord", "", ""},
                      TextCase{"ThreeParts", "2.0.19", "(No version info)"},
                      TextCase{"FiveParts", "2.0.0.19.1", "(No version info)"},
                      TextCase{"PartTooLarge", "2.0.0.65536", "(No version info)"},
                      TextCase{"NotANumber", "2.x.0.19", "(No version info)"},
                      TextCase{"EmptyPart", "2..0.19", "(No version info)"},
                      TextCase{"Signed", "2.-1.0.19", "(No version info)"},
                      TextCase{"TrailingText", "2.0.0.19 beta", "(No version info)"}),
    CaseName);

TEST(VersionTextTest, AMalformedVersionIsAnError) { EXPECT_THROW(VersionText("2.0"), Error); }

}  // namespace
}  // namespace vellum::shell
