#include "dictionary/ui/form_style.h"

#include <QFontDatabase>

namespace vellum::ui {

namespace {

// Installs `substitute` for `family` unless the family itself is installed.
void Substitute(const QString& family, const QString& substitute) {
  if (QFontDatabase::hasFamily(family)) return;
  QFont::insertSubstitution(family, substitute);
}

}  // namespace

void RegisterFontSubstitutes() {
  Substitute("MS Sans Serif", "Liberation Sans");
  Substitute("Arial", "Liberation Sans");
  Substitute("Times New Roman", "Liberation Serif");
}

QFont DesignFont(const char* family, int points) {
  return QFont(QString::fromLatin1(family), points);
}

}  // namespace vellum::ui
