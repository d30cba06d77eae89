#include "cli/json_writer.h"

#include <cmath>

#include "cli/value_text.h"

namespace vellum::cli {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and values above U+10FFFF are
// invalid).
size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  size_t length = 0;
  uint32_t code = 0;
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    code = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    code = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    code = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  if (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) return 0;
  if (length == 4 && (code < 0x10000 || code > 0x10FFFF)) return 0;
  return length;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
}

void AppendJsonNumber(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "\"NaN\"";
  } else if (std::isinf(value)) {
    out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  } else {
    out += DoubleText(value);
  }
}

void JsonWriter::newline(size_t depth) {
  out_.put('\n');
  for (size_t i = 0; i < depth; ++i) out_.write("  ", 2);
}

void JsonWriter::beforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (stack_.empty()) return;
  Level& level = stack_.back();
  if (level.count++ > 0) out_.put(',');
  if (pretty_) newline(stack_.size());
}

void JsonWriter::begin(char bracket, bool object) {
  beforeValue();
  out_.put(bracket);
  stack_.push_back(Level{object, 0});
}

void JsonWriter::end(char bracket) {
  const bool had_members = !stack_.empty() && stack_.back().count > 0;
  if (!stack_.empty()) stack_.pop_back();
  if (pretty_ && had_members) newline(stack_.size());
  out_.put(bracket);
  if (pretty_ && stack_.empty()) out_.put('\n');
}

void JsonWriter::beginObject() { begin('{', true); }
void JsonWriter::endObject() { end('}'); }
void JsonWriter::beginArray() { begin('[', false); }
void JsonWriter::endArray() { end(']'); }

void JsonWriter::key(std::string_view name) {
  beforeValue();
  buffer_.clear();
  AppendJsonString(buffer_, name);
  buffer_ += pretty_ ? ": " : ":";
  out_ << buffer_;
  after_key_ = true;
}

void JsonWriter::string(std::string_view text) {
  beforeValue();
  buffer_.clear();
  AppendJsonString(buffer_, text);
  out_ << buffer_;
}

void JsonWriter::number(int64_t value) {
  beforeValue();
  out_ << value;
}

void JsonWriter::number(double value) {
  beforeValue();
  buffer_.clear();
  AppendJsonNumber(buffer_, value);
  out_ << buffer_;
}

void JsonWriter::boolean(bool value) {
  beforeValue();
  out_ << (value ? "true" : "false");
}

void JsonWriter::null() {
  beforeValue();
  out_ << "null";
}

}  // namespace vellum::cli
