#include "tests/support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

namespace vellum::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "vellum-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string CorpusDir() {
  if (const char* env = std::getenv("VELLUM_CORPUS")) return env;
  return VELLUM_CORPUS_DIR;
}

std::string CliPath() { return VELLUM_CLI_PATH; }

static std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Copies the regular files of `from_dir` that `wanted` accepts into `to_dir`,
// writable.
static void CopyFiles(const std::string& from_dir, const std::string& to_dir,
                      const std::function<bool(const fs::path&)>& wanted) {
  for (const auto& entry : fs::directory_iterator(from_dir)) {
    if (!entry.is_regular_file() || !wanted(entry.path())) continue;
    const fs::path target = fs::path(to_dir) / entry.path().filename();
    fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  }
}

void CopyTableFiles(const std::string& from_dir, const std::string& table,
                    const std::string& to_dir) {
  CopyFiles(from_dir, to_dir,
            [&](const fs::path& p) { return Upper(p.stem().string()) == Upper(table); });
}

void CopyFolderFiles(const std::string& from_dir, const std::string& to_dir) {
  fs::create_directories(to_dir);
  CopyFiles(from_dir, to_dir, [](const fs::path&) { return true; });
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace vellum::test

namespace vellum::test {

std::map<std::string, std::string> SnapshotFiles(const std::string& directory) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  if (!fs::exists(directory, ec)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    const std::string relative = fs::relative(entry.path(), directory).string();
    if (entry.is_symlink()) {
      files[relative + "@"] = fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      files[relative + "/"] = "";
    } else {
      files[relative] = ReadFile(entry.path().string());
    }
  }
  return files;
}

}  // namespace vellum::test
