#include "app/translation.h"

#include <memory>

#include <QCoreApplication>
#include <QTranslator>

namespace vellum::app {

bool InstallTranslation(const QLocale& locale) {
  static std::unique_ptr<QTranslator> installed;
  if (installed) QCoreApplication::removeTranslator(installed.get());
  installed.reset();
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(locale, "vellum", "_", ":/i18n")) return false;
  QCoreApplication::installTranslator(translator.get());
  installed = std::move(translator);
  return true;
}

}  // namespace vellum::app
