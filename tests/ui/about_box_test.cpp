// The about box as a user sees it.
#include "shell/ui/about_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "tests/ui/ui_test_support.h"

namespace vellum::shell {
namespace {

TEST(AboutBoxTest, ShowsTheProgramsTitleAndVersionWithTheMakersLines) {
  TAboutBox box;
  EXPECT_EQ(box.windowTitle(), "About Vellum 2.0");
  // This test program's file is vellum_ui_tests; its version is the one set
  // in the build, 2.0.0.19, without its third part.
  EXPECT_EQ(test::Child<QLabel>(&box, "ProductName")->text(), "Vellum_ui_tests");
  EXPECT_EQ(test::Child<QLabel>(&box, "Version")->text(), " Versione 2.0.19");
  for (const QLabel* line :
       {test::Child<QLabel>(&box, "Company"), test::Child<QLabel>(&box, "EMail"),
        test::Child<QLabel>(&box, "WebAddress")}) {
    EXPECT_FALSE(line->text().isEmpty()) << line->objectName().toStdString();
  }
  // The program's icon, drawn at the screen's pixel ratio: painted, not
  // left blank, at its middle (the sheet of vellum).
  const QPixmap picture = test::Child<QLabel>(&box, "Image1")->pixmap();
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(picture.devicePixelRatio(), box.devicePixelRatioF());
  EXPECT_EQ(picture.width(), qRound(64 * box.devicePixelRatioF()));
  EXPECT_NE(picture.toImage().pixelColor(picture.width() / 2, picture.height() / 2).alpha(), 0);
  EXPECT_FALSE(QApplication::windowIcon().isNull());
  EXPECT_TRUE(test::Child<QPushButton>(&box, "OKButton")->isDefault());
  EXPECT_EQ(test::Child<QPushButton>(&box, "OKButton")->text(), "OK");
}

TEST(AboutBoxTest, TitleAndVersionComeFromTheProgramFileAndItsVersion) {
  TAboutBox box("/opt/tools/TOOL.EXE", "2.1.7.300");
  EXPECT_EQ(test::Child<QLabel>(&box, "ProductName")->text(), "Tool");
  EXPECT_EQ(test::Child<QLabel>(&box, "Version")->text(), " Versione 2.1.300");
  TAboutBox broken("/opt/tools/TOOL.EXE", "2.1");
  EXPECT_EQ(test::Child<QLabel>(&broken, "Version")->text(), "(No version info)");
  TAboutBox without("/opt/tools/TOOL.EXE", "");
  EXPECT_EQ(test::Child<QLabel>(&without, "Version")->text(), "");
}

TEST(AboutBoxTest, OkClosesTheBox) {
  TAboutBox box;
  box.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
  QTest::mouseClick(test::Child<QPushButton>(&box, "OKButton"), Qt::LeftButton);
  EXPECT_FALSE(box.isVisible());
  EXPECT_EQ(box.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace vellum::shell
