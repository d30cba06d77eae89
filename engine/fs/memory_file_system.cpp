#include "engine/fs/memory_file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/errors.h"

namespace vellum::engine {

namespace {

class MemoryFile final : public File {
 public:
  MemoryFile(std::string path, std::shared_ptr<MemoryFileSystem::Contents> data, uint64_t max_size,
             bool writable)
      : path_(std::move(path)), data_(std::move(data)), max_size_(max_size), writable_(writable) {}

  const std::string& path() const override { return path_; }
  uint64_t size() override { return data_->size(); }

  size_t read(uint64_t offset, void* buffer, size_t n) override {
    if (offset >= data_->size()) return 0;
    size_t count = std::min<uint64_t>(n, data_->size() - offset);
    std::memcpy(buffer, data_->data() + offset, count);
    return count;
  }

  void write(uint64_t offset, const void* data, size_t n) override {
    if (!writable_) ThrowIo(path_, "Cannot write (opened for reading)", EBADF);
    if (offset > max_size_ || n > max_size_ - offset) ThrowIo(path_, "Cannot write", ENOSPC);
    if (offset + n > data_->size()) data_->resize(offset + n, 0);
    if (n > 0) std::memcpy(data_->data() + offset, data, n);
  }

  void truncate(uint64_t size) override {
    if (!writable_) ThrowIo(path_, "Cannot resize (opened for reading)", EBADF);
    if (size > max_size_) ThrowIo(path_, "Cannot resize", ENOSPC);
    data_->resize(size, 0);
  }

  void sync() override {}
  bool tryLock(bool) override { return true; }
  void unlock() override {}

 private:
  std::string path_;
  std::shared_ptr<MemoryFileSystem::Contents> data_;
  uint64_t max_size_;
  bool writable_;
};

}  // namespace

MemoryFileSystem::MemoryFileSystem(uint64_t max_file_size) : max_file_size_(max_file_size) {}

std::string MemoryFileSystem::Normalize(const std::string& directory) {
  return directory == "." ? std::string() : directory;
}

void MemoryFileSystem::addFile(const std::string& path, const uint8_t* data, size_t size) {
  addFile(path, Contents(data, data + size));
}

void MemoryFileSystem::addFile(const std::string& path, Contents data) {
  makeDirectories(DirectoryOf(path));
  files_[path] = std::make_shared<Contents>(std::move(data));
}

const MemoryFileSystem::Contents* MemoryFileSystem::contents(const std::string& path) const {
  auto it = files_.find(path);
  return it == files_.end() ? nullptr : it->second.get();
}

std::map<std::string, MemoryFileSystem::Contents> MemoryFileSystem::snapshot() const {
  std::map<std::string, Contents> out;
  for (const auto& [path, data] : files_) out.emplace(path, *data);
  return out;
}

std::unique_ptr<File> MemoryFileSystem::open(const std::string& path, OpenMode mode) {
  if (isDirectory(path)) ThrowIo(path, "Cannot open a directory as a file:", EISDIR);
  auto it = files_.find(path);
  if (CreatesFile(mode)) {
    if (!isDirectory(DirectoryOf(path))) ThrowIo(path, "Cannot open", ENOENT);
    if (mode == OpenMode::kCreateNew && it != files_.end()) ThrowIo(path, "Cannot create", EEXIST);
    if (it == files_.end()) {
      it = files_.emplace(path, std::make_shared<Contents>()).first;
    } else {
      it->second->clear();
    }
  } else if (it == files_.end()) {
    ThrowIo(path, "Cannot open", ENOENT);
  }
  return std::make_unique<MemoryFile>(path, it->second, max_file_size_, mode != OpenMode::kRead);
}

bool MemoryFileSystem::exists(const std::string& path) {
  return files_.count(path) != 0 || isDirectory(path);
}

bool MemoryFileSystem::isDirectory(const std::string& path) {
  const std::string d = Normalize(path);
  return d.empty() || d == "/" || directories_.count(d) != 0;
}

void MemoryFileSystem::remove(const std::string& path) { files_.erase(path); }

void MemoryFileSystem::rename(const std::string& from, const std::string& to) {
  auto it = files_.find(from);
  if (it == files_.end()) ThrowIo(from, "Cannot rename", ENOENT);
  auto data = it->second;
  files_.erase(it);
  files_[to] = std::move(data);
}

std::vector<std::string> MemoryFileSystem::list(const std::string& directory) {
  const std::string d = Normalize(directory);
  if (!isDirectory(d)) ThrowIo(directory, "Cannot list the directory", ENOENT);
  std::vector<std::string> names;
  for (const auto& entry : files_) {
    if (Normalize(DirectoryOf(entry.first)) == d) {
      names.push_back(FileNameOf(entry.first));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

void MemoryFileSystem::makeDirectories(const std::string& path) {
  std::string d = Normalize(path);
  while (!d.empty() && d != "/" && directories_.insert(d).second) {
    d = Normalize(DirectoryOf(d));
  }
}

void MemoryFileSystem::syncDirectory(const std::string&) {}

void MemoryFileSystem::removeTree(const std::string& path) {
  const std::string d = Normalize(path);
  if (files_.erase(path) != 0 || directories_.count(d) == 0) return;
  const std::string prefix = d + "/";
  auto inside = [&prefix](const std::string& p) { return p.rfind(prefix, 0) == 0; };
  std::erase_if(files_, [&](const auto& entry) { return inside(entry.first); });
  std::erase_if(directories_, [&](const std::string& other) { return inside(other); });
  directories_.erase(d);
}

void MemoryFileSystem::removeDirectory(const std::string& path) {
  const std::string d = Normalize(path);
  if (directories_.count(d) == 0) return;
  const std::string prefix = d + "/";
  auto inside = [&prefix](const std::string& p) { return p.rfind(prefix, 0) == 0; };
  for (const auto& entry : files_) {
    if (inside(entry.first)) ThrowIo(path, "Cannot remove the directory", ENOTEMPTY);
  }
  for (const auto& other : directories_) {
    if (inside(other)) ThrowIo(path, "Cannot remove the directory", ENOTEMPTY);
  }
  directories_.erase(d);
}

}  // namespace vellum::engine
