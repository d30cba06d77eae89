// Engine failures.
//
// Every failure of the database engine is an EDBEngineError: a message and one
// or more entries, each with a 16-bit code whose high byte is the category and
// low byte the subcode, a native code (0 when none) and a message text.
// Failures that are not the engine's are vellum::Error, a plain error carrying
// one message.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellum {

// A plain failure with one message text (the system's own errors).
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

namespace engine {

// Error categories: the high byte of an entry's code.
enum class ErrorCategory : uint8_t {
  kNotFound = 0x21,
  kDataCorrupt = 0x23,
  kIo = 0x24,
  kLimit = 0x25,
  kIntegrity = 0x26,
  kInvalidRequest = 0x27,
  kLockConflict = 0x28,
};

// Subcodes used by this engine (low byte of an entry's code).
namespace subcode {
inline constexpr uint8_t kGeneric = 0x01;
inline constexpr uint8_t kFileNotFound = 0x02;
inline constexpr uint8_t kTableNotFound = 0x03;
inline constexpr uint8_t kEncrypted = 0x04;
inline constexpr uint8_t kKeyViolation = 0x05;
inline constexpr uint8_t kBadBlock = 0x06;
inline constexpr uint8_t kBadBlob = 0x07;
inline constexpr uint8_t kBadHeader = 0x08;
inline constexpr uint8_t kBadIndex = 0x09;
inline constexpr uint8_t kUnsupportedType = 0x0A;
inline constexpr uint8_t kDiskFull = 0x0B;
inline constexpr uint8_t kRequired = 0x0C;
inline constexpr uint8_t kBadValue = 0x0D;
inline constexpr uint8_t kIndexOutOfDate = 0x0E;
inline constexpr uint8_t kLockTimeout = 0x0F;    // a table stayed locked too long
inline constexpr uint8_t kRecordChanged = 0x10;  // another program changed or deleted a record
}  // namespace subcode

struct ErrorEntry {
  uint16_t code = 0;        // category << 8 | subcode
  int32_t native_code = 0;  // e.g. errno; 0 when none
  std::string message;

  ErrorCategory category() const { return static_cast<ErrorCategory>(code >> 8); }
};

class EDBEngineError : public std::runtime_error {
 public:
  EDBEngineError(ErrorCategory category, uint8_t sub, const std::string& message,
                 int32_t native_code = 0);
  EDBEngineError(const std::string& message, std::vector<ErrorEntry> entries);

  const std::vector<ErrorEntry>& entries() const { return entries_; }
  // Category of the first entry.
  ErrorCategory category() const { return entries_.front().category(); }
  uint16_t code() const { return entries_.front().code; }

  // Adds an entry (e.g. the context an error passed through) and returns *this.
  EDBEngineError& add(ErrorCategory category, uint8_t sub, const std::string& message,
                      int32_t native_code = 0);

 private:
  std::vector<ErrorEntry> entries_;
};

constexpr uint16_t MakeCode(ErrorCategory category, uint8_t sub) {
  return static_cast<uint16_t>(static_cast<uint16_t>(category) << 8 | sub);
}

// Shorthands for the common failures. `file` names the file concerned.
[[noreturn]] void ThrowCorrupt(const std::string& file, const std::string& what,
                               uint8_t sub = subcode::kGeneric);
[[noreturn]] void ThrowIo(const std::string& file, const std::string& what, int err);
[[noreturn]] void ThrowInvalid(const std::string& what, uint8_t sub = subcode::kGeneric);
[[noreturn]] void ThrowNotFound(const std::string& what, uint8_t sub = subcode::kFileNotFound);
[[noreturn]] void ThrowLimit(const std::string& what);
[[noreturn]] void ThrowKeyViolation(const std::string& what);

}  // namespace engine
}  // namespace vellum
