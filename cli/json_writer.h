// A small streaming JSON writer for the command line's output.
//
// JsonWriter writes values, arrays and objects straight to an ostream in the
// order they are given, inserting commas, and (when pretty) newlines and
// two-space indentation. It keeps only the nesting stack, so arbitrarily long
// arrays stream in constant memory. The caller is responsible for a well-formed
// sequence of calls (a key before each value inside an object, balanced
// begin/end); the writer does not check it.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vellum::cli {

// Appends `text` to `out` as a JSON string literal, quotes included. Quotes,
// backslashes and control characters are escaped; valid UTF-8 passes through
// unchanged and each byte that is not part of a valid UTF-8 sequence becomes
// U+FFFD, so the result is always valid JSON.
void AppendJsonString(std::string& out, std::string_view text);

// Appends a double as a JSON number in the form of DoubleText. JSON has
// no NaN or infinity: those are written as the strings "NaN", "Infinity" and
// "-Infinity".
void AppendJsonNumber(std::string& out, double value);

class JsonWriter {
 public:
  JsonWriter(std::ostream& out, bool pretty) : out_(out), pretty_(pretty) {}

  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  // Names the next value of the current object.
  void key(std::string_view name);

  void string(std::string_view text);
  void number(int64_t value);
  void number(double value);
  void boolean(bool value);
  void null();

  // Shorthands for a key followed by its value.
  void member(std::string_view name, std::string_view text) {
    key(name);
    string(text);
  }
  void member(std::string_view name, const char* text) { member(name, std::string_view(text)); }
  void member(std::string_view name, int64_t value) {
    key(name);
    number(value);
  }
  void member(std::string_view name, bool value) {
    key(name);
    boolean(value);
  }

 private:
  struct Level {
    bool object = false;
    int count = 0;
  };
  // Writes the separator and indentation that precede a value (or a key).
  void beforeValue();
  void begin(char bracket, bool object);
  void end(char bracket);
  void newline(size_t depth);

  std::ostream& out_;
  bool pretty_;
  bool after_key_ = false;
  std::vector<Level> stack_;
  std::string buffer_;
};

}  // namespace vellum::cli
