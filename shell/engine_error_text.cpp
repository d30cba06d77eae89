#include "shell/engine_error_text.h"

#include <cstdio>

namespace vellum::shell {

std::string ErrorCodeText(const engine::ErrorEntry& entry) { return std::to_string(entry.code); }

std::string CategorySubcodeText(const engine::ErrorEntry& entry) {
  char text[16];
  std::snprintf(text, sizeof text, "[$%2X] [$%2X]", static_cast<unsigned>(entry.code >> 8),
                static_cast<unsigned>(entry.code & 0xFF));
  return text;
}

std::string NativeCodeText(const engine::ErrorEntry& entry) {
  return entry.native_code == 0 ? std::string() : std::to_string(entry.native_code);
}

}  // namespace vellum::shell
