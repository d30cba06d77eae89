// The record codec of a table: typed values to and from the bytes of a
// record in the table's layout and code page, blob values through the .MB
// (or, when it is missing, the part a blob field's leader holds).

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/errors.h"
#include "engine/number_text.h"
#include "engine/paradox/blob_file.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/px_types.h"
#include "engine/paradox/table_impl.h"

namespace vellum::engine::paradox {

std::string Table::Impl::encodeText(const PxField& f, const std::string& text, bool key) {
  if (key) return code_page->fromUtf8(text);
  // U+FFFD stands for bytes that could not be decoded when the text was
  // read; they are gone already and go back as '?'. Any other character the
  // code page lacks is refused rather than replaced.
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string plain = text;
  for (size_t at = plain.find(kReplacement); at != std::string::npos;
       at = plain.find(kReplacement, at + 1)) {
    plain.replace(at, kReplacement.size(), "?");
  }
  std::optional<std::string> bytes = code_page->fromUtf8Exact(plain);
  if (!bytes) {
    ThrowInvalid("Field \"" + code_page->toUtf8(f.name) + "\" of table \"" + base +
                     "\" cannot hold \"" + text + "\": code page " +
                     std::to_string(code_page->number()) + " lacks some of its characters",
                 subcode::kBadValue);
  }
  return *bytes;
}

void Table::Impl::encodeField(const PxField& f, size_t index, const Value& v, uint8_t* rec,
                              bool* wrote_blob, bool key) {
  uint8_t* p = rec + f.offset;
  std::memset(p, 0, f.length);
  if (IsNull(v)) return;
  auto bad = [&](const char* what) {
    ThrowInvalid(
        "Field \"" + code_page->toUtf8(f.name) + "\" of table \"" + base + "\" cannot hold " + what,
        subcode::kBadValue);
  };
  auto as_int = [&]() -> int64_t {
    if (auto* i = std::get_if<int64_t>(&v)) return *i;
    if (auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    if (auto* d = std::get_if<double>(&v)) {
      if (std::isfinite(*d) && std::nearbyint(*d) == *d) return static_cast<int64_t>(*d);
    }
    bad("this value (an integer is expected)");
    return 0;
  };
  auto as_double = [&]() -> double {
    if (auto* d = std::get_if<double>(&v)) return *d;
    if (auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
    bad("this value (a number is expected)");
    return 0;
  };
  switch (f.type) {
    case PxType::kAlpha: {
      const auto* s = std::get_if<std::string>(&v);
      if (!s) bad("this value (text is expected)");
      std::string bytes = encodeText(f, *s, key);
      // An Alpha field is zero-padded (above); a value of its full length has
      // no terminator.
      // NOLINTNEXTLINE(bugprone-not-null-terminated-result): no terminator is due
      std::memcpy(p, bytes.data(), std::min<size_t>(bytes.size(), f.length));
      break;
    }
    case PxType::kShort: {
      int64_t i = as_int();
      if (i < -32767 || i > 32767) bad("a value outside -32767..32767");
      EncodeShort(p, static_cast<int16_t>(i));
      break;
    }
    case PxType::kLong:
    case PxType::kAutoInc: {
      int64_t i = as_int();
      if (i < -2147483647LL || i > 2147483647LL) bad("a value outside the 32-bit range");
      EncodeLong(p, static_cast<int32_t>(i));
      break;
    }
    case PxType::kNumber:
    case PxType::kMoney:
      EncodeDouble(p, as_double());
      break;
    case PxType::kLogical: {
      if (auto* b = std::get_if<bool>(&v)) {
        EncodeLogical(p, *b);
      } else {
        EncodeLogical(p, as_int() != 0);
      }
      break;
    }
    case PxType::kDate: {
      const auto* d = std::get_if<Date>(&v);
      if (!d) bad("this value (a date is expected)");
      if (d->day <= 0) bad("a date before the year 1");
      EncodeLong(p, d->day);
      break;
    }
    case PxType::kTime: {
      const auto* t = std::get_if<TimeOfDay>(&v);
      if (!t) bad("this value (a time is expected)");
      if (t->ms < 0 || t->ms >= 86400000) bad("a time outside one day");
      EncodeLong(p, t->ms);
      break;
    }
    case PxType::kTimestamp: {
      const auto* t = std::get_if<Timestamp>(&v);
      if (!t) bad("this value (a timestamp is expected)");
      EncodeDouble(p, t->ms);
      break;
    }
    case PxType::kBcd: {
      std::string text;
      if (auto* d = std::get_if<Decimal>(&v)) {
        text = d->text;
      } else if (auto* s = std::get_if<std::string>(&v)) {
        text = *s;
      } else if (auto* i = std::get_if<int64_t>(&v)) {
        text = std::to_string(*i);
      } else if (auto* dd = std::get_if<double>(&v)) {
        text = FormatFixed(*dd, f.size_byte);
      } else {
        bad("this value (a decimal number is expected)");
      }
      if (!EncodeBcd(p, f.size_byte, text)) bad(("the value " + text).c_str());
      break;
    }
    case PxType::kBytes: {
      const auto* b = std::get_if<Bytes>(&v);
      if (!b) bad("this value (bytes are expected)");
      std::memcpy(p, b->data(), std::min<size_t>(b->size(), f.length));
      break;
    }
    case PxType::kMemo:
    case PxType::kFmtMemo:
    case PxType::kBinary:
    case PxType::kOle:
    case PxType::kGraphic: {
      Bytes data;
      if (auto* s = std::get_if<std::string>(&v)) {
        std::string bytes = f.type == PxType::kMemo ? encodeText(f, *s, key) : *s;
        data.assign(bytes.begin(), bytes.end());
      } else if (auto* b = std::get_if<Bytes>(&v)) {
        data = *b;
      } else {
        bad("this value (text or bytes are expected)");
      }
      if (data.empty()) return;
      writeBlob(f, data, p);
      *wrote_blob = true;
      break;
    }
  }
  (void)index;
}

Value Table::Impl::decodeField(const PxField& f, const uint8_t* rec) {
  const uint8_t* p = rec + f.offset;
  switch (f.type) {
    case PxType::kAlpha: {
      size_t n = 0;
      while (n < f.length && p[n] != 0) ++n;
      if (n == 0) return std::monostate{};
      return code_page->toUtf8(reinterpret_cast<const char*>(p), n);
    }
    case PxType::kShort: {
      auto v = DecodeShort(p);
      if (!v) return std::monostate{};
      return static_cast<int64_t>(*v);
    }
    case PxType::kLong:
    case PxType::kAutoInc: {
      auto v = DecodeLong(p);
      if (!v) return std::monostate{};
      return static_cast<int64_t>(*v);
    }
    case PxType::kNumber:
    case PxType::kMoney: {
      auto v = DecodeDouble(p);
      if (!v) return std::monostate{};
      return *v;
    }
    case PxType::kLogical: {
      auto v = DecodeLogical(p);
      if (!v) return std::monostate{};
      return *v;
    }
    case PxType::kDate: {
      auto v = DecodeLong(p);
      if (!v) return std::monostate{};
      return Date{*v};
    }
    case PxType::kTime: {
      auto v = DecodeLong(p);
      if (!v) return std::monostate{};
      return TimeOfDay{*v};
    }
    case PxType::kTimestamp: {
      auto v = DecodeDouble(p);
      if (!v) return std::monostate{};
      return Timestamp{*v};
    }
    case PxType::kBcd: {
      auto v = DecodeBcd(p, f.size_byte);
      if (!v) return std::monostate{};
      return Decimal{*v};
    }
    case PxType::kBytes: {
      if (IsAllZero(p, f.length)) return std::monostate{};
      return Bytes(p, p + f.length);
    }
    case PxType::kMemo:
    case PxType::kFmtMemo:
    case PxType::kBinary:
    case PxType::kOle:
    case PxType::kGraphic: {
      if (IsAllZero(p, f.length)) return std::monostate{};
      Bytes data = readBlob(f, p);
      if (data.empty()) return std::monostate{};
      if (f.type == PxType::kMemo) {
        return code_page->toUtf8(reinterpret_cast<const char*>(data.data()), data.size());
      }
      return data;
    }
  }
  return std::monostate{};
}

Bytes Table::Impl::readBlob(const PxField& f, const uint8_t* p) {
  if (salvage) return salvageBlob(f, p);
  if (blobs) return blobs->read(p, f.leaderLength(), f.type, code_page->toUtf8(f.name));
  // The .MB is missing (verify reports it): a value that lived there reads
  // as the part its leader repeats, all the table still holds.
  const auto d = BlobDescriptor::Decode(p, f.leaderLength());
  if (d.length > static_cast<uint32_t>(f.leaderLength())) ++values_cut_short;
  return Bytes(p, p + std::min<size_t>(d.length, static_cast<size_t>(f.leaderLength())));
}

// A salvage read keeps no value it cannot read whole: one the blob file
// cannot give (or that lives in a missing blob file) reads as NULL, noted.
Bytes Table::Impl::salvageBlob(const PxField& f, const uint8_t* p) {
  const std::string field = code_page->toUtf8(f.name);
  std::string why;
  if (blobs) {
    try {
      return blobs->read(p, f.leaderLength(), f.type, field);
    } catch (const EDBEngineError& e) {
      why = e.what();
    }
  } else {
    const auto d = BlobDescriptor::Decode(p, f.leaderLength());
    if (d.length <= static_cast<uint32_t>(f.leaderLength())) return Bytes(p, p + d.length);
    why = "the blob file " + base + ".MB is missing";
  }
  ++salvage->blob_values_lost;
  if (salvage->blob_problems.size() < 10) {
    salvage->blob_problems.push_back("a value of field \"" + field + "\": " + why);
  }
  return {};
}

void Table::Impl::writeBlob(const PxField& f, const Bytes& data, uint8_t* p) {
  if (static_cast<int>(data.size()) > f.leaderLength() && !blobs) {
    ThrowInvalid("Table \"" + base + "\" has no blob file for field \"" +
                 code_page->toUtf8(f.name) + "\"");
  }
  if (blobs) {
    blobs->write(p, f.leaderLength(), f.type, data);
  } else {
    std::memcpy(p, data.data(), data.size());
    StoreLe32(p + f.leaderLength() + 4, static_cast<uint32_t>(data.size()));
  }
}

Bytes Table::Impl::storedBytes(const PxField& f, const uint8_t* rec) {
  const uint8_t* p = rec + f.offset;
  if (!HoldsStoredBytes(f.type)) {
    ThrowInvalid("Field \"" + code_page->toUtf8(f.name) + "\" of table \"" + base +
                 "\" does not hold its values as bytes");
  }
  if (f.type == PxType::kAlpha) {
    size_t n = 0;
    while (n < f.length && p[n] != 0) ++n;
    return Bytes(p, p + n);
  }
  if (IsAllZero(p, f.length)) return {};
  if (f.type == PxType::kBytes) return Bytes(p, p + f.length);
  return readBlob(f, p);
}

void Table::Impl::setStoredBytes(const PxField& f, const Bytes& bytes, uint8_t* rec) {
  uint8_t* p = rec + f.offset;
  if (!HoldsStoredBytes(f.type)) {
    ThrowInvalid("Field \"" + code_page->toUtf8(f.name) + "\" of table \"" + base +
                 "\" does not hold its values as bytes");
  }
  std::memset(p, 0, f.length);
  const size_t kept = KeptStoredBytes(bytes, f.type, f.length, code_page->number());
  if (kept == 0) return;
  if (IsBlobType(f.type)) {
    writeBlob(f, bytes, p);
  } else {
    std::memcpy(p, bytes.data(), kept);
  }
}

void Table::Impl::encodeRow(const Row& row, std::vector<uint8_t>* rec, const TableStructure& st) {
  const auto& fields = h().fields;
  if (row.size() != fields.size()) {
    ThrowInvalid("A record of table \"" + base + "\" needs " + std::to_string(fields.size()) +
                 " values, " + std::to_string(row.size()) + " were given");
  }
  rec->assign(h().record_size, 0);
  size_t written = 0;
  try {
    for (size_t i = 0; i < fields.size(); ++i) {
      if (IsNull(row[i]) && st.fields[i].required && check_required) {
        ThrowInvalid(
            "Field \"" + st.fields[i].name + "\" of table \"" + base + "\" must have a value",
            subcode::kRequired);
      }
      bool wrote = false;
      encodeField(fields[i], i, row[i], rec->data(), &wrote);
      written = i + 1;
    }
  } catch (...) {
    // Give back the blob space already taken by this record.
    for (size_t i = 0; i < written; ++i) {
      if (IsBlobType(fields[i].type) && blobs) {
        blobs->release(rec->data() + fields[i].offset, fields[i].leaderLength());
      }
    }
    throw;
  }
}

Row Table::Impl::decodeRow(const uint8_t* rec) {
  const auto& fields = h().fields;
  Row row;
  row.reserve(fields.size());
  for (const auto& f : fields) row.push_back(decodeField(f, rec));
  return row;
}

void Table::Impl::releaseBlobs(const uint8_t* rec) {
  if (!blobs) return;
  for (const auto& f : h().fields) {
    if (IsBlobType(f.type)) blobs->release(rec + f.offset, f.leaderLength());
  }
}

bool HoldsStoredBytes(PxType type) {
  return type == PxType::kAlpha || type == PxType::kBytes || IsBlobType(type);
}

size_t KeptStoredBytes(const Bytes& bytes, PxType type, size_t length, int code_page) {
  if (IsBlobType(type)) return bytes.size();
  if (type == PxType::kBytes) return std::min(bytes.size(), length);
  // An Alpha value ends at its first zero byte.
  const auto zero = std::find(bytes.begin(), bytes.end(), uint8_t{0});
  const auto n = static_cast<size_t>(zero - bytes.begin());
  return FitToCharacters(bytes.data(), n, length, code_page);
}

}  // namespace vellum::engine::paradox
