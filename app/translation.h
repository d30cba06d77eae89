// The language of the windows: English as written in the code, or a
// translation built into the program (app/translations, compiled with
// lrelease) for the user's locale.
#pragma once

#include <QLocale>

namespace vellum::app {

// Makes the windows speak `locale`'s language from now on (windows already
// showing change at their next activation); English when the program has no
// translation for it. True when a translation was installed.
bool InstallTranslation(const QLocale& locale);

}  // namespace vellum::app
