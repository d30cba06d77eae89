#include "engine/paradox/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace vellum::engine::paradox {

const std::vector<int>& KnownCodePages() {
  static const std::vector<int> pages = {0,   437,  850,  852,  857,  860,  861,  863,  865, 866,
                                         936, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257};
  return pages;
}

std::string IconvName(int number) {
  if (number == 0) return "HP-ROMAN8";
  if (number == 936) return "GBK";
  return "CP" + std::to_string(number);
}

namespace {
// What iconv_open returns when it has no converter for the pair.
// NOLINTNEXTLINE(performance-no-int-to-ptr): iconv's own failure value is (iconv_t)-1
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);
}  // namespace

struct CodePage::Impl {
  iconv_t to_utf8 = kNoConverter;
  iconv_t from_utf8 = kNoConverter;
  mutable std::mutex mutex;
  bool ascii_only = false;
};

CodePage::CodePage(int number) : number_(number), impl_(std::make_unique<Impl>()) {
  std::string name = IconvName(number);
  impl_->to_utf8 = iconv_open("UTF-8", name.c_str());
  impl_->from_utf8 = iconv_open(name.c_str(), "UTF-8");
  if (impl_->to_utf8 == kNoConverter || impl_->from_utf8 == kNoConverter) {
    impl_->ascii_only = true;
  }
}

CodePage::~CodePage() {
  if (impl_->to_utf8 != kNoConverter) iconv_close(impl_->to_utf8);
  if (impl_->from_utf8 != kNoConverter) iconv_close(impl_->from_utf8);
}

bool CodePage::supported() const { return !impl_->ascii_only; }

namespace {

bool IsAscii(const char* data, size_t n) {
  // Eight bytes at a time: most text of most tables is plain ASCII.
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < n; ++i) {
    if (static_cast<unsigned char>(data[i]) >= 0x80) return false;
  }
  return true;
}

// Converts the whole input as one value, from a fresh converter state to a
// flushed one; an unconvertible input character is replaced by
// `replacement` and skipped, and `*replaced` (when given) is set.
std::string Convert(iconv_t cd, const char* data, size_t n, const std::string& replacement,
                    bool utf8_input, bool* replaced = nullptr) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.reserve(n * 2 + 8);
  std::vector<char> buffer(n * 4 + 16);
  char* in = const_cast<char*>(data);
  size_t in_left = n;
  while (in_left > 0) {
    char* o = buffer.data();
    size_t o_left = buffer.size();
    size_t r = iconv(cd, &in, &in_left, &o, &o_left);
    out.append(buffer.data(), static_cast<size_t>(o - buffer.data()));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: skip one input character.
      if (replaced != nullptr) *replaced = true;
      out += replacement;
      size_t skip = 1;
      if (utf8_input) {
        auto c = static_cast<unsigned char>(*in);
        skip = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (skip > in_left) skip = in_left;
      }
      in += skip;
      in_left -= skip;
    }
  }
  // A stateful converter may still hold the last character back (code page
  // 1255 waits for a combining mark that could follow a letter): the value
  // ends here, so let it go.
  char* o = buffer.data();
  size_t o_left = buffer.size();
  iconv(cd, nullptr, nullptr, &o, &o_left);
  out.append(buffer.data(), static_cast<size_t>(o - buffer.data()));
  return out;
}

}  // namespace

std::string CodePage::toUtf8(const char* data, size_t n) const {
  if (IsAscii(data, n)) return std::string(data, n);
  if (impl_->ascii_only) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
      out += static_cast<unsigned char>(data[i]) < 0x80 ? std::string(1, data[i]) : "\xEF\xBF\xBD";
    }
    return out;
  }
  std::lock_guard lock(impl_->mutex);
  return Convert(impl_->to_utf8, data, n, "\xEF\xBF\xBD", false);
}

std::string CodePage::fromUtf8(const std::string& text) const {
  if (IsAscii(text.data(), text.size())) return text;
  if (impl_->ascii_only) {
    std::string out;
    for (char c : text) {
      if (static_cast<unsigned char>(c) < 0x80) {
        out += c;
      } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        out += '?';
      }
    }
    return out;
  }
  std::lock_guard lock(impl_->mutex);
  return Convert(impl_->from_utf8, text.data(), text.size(), "?", true);
}

std::optional<std::string> CodePage::fromUtf8Exact(const std::string& text) const {
  if (IsAscii(text.data(), text.size())) return text;
  if (impl_->ascii_only) return std::nullopt;
  bool replaced = false;
  std::string out;
  {
    std::lock_guard lock(impl_->mutex);
    out = Convert(impl_->from_utf8, text.data(), text.size(), "?", true, &replaced);
  }
  if (replaced) return std::nullopt;
  return out;
}

size_t FitToCharacters(const uint8_t* data, size_t n, size_t limit, int number) {
  if (n <= limit) return n;
  const bool double_byte = number == 932 || number == 936 || number == 949 || number == 950;
  if (!double_byte) return limit;
  auto lead = [number](uint8_t b) {
    if (number == 932) return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    return b >= 0x81 && b <= 0xFE;
  };
  size_t at = 0;
  while (at < limit) {
    const size_t width = lead(data[at]) && at + 1 < n ? 2 : 1;
    if (at + width > limit) break;
    at += width;
  }
  return at;
}

}  // namespace vellum::engine::paradox
