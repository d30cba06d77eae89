#include "engine/paradox/entry_sorter.h"

#include <algorithm>
#include <cstring>
#include <queue>

#include "engine/errors.h"

namespace vellum::engine::paradox {

namespace {

// Bytes written to a run file at a time, and the most read from one run at
// a time while merging.
constexpr size_t kRunWriteBytes = size_t{256} * 1024;
constexpr size_t kRunReadBytes = size_t{256} * 1024;

}  // namespace

EntrySorter::EntrySorter(FileSystem& fs, std::string directory, std::string run_prefix,
                         size_t record_size, std::vector<KeyPart> parts, size_t compared,
                         size_t buffer_bytes)
    : fs_(fs),
      directory_(std::move(directory)),
      prefix_(std::move(run_prefix)),
      record_size_(record_size),
      parts_(std::move(parts)),
      compared_(compared),
      buffer_bytes_(buffer_bytes) {
  // Each buffered record also takes a slot of the sort order.
  capacity_ = std::max<size_t>(2, buffer_bytes_ / (record_size_ + sizeof(uint32_t)));
}

EntrySorter::~EntrySorter() {
  try {
    removeRuns();
  } catch (...) {
    // A failed restructure removes its whole work directory anyway.
  }
}

std::string EntrySorter::runPath(size_t i) const {
  return JoinPath(directory_, prefix_ + std::to_string(i + 1));
}

void EntrySorter::add(const uint8_t* record) {
  if (buffered_ == capacity_) writeRun();
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<uint8_t[]>(capacity_ * record_size_);
  std::memcpy(buffer_.get() + buffered_ * record_size_, record, record_size_);
  ++buffered_;
}

void EntrySorter::sortBuffer() {
  order_.resize(buffered_);
  for (size_t i = 0; i < buffered_; ++i) order_[i] = static_cast<uint32_t>(i);
  const uint8_t* base = buffer_.get();
  const size_t rs = record_size_;
  std::sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
    return CompareKeys(parts_, compared_, base + a * rs, base + b * rs) < 0;
  });
}

void EntrySorter::writeRun() {
  sortBuffer();
  const std::string path = runPath(run_counts_.size());
  auto file = fs_.open(path, OpenMode::kCreateNew);
  run_counts_.push_back(buffered_);
  if (unnamed_runs_) fs_.remove(path);
  std::vector<uint8_t> out;
  out.reserve(std::max(kRunWriteBytes, record_size_));
  uint64_t offset = 0;
  for (size_t i = 0; i < buffered_; ++i) {
    const uint8_t* r = buffer_.get() + static_cast<size_t>(order_[i]) * record_size_;
    out.insert(out.end(), r, r + record_size_);
    if (out.size() + record_size_ > kRunWriteBytes || i + 1 == buffered_) {
      file->write(offset, out.data(), out.size());
      offset += out.size();
      out.clear();
    }
  }
  buffered_ = 0;
  if (unnamed_runs_) unnamed_.push_back(std::move(file));
}

void EntrySorter::drain(const std::function<void(const uint8_t*)>& out) {
  if (run_counts_.empty()) {
    // Everything fits in memory: no files.
    sortBuffer();
    for (size_t i = 0; i < buffered_; ++i) {
      out(buffer_.get() + static_cast<size_t>(order_[i]) * record_size_);
    }
    buffered_ = 0;
    return;
  }
  if (buffered_ > 0) writeRun();
  // The collecting buffer is not needed any more: its memory goes to the
  // read buffers of the runs.
  buffer_.reset();
  std::vector<uint32_t>().swap(order_);
  const size_t n = run_counts_.size();
  const size_t per_run_records =
      std::max<size_t>(1, std::min(kRunReadBytes, buffer_bytes_ / n) / record_size_);
  struct Run {
    std::unique_ptr<File> file;
    uint64_t offset = 0;     // next byte to read
    uint64_t remaining = 0;  // records not read yet
    std::vector<uint8_t> buf;
    size_t pos = 0, count = 0;
  };
  std::vector<Run> runs(n);
  auto refill = [&](Run& r) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(r.remaining, per_run_records));
    r.buf.resize(take * record_size_);
    if (take > 0 && r.file->read(r.offset, r.buf.data(), r.buf.size()) != r.buf.size()) {
      ThrowCorrupt(r.file->path(), "a sorted run ends early", subcode::kGeneric);
    }
    r.offset += r.buf.size();
    r.remaining -= take;
    r.pos = 0;
    r.count = take;
  };
  auto at = [&](size_t i) { return runs[i].buf.data() + runs[i].pos * record_size_; };
  auto later = [&](size_t a, size_t b) {
    const int c = CompareKeys(parts_, compared_, at(a), at(b));
    return c != 0 ? c > 0 : a > b;
  };
  std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
  for (size_t i = 0; i < n; ++i) {
    runs[i].file = unnamed_runs_ ? std::move(unnamed_[i]) : fs_.open(runPath(i), OpenMode::kRead);
    runs[i].remaining = run_counts_[i];
    refill(runs[i]);
    if (runs[i].count > 0) heap.push(i);
  }
  while (!heap.empty()) {
    const size_t i = heap.top();
    heap.pop();
    out(at(i));
    Run& r = runs[i];
    if (++r.pos == r.count) refill(r);
    if (r.count > 0) heap.push(i);
  }
  runs.clear();
  removeRuns();
}

void EntrySorter::removeRuns() {
  unnamed_.clear();
  for (size_t i = 0; i < run_counts_.size(); ++i) {
    const std::string path = runPath(i);
    if (!unnamed_runs_ && fs_.exists(path)) fs_.remove(path);
  }
  run_counts_.clear();
}

}  // namespace vellum::engine::paradox
