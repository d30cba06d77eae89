// What an integrity check of a table found, grouped for people and scripts.
//
// A check adds one finding per case it meets (an entry, a record, a block);
// the report keeps one Finding per file and kind of problem, counting the
// cases and keeping the keys of the first few, so that a table with ten
// thousand stale entries gives one line, not ten thousand. Errors make a
// table unclean; information (facts that are normal in tables written by
// other programs, such as stale block hints) does not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellum::engine::paradox {

enum class Severity { kError, kInformation };

struct Finding {
  Severity severity = Severity::kError;
  std::string file;               // the file concerned, e.g. "CUSTOMER.X06"
  std::string kind;               // what is wrong, the same words for every case of it
  std::string detail;             // facts of the first case, e.g. "holds 18 entries for 20 records"
  uint64_t count = 0;             // cases met
  uint64_t of = 0;                // cases looked at, when the count is a share (0: not one)
  std::vector<std::string> keys;  // record keys of the first few cases
};

class VerifyReport {
 public:
  // How many keys a finding keeps.
  static constexpr size_t kKeysKept = 3;

  // Adds one case of `kind` in `file`; `key` (may be empty) names the record.
  // The first case's `detail` is the one kept.
  void add(Severity severity, const std::string& file, const std::string& kind,
           const std::string& key = "", const std::string& detail = "");
  // Adds a single problem given as one text ("FILE: what is wrong"), as the
  // engine's errors word them; the file is the text before the first ": ".
  void addText(Severity severity, const std::string& text);
  // Sets how many cases a finding's count is a share of (e.g. entries looked
  // at), when the finding exists.
  void setTotal(Severity severity, const std::string& file, const std::string& kind,
                uint64_t total);

  const std::vector<Finding>& findings() const { return findings_; }
  size_t errorCount() const;
  bool clean() const { return errorCount() == 0; }
  // One line per finding of `severity`, in the order they were first met.
  std::vector<std::string> lines(Severity severity) const;

 private:
  Finding& findingFor(Severity severity, const std::string& file, const std::string& kind);
  std::vector<Finding> findings_;
};

// One line of a finding: "FILE: KIND[: DETAIL][ (COUNT[ of OF][, keys K1, K2, K3, ...])]"; the
// part in parentheses is left out for a single case without a key.
std::string FormatFinding(const Finding& finding);

}  // namespace vellum::engine::paradox
