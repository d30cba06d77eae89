#include "engine/fs/reused_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/errors.h"
#include "engine/text.h"

namespace vellum::engine {

void ReusedContent::wrote(uint64_t offset, uint64_t n) {
  if (n == 0) return;
  uint64_t start = offset;
  uint64_t end = offset + n;
  // Merge with every range that overlaps or touches [start, end).
  auto it = written_.upper_bound(start);
  if (it != written_.begin() && std::prev(it)->second >= start) --it;
  while (it != written_.end() && it->first <= end) {
    start = std::min(start, it->first);
    end = std::max(end, it->second);
    it = written_.erase(it);
  }
  written_.emplace(start, end);
  size_ = std::max(size_, end);
}

void ReusedContent::truncated(uint64_t size) {
  size_ = size;
  auto it = written_.lower_bound(size);
  if (it != written_.begin() && std::prev(it)->second > size) std::prev(it)->second = size;
  written_.erase(it, written_.end());
}

void ReusedContent::blankUnwritten(uint64_t offset, uint8_t* buffer, size_t n) const {
  uint64_t at = offset;
  const uint64_t end = offset + n;
  auto it = written_.upper_bound(offset);
  if (it != written_.begin() && std::prev(it)->second > offset) --it;
  for (; at < end; ++it) {
    const uint64_t next = it == written_.end() ? end : std::min(end, it->first);
    if (next > at) std::memset(buffer + (at - offset), 0, next - at);
    if (it == written_.end()) break;
    at = std::max(at, std::min(end, it->second));
  }
}

void ReusedContent::finish(File& file) const {
  const uint64_t old_size = file.size();
  if (old_size != size_) file.truncate(size_);
  // Past the old end the file reads as zeros already.
  const uint64_t limit = std::min(old_size, size_);
  static const std::vector<uint8_t> zeros(size_t{64} * 1024, 0);
  uint64_t at = 0;
  const auto zero_to = [&](uint64_t end) {
    for (end = std::min(end, limit); at < end;) {
      const uint64_t n = std::min<uint64_t>(end - at, zeros.size());
      file.write(at, zeros.data(), n);
      at += n;
    }
  };
  for (const auto& [start, end] : written_) {
    zero_to(start);
    at = std::max(at, end);
  }
  zero_to(limit);
}

size_t ReusedFile::read(uint64_t offset, void* buffer, size_t n) {
  if (offset >= content_->size()) return 0;
  n = static_cast<size_t>(std::min<uint64_t>(n, content_->size() - offset));
  auto* bytes = static_cast<uint8_t*>(buffer);
  const size_t got = base().read(offset, bytes, n);
  if (got < n) std::memset(bytes + got, 0, n - got);  // past the old end
  content_->blankUnwritten(offset, bytes, n);
  return n;
}

void ReusedFile::write(uint64_t offset, const void* data, size_t n) {
  base().write(offset, data, n);
  content_->wrote(offset, n);
}

std::unique_ptr<File> ReusingFileSystem::open(const std::string& path, OpenMode mode) {
  const std::string key = Upper(path);
  auto reused = reused_.find(key);
  if (CreatesFile(mode)) {
    // One removed behind this file system's back is created anew.
    if (reused != reused_.end() && !base().exists(path)) {
      reused_.erase(reused);
      reused = reused_.end();
    }
    if (reused == reused_.end() && take(path)) {
      reused = reused_.emplace(key, Reused{path, nullptr}).first;
    }
    // Created again: what it held before is as good as the old file's.
    if (reused != reused_.end()) reused->second.content = std::make_shared<ReusedContent>();
  }
  if (reused == reused_.end()) return UnsyncedFileSystem::open(path, mode);
  const OpenMode base_mode = CreatesFile(mode) ? OpenMode::kReadWrite : mode;
  return std::make_unique<ReusedFile>(std::make_unique<UnsyncedFile>(base().open(path, base_mode)),
                                      reused->second.content);
}

void ReusingFileSystem::remove(const std::string& path) {
  base().remove(path);
  reused_.erase(Upper(path));
}

void ReusingFileSystem::rename(const std::string& from, const std::string& to) {
  base().rename(from, to);
  const auto reused = reused_.find(Upper(from));
  if (reused == reused_.end()) return;
  std::shared_ptr<ReusedContent> content = std::move(reused->second.content);
  reused_.erase(reused);
  reused_[Upper(to)] = Reused{to, std::move(content)};
}

void ReusingFileSystem::forgetPooled() {
  pooled_.clear();
  reused_.clear();
}

void ReusingFileSystem::finishReused() {
  for (const auto& [key, entry] : reused_) {
    (void)key;
    if (!base().exists(entry.path)) continue;  // removed since, with its directory
    entry.content->finish(*base().open(entry.path, OpenMode::kReadWrite));
  }
  reused_.clear();
}

bool ReusingFileSystem::take(const std::string& path) {
  auto found = pooled_.find(Upper(FileNameOf(path)));
  if (found == pooled_.end() && any_name_) found = pooled_.begin();
  if (found == pooled_.end()) return false;
  const std::string from = JoinPath(pool_, *found);
  pooled_.erase(found);
  try {
    base().rename(from, path);
  } catch (const EDBEngineError&) {
    return false;  // created anew; the pooled file goes with the pool
  }
  return true;
}

}  // namespace vellum::engine
