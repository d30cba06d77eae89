// Texts of an engine error entry as the engine error dialog shows them.
#pragma once

#include <cstdint>
#include <string>

#include "engine/errors.h"

namespace vellum::shell {

// The entry's 16-bit code in decimal ("9985" for 0x2701).
std::string ErrorCodeText(const engine::ErrorEntry& entry);

// Category (high byte) and subcode (low byte) of the entry's code, each in
// upper-case hexadecimal at least two characters wide, padded on the left
// with a blank: "[$27] [$ 1]" for 0x2701.
std::string CategorySubcodeText(const engine::ErrorEntry& entry);

// The native code in decimal (signed), or empty text when it is 0.
std::string NativeCodeText(const engine::ErrorEntry& entry);

}  // namespace vellum::shell
