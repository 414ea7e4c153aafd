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

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
    while (pos_ != end_) {
      char c = *pos_;
      if (c == ' ') {
        skip_spaces();
      } else if (c == '\n' || c == '\r' || c == '\t') {
        ++pos_;
      } else {
        return;
      }
    }
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
  // Fast path for the common integer: reads a number written as at most 19
  // plain digits whose value is at most `max`. Returns false, consuming
  // nothing, for anything else (read_number then tells what it is).
  bool try_read_uint(std::uint64_t max, std::uint64_t& value) {
    const char* p = pos_;
    std::uint64_t v = 0;
    int digits = 0;
    while (p != end_ && static_cast<unsigned>(*p - '0') < 10 && digits < 20) {
      v = v * 10 + static_cast<unsigned>(*p - '0');
      ++p;
      ++digits;
    }
    if (digits == 0 || digits > 19 || (digits > 1 && *pos_ == '0') || v > max) return false;
    if (p != end_ && (*p == '.' || *p == 'e' || *p == 'E')) return false;
    pos_ = p;
    value = v;
    return true;
  }
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
  // Skips a run of spaces (the indentation of the written layout) eight at a time.
  void skip_spaces() {
    while (end_ - pos_ >= 8) {
      std::uint64_t word;
      std::memcpy(&word, pos_, 8);
      std::uint64_t other = word ^ 0x2020202020202020u;  // zero bytes where spaces are
      if (other != 0) {
        pos_ += std::countr_zero(other) / 8;  // little-endian: the first byte is the lowest
        return;
      }
      pos_ += 8;
    }
    while (pos_ != end_ && *pos_ == ' ') ++pos_;
  }
  // Moves past the plain characters of a string: everything up to the
  // closing quote, a backslash, a control character or the end of the text.
  void skip_plain() {
    while (pos_ != end_ && *pos_ != '"' && *pos_ != '\\' &&
           static_cast<unsigned char>(*pos_) >= 0x20) {
      ++pos_;
    }
  }
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
