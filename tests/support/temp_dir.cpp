#include "tests/support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
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

void CopyTableFiles(const std::string& from_dir, const std::string& table,
                    const std::string& to_dir) {
  for (const auto& entry : fs::directory_iterator(from_dir)) {
    if (!entry.is_regular_file()) continue;
    if (Upper(entry.path().stem().string()) == Upper(table)) {
      fs::copy_file(entry.path(), fs::path(to_dir) / entry.path().filename(),
                    fs::copy_options::overwrite_existing);
      fs::permissions(fs::path(to_dir) / entry.path().filename(),
                      fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    }
  }
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
      std::ifstream in(entry.path(), std::ios::binary);
      files[relative] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return files;
}

}  // namespace vellum::test
