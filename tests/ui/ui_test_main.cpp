// The window tests run inside the program's own application object, on Qt's
// offscreen platform unless another is asked for, with the settings kept in
// a temporary directory of their own.
#include <gtest/gtest.h>

#include <QSettings>

#include "app/vellum_application.h"
#include "dictionary/ui/form_style.h"
#include "tests/support/temp_dir.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  vellum::test::TempDir settings;
  qputenv("XDG_CONFIG_HOME", settings.path().c_str());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                     QString::fromStdString(settings.path()));
  testing::InitGoogleTest(&argc, argv);
  vellum::app::VellumApplication application(argc, argv);
  vellum::ui::RegisterFontSubstitutes();
  return RUN_ALL_TESTS();
}
