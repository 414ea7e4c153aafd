// A JSON cursor for the model-file reader: whitespace, strings, numbers,
// skipping of values nobody asked for, and error positions.
//
// The reader works on bytes of a text held by the caller (which must outlive
// it). It never throws except std::bad_alloc and never recurses: skipping a
// value keeps its own bracket stack, bounded at kMaxSkipDepth levels, so a
// hostile document cannot exhaust the native stack. After the first failure
// the reader holds that error; error() renders it as "{message} at line {}
// column {}", with lines counted from 1 and the column being that of the
// offending character (counted in characters, 1-based; at the end of the text,
// that of the last character).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tarvik::detail {

inline constexpr int kMaxSkipDepth = 256;

// A number literal as written, its JSON grammar already checked.
struct NumberText {
  std::string_view text;
  bool integral = true;   // no fraction and no exponent
  bool negative = false;  // begins with '-'
};

// Outcome of JsonReader::after_element.
enum class Scan : std::uint8_t { kMore, kDone, kError };

class JsonReader {
 public:
  explicit JsonReader(std::string_view text)
      : begin_(text.data()), pos_(text.data()), end_(text.data() + text.size()) {}

  void skip_ws() {
    while (pos_ != end_ && is_ws(*pos_)) ++pos_;
  }
  bool at_end() const { return pos_ == end_; }
  // The next byte, or '\0' at the end of the text.
  char peek() const { return pos_ != end_ ? *pos_ : '\0'; }
  void advance() { ++pos_; }
  std::size_t offset() const { return static_cast<std::size_t>(pos_ - begin_); }

  // Consumes the literal `word` (null, true, false) at the cursor.
  bool read_literal(std::string_view word);
  // Reads the string at the cursor (which is at '"') into `out`, escapes decoded.
  bool read_string(std::string& out);
  // Like read_string, but returns a view into the text when the string has no
  // escapes; otherwise a view of an internal scratch string valid until the
  // next call.
  bool read_key(std::string_view& key);
  // Reads the number at the cursor (at '-' or a digit), checking its grammar.
  bool read_number(NumberText& out);
  // Skips one value of any type, checking its syntax.
  bool skip_value();

  // Inside an array or object whose elements were just read: skips whitespace
  // and consumes ',' (kMore; then the next element must follow, so a closing
  // bracket there is a trailing comma) or `close` (kDone).
  Scan after_element(char close);

  // Reads the value at the cursor and describes it for a type error:
  // "null", "boolean `true`", "integer `-3`", "floating point `1.5`",
  // "string \"abc\"", "array", "object".
  bool describe_value(std::string& out);

  // Records an error at byte offset `at` and returns false. The first error wins.
  bool fail(std::size_t at, std::string message);
  // "EOF while parsing {what}" at the end, otherwise `message`, at the cursor.
  bool fail_here(std::string_view what, std::string message);

  bool failed() const { return failed_; }
  // The recorded error with its line and column, as an kIo error.
  Error error() const;

 private:
  static bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
  bool read_string_into(std::string& out);
  bool skip_string();
  bool read_hex4(unsigned& value);

  const char* begin_;
  const char* pos_;
  const char* end_;
  std::string scratch_;
  bool failed_ = false;
  std::size_t error_at_ = 0;
  std::string error_message_;
};

// Value of an unsigned decimal digit string; false when it exceeds 2^64-1.
bool parse_u64(std::string_view digits, std::uint64_t& value);

}  // namespace tarvik::detail
