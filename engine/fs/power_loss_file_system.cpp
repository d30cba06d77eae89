#include "engine/fs/power_loss_file_system.h"

#include <filesystem>
#include <system_error>

namespace vellum::engine {

namespace {

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A file of the wrapper: tells it when the file is synced.
class PowerLossFile final : public ForwardingFile {
 public:
  PowerLossFile(PowerLossFileSystem& fs, int node, std::unique_ptr<File> base)
      : ForwardingFile(std::move(base)), fs_(fs), node_(node) {}
  void sync() override {
    base().sync();
    if (node_ >= 0) fs_.fileSynced(node_, base());
  }

 private:
  PowerLossFileSystem& fs_;
  int node_;
};

}  // namespace

int PowerLossFileSystem::newNode(bool directory) {
  nodes_.push_back(Node{directory, {}});
  return static_cast<int>(nodes_.size() - 1);
}

std::optional<int> PowerLossFileSystem::see(const std::string& raw_path) {
  const std::string path = WithoutTrailingSeparator(raw_path);
  if (seen_[path]) {
    auto it = current_.find(path);
    return it == current_.end() ? std::nullopt : std::optional<int>(it->second);
  }
  seen_[path] = true;
  std::optional<int> node;
  if (base().exists(path)) {
    const bool directory = base().isDirectory(path);
    node = newNode(directory);
    if (!directory) {
      auto file = base().open(path, OpenMode::kRead);
      nodes_[static_cast<size_t>(*node)].durable = ReadWholeFile(*file);
    }
    current_[path] = *node;
  }
  durable_[DirectoryOf(path)].try_emplace(FileNameOf(path), node);
  return node;
}

std::unique_ptr<File> PowerLossFileSystem::open(const std::string& path, OpenMode mode) {
  std::optional<int> node = see(path);
  auto file = base().open(path, mode);
  if (!node) {
    node = newNode(false);
    current_[WithoutTrailingSeparator(path)] = *node;
  }
  return std::make_unique<PowerLossFile>(*this, *node, std::move(file));
}

void PowerLossFileSystem::fileSynced(int node, File& base_file) {
  nodes_[static_cast<size_t>(node)].durable = ReadWholeFile(base_file);
}

void PowerLossFileSystem::remove(const std::string& path) {
  see(path);
  base().remove(path);
  current_.erase(WithoutTrailingSeparator(path));
}

void PowerLossFileSystem::rename(const std::string& from, const std::string& to) {
  const std::optional<int> node = see(from);
  see(to);
  base().rename(from, to);
  current_.erase(WithoutTrailingSeparator(from));
  if (node) current_[WithoutTrailingSeparator(to)] = *node;
}

void PowerLossFileSystem::makeDirectories(const std::string& raw_path) {
  std::vector<std::string> missing;  // innermost first
  for (std::string p = WithoutTrailingSeparator(raw_path); !p.empty() && !base().isDirectory(p);) {
    missing.push_back(p);
    const std::string parent = DirectoryOf(p);
    if (parent == p) break;
    p = parent;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) see(*it);
  base().makeDirectories(raw_path);
  for (const auto& p : missing) current_[p] = newNode(true);
}

void PowerLossFileSystem::removeDirectory(const std::string& raw_path) {
  const std::string path = WithoutTrailingSeparator(raw_path);
  see(path);
  base().removeDirectory(path);
  if (!base().exists(path)) current_.erase(path);
}

void PowerLossFileSystem::syncDirectory(const std::string& raw_path) {
  const std::string path = WithoutTrailingSeparator(raw_path);
  base().syncDirectory(path);
  for (auto& [name, node] : durable_[path]) {
    auto it = current_.find(JoinPath(path, name));
    node = it == current_.end() ? std::nullopt : std::optional<int>(it->second);
  }
}

void PowerLossFileSystem::restoreEntry(const std::string& path, std::optional<int> node) {
  // Directories are put back with the real file system's own calls: this
  // wrapper is meant for a real disk, and the engine's interface lists no
  // subdirectories.
  namespace stdfs = std::filesystem;
  std::error_code ec;
  const bool is_directory = base().isDirectory(path);
  if (!node) {
    if (is_directory) {
      stdfs::remove_all(path, ec);
    } else {
      base().remove(path);
    }
    return;
  }
  const Node& n = nodes_[static_cast<size_t>(*node)];
  if (n.directory) {
    if (!is_directory) {
      base().remove(path);
      stdfs::create_directories(path, ec);
    }
    return;
  }
  if (is_directory) stdfs::remove_all(path, ec);
  auto file = base().open(path, OpenMode::kCreate);
  if (!n.durable.empty()) file->write(0, n.durable.data(), n.durable.size());
}

void PowerLossFileSystem::dropUnsynced() {
  std::vector<std::string> gone;  // directories that are durably absent
  auto under_gone = [&gone](const std::string& directory) {
    for (const auto& g : gone) {
      if (directory == g || directory.rfind(g + "/", 0) == 0) return true;
    }
    return false;
  };
  for (const auto& [directory, entries] : durable_) {
    if (under_gone(directory)) continue;
    for (const auto& [name, node] : entries) {
      const std::string path = JoinPath(directory, name);
      restoreEntry(path, node);
      if (!node || !nodes_[static_cast<size_t>(*node)].directory) gone.push_back(path);
    }
  }
}

}  // namespace vellum::engine
