#include "engine/paradox/verify_report.h"

#include <algorithm>

namespace vellum::engine::paradox {

Finding& VerifyReport::findingFor(Severity severity, const std::string& file,
                                  const std::string& kind) {
  auto it = std::find_if(findings_.begin(), findings_.end(), [&](const Finding& f) {
    return f.severity == severity && f.file == file && f.kind == kind;
  });
  if (it != findings_.end()) return *it;
  Finding& f = findings_.emplace_back();
  f.severity = severity;
  f.file = file;
  f.kind = kind;
  return f;
}

void VerifyReport::add(Severity severity, const std::string& file, const std::string& kind,
                       const std::string& key, const std::string& detail) {
  Finding& f = findingFor(severity, file, kind);
  if (f.count == 0) f.detail = detail;
  ++f.count;
  if (!key.empty() && f.keys.size() < kKeysKept) f.keys.push_back(key);
}

void VerifyReport::addText(Severity severity, const std::string& text) {
  const size_t colon = text.find(": ");
  if (colon == std::string::npos) {
    add(severity, "", text);
  } else {
    add(severity, text.substr(0, colon), text.substr(colon + 2));
  }
}

void VerifyReport::setTotal(Severity severity, const std::string& file, const std::string& kind,
                            uint64_t total) {
  for (Finding& f : findings_) {
    if (f.severity == severity && f.file == file && f.kind == kind) f.of = total;
  }
}

size_t VerifyReport::errorCount() const {
  return static_cast<size_t>(std::count_if(
      findings_.begin(), findings_.end(),
      [](const Finding& f) { return f.severity == Severity::kError && f.count > 0; }));
}

std::vector<std::string> VerifyReport::lines(Severity severity) const {
  std::vector<std::string> out;
  for (const Finding& f : findings_) {
    if (f.severity == severity && f.count > 0) out.push_back(FormatFinding(f));
  }
  return out;
}

std::string FormatFinding(const Finding& f) {
  std::string line = f.file.empty() ? f.kind : f.file + ": " + f.kind;
  if (!f.detail.empty()) line += ": " + f.detail;
  if (f.count == 1 && f.keys.empty() && f.of == 0) return line;
  line += " (" + std::to_string(f.count);
  if (f.of > 0) line += " of " + std::to_string(f.of);
  if (!f.keys.empty()) {
    line += f.keys.size() == 1 && f.count == 1 ? ", key " : ", keys ";
    for (size_t i = 0; i < f.keys.size(); ++i) line += (i > 0 ? ", " : "") + f.keys[i];
    if (f.count > f.keys.size()) line += ", ...";
  }
  return line + ")";
}

}  // namespace vellum::engine::paradox
