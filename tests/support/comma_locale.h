// Puts the C library's numeric locale on one with a decimal comma for the
// life of the object (as the desktop program does from the environment), and
// back to "C" at its end.
#pragma once

#include <clocale>

namespace vellum::test {

class CommaLocale {
 public:
  CommaLocale() {
    for (const char* name : {"it_IT.UTF-8", "it_IT.utf8", "de_DE.UTF-8", "fr_FR.UTF-8", "it_IT"}) {
      if (std::setlocale(LC_NUMERIC, name) && std::localeconv()->decimal_point[0] == ',') {
        active_ = true;
        return;
      }
    }
    std::setlocale(LC_NUMERIC, "C");
  }
  ~CommaLocale() { std::setlocale(LC_NUMERIC, "C"); }
  CommaLocale(const CommaLocale&) = delete;
  CommaLocale& operator=(const CommaLocale&) = delete;

  // False when no locale with a decimal comma is installed.
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

}  // namespace vellum::test
