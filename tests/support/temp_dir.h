// Test helpers: a temporary directory removed at the end of the test, and the
// location of the corpus of real Paradox tables.
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace vellum::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Every file under `directory` with its bytes, by path relative to it
// (directories as "name/" with no bytes); empty when it does not exist.
std::map<std::string, std::string> SnapshotFiles(const std::string& directory);

// Directory of the corpus of real tables (read only: copy before writing).
std::string CorpusDir();
// The vellum-cli program of this build, for tests that run it as a process.
std::string CliPath();
// Copies the files of `table` (every file whose name without extension equals
// it, ignoring case) from `from_dir` into `to_dir`; the copies are writable
// (the corpus's files are not).
void CopyTableFiles(const std::string& from_dir, const std::string& table,
                    const std::string& to_dir);
// Copies every file of `from_dir` (not its subdirectories) into `to_dir`,
// made when missing; the copies are writable.
void CopyFolderFiles(const std::string& from_dir, const std::string& to_dir);

// The bytes of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes `bytes` as the whole of a file.
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace vellum::test
