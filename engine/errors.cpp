#include "engine/errors.h"

#include <cerrno>
#include <cstring>

namespace vellum::engine {

EDBEngineError::EDBEngineError(ErrorCategory category, uint8_t sub, const std::string& message,
                               int32_t native_code)
    : std::runtime_error(message) {
  entries_.push_back(ErrorEntry{MakeCode(category, sub), native_code, message});
}

EDBEngineError::EDBEngineError(const std::string& message, std::vector<ErrorEntry> entries)
    : std::runtime_error(message), entries_(std::move(entries)) {
  if (entries_.empty()) {
    entries_.push_back(
        ErrorEntry{MakeCode(ErrorCategory::kInvalidRequest, subcode::kGeneric), 0, what()});
  }
}

EDBEngineError& EDBEngineError::add(ErrorCategory category, uint8_t sub, const std::string& message,
                                    int32_t native_code) {
  entries_.push_back(ErrorEntry{MakeCode(category, sub), native_code, message});
  return *this;
}

void ThrowCorrupt(const std::string& file, const std::string& what, uint8_t sub) {
  throw EDBEngineError(ErrorCategory::kDataCorrupt, sub,
                       "Corrupt table file \"" + file + "\": " + what);
}

void ThrowIo(const std::string& file, const std::string& what, int err) {
  std::string msg = what + " \"" + file + "\"";
  if (err != 0) msg += ": " + std::string(std::strerror(err));
  uint8_t sub = err == ENOSPC ? subcode::kDiskFull : subcode::kGeneric;
  if (err == ENOENT) {
    throw EDBEngineError(ErrorCategory::kNotFound, subcode::kFileNotFound, msg, err);
  }
  throw EDBEngineError(ErrorCategory::kIo, sub, msg, err);
}

void ThrowInvalid(const std::string& what, uint8_t sub) {
  throw EDBEngineError(ErrorCategory::kInvalidRequest, sub, what);
}

void ThrowNotFound(const std::string& what, uint8_t sub) {
  throw EDBEngineError(ErrorCategory::kNotFound, sub, what);
}

void ThrowLimit(const std::string& what) {
  throw EDBEngineError(ErrorCategory::kLimit, subcode::kGeneric, what);
}

void ThrowKeyViolation(const std::string& what) {
  throw EDBEngineError(ErrorCategory::kIntegrity, subcode::kKeyViolation, what);
}

}  // namespace vellum::engine
