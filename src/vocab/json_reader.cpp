// JSON cursor for the model-file reader.
#include "vocab/json_reader.h"

#include <algorithm>
#include <cstring>

#include "vocab/json_writer.h"

namespace tarvik::detail {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Long literals are shortened in messages; the cut never splits a character.
constexpr std::size_t kQuoteLimit = 48;

std::string_view shorten(std::string_view s, bool* cut) {
  *cut = s.size() > kQuoteLimit;
  if (!*cut) return s;
  std::size_t n = kQuoteLimit;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

}  // namespace

bool parse_u64(std::string_view digits, std::uint64_t& value) {
  std::uint64_t v = 0;
  for (char c : digits) {
    std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  value = v;
  return true;
}

bool JsonReader::fail(std::size_t at, std::string message) {
  if (!failed_) {
    failed_ = true;
    error_at_ = at;
    error_message_ = std::move(message);
  }
  return false;
}

bool JsonReader::fail_here(std::string_view what, std::string message) {
  if (at_end()) return fail(offset(), "EOF while parsing " + std::string(what));
  return fail(offset(), std::move(message));
}

Error JsonReader::error() const {
  std::size_t size = static_cast<std::size_t>(end_ - begin_);
  std::size_t at = std::min(error_at_, size);
  std::size_t line = 1 + static_cast<std::size_t>(std::count(begin_, begin_ + at, '\n'));
  const char* line_start = begin_ + at;
  while (line_start != begin_ && line_start[-1] != '\n') --line_start;
  // Characters before the offending one on its line, plus that one itself;
  // at the end of the text the column is that of the last character.
  std::size_t column = 0;
  for (const char* p = line_start; p != begin_ + at; ++p) {
    if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) ++column;
  }
  if (at < size) ++column;
  return Error::io(error_message_ + " at line " + std::to_string(line) + " column " +
                   std::to_string(column));
}

bool JsonReader::read_literal(std::string_view word) {
  std::size_t at = offset();
  for (char expected : word) {
    if (at_end()) return fail(offset(), "EOF while parsing a value");
    if (*pos_ != expected) return fail(at, "expected value");
    ++pos_;
  }
  return true;
}

bool JsonReader::read_hex4(unsigned& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (at_end()) return fail(offset(), "EOF while parsing a string");
    int d = hex_value(*pos_);
    if (d < 0) return fail(offset(), "invalid hex digit in \\u escape");
    value = value * 16 + static_cast<unsigned>(d);
    ++pos_;
  }
  return true;
}

// The cursor is just past the opening quote.
bool JsonReader::read_string_into(std::string& out) {
  for (;;) {
    const char* run = pos_;
    skip_plain();
    out.append(run, pos_);
    if (at_end()) return fail(offset(), "EOF while parsing a string");
    char c = *pos_;
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c != '\\') {
      return fail(offset(), "control character (below U+0020) in a string; write it as an escape");
    }
    std::size_t escape_at = offset();
    ++pos_;
    if (at_end()) return fail(offset(), "EOF while parsing a string");
    c = *pos_++;
    switch (c) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        unsigned cp;
        if (!read_hex4(cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
          return fail(escape_at, "unpaired low surrogate in \\u escape");
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (end_ - pos_ < 2 || pos_[0] != '\\' || pos_[1] != 'u') {
            return fail(escape_at, "unpaired high surrogate in \\u escape");
          }
          pos_ += 2;
          unsigned low;
          if (!read_hex4(low)) return false;
          if (low < 0xDC00 || low > 0xDFFF) {
            return fail(escape_at, "unpaired high surrogate in \\u escape");
          }
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, cp);
        break;
      }
      default:
        return fail(escape_at, "invalid escape");
    }
  }
}

bool JsonReader::read_string(std::string& out) {
  out.clear();
  ++pos_;  // '"'
  return read_string_into(out);
}

bool JsonReader::read_key(std::string_view& key) {
  ++pos_;  // '"'
  const char* start = pos_;
  skip_plain();
  if (pos_ != end_ && *pos_ == '"') {
    key = std::string_view(start, static_cast<std::size_t>(pos_ - start));
    ++pos_;
    return true;
  }
  scratch_.assign(start, pos_);
  if (!read_string_into(scratch_)) return false;
  key = scratch_;
  return true;
}

bool JsonReader::skip_string() {
  ++pos_;  // '"'
  skip_plain();
  if (pos_ != end_ && *pos_ == '"') {
    ++pos_;
    return true;
  }
  // Escapes and errors are rare: let the decoder check them.
  scratch_.clear();
  return read_string_into(scratch_);
}

bool JsonReader::read_number(NumberText& out) {
  const char* start = pos_;
  out.negative = false;
  out.integral = true;
  if (*pos_ == '-') {
    out.negative = true;
    ++pos_;
  }
  if (at_end()) return fail(offset(), "EOF while parsing a value");
  if (*pos_ == '0') {
    ++pos_;
    if (pos_ != end_ && is_digit(*pos_)) return fail(offset(), "invalid number: leading zero");
  } else if (is_digit(*pos_)) {
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
  } else {
    return fail(offset(), "invalid number");
  }
  if (pos_ != end_ && *pos_ == '.') {
    out.integral = false;
    ++pos_;
    if (pos_ == end_ || !is_digit(*pos_)) return fail_here("a value", "invalid number");
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
  }
  if (pos_ != end_ && (*pos_ == 'e' || *pos_ == 'E')) {
    out.integral = false;
    ++pos_;
    if (pos_ != end_ && (*pos_ == '+' || *pos_ == '-')) ++pos_;
    if (pos_ == end_ || !is_digit(*pos_)) return fail_here("a value", "invalid number");
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
  }
  out.text = std::string_view(start, static_cast<std::size_t>(pos_ - start));
  return true;
}

Scan JsonReader::after_element(char close) {
  skip_ws();
  if (pos_ != end_) {
    if (*pos_ == ',') {
      ++pos_;
      skip_ws();
      if (pos_ != end_ && *pos_ == close) {
        fail(offset(), "trailing comma");
        return Scan::kError;
      }
      return Scan::kMore;
    }
    if (*pos_ == close) {
      ++pos_;
      return Scan::kDone;
    }
  }
  if (close == ']') {
    fail_here("an array", "expected `,` or `]` after an array element");
  } else {
    fail_here("an object", "expected `,` or `}` after an object member");
  }
  return Scan::kError;
}

bool JsonReader::skip_value() {
  // closers[i] is the bracket that ends the container open at depth i + 1.
  char closers[kMaxSkipDepth];
  int depth = 0;
  for (;;) {
    // At the start of a value (inside an object: after its key and colon).
    skip_ws();
    if (at_end()) return fail(offset(), "EOF while parsing a value");
    bool scalar = true;
    switch (*pos_) {
      case '{':
      case '[': {
        if (depth == kMaxSkipDepth) {
          return fail(offset(), "nesting deeper than " + std::to_string(kMaxSkipDepth) +
                                    " levels in a skipped value");
        }
        char close = *pos_ == '{' ? '}' : ']';
        ++pos_;
        skip_ws();
        if (pos_ != end_ && *pos_ == close) {
          ++pos_;
          break;  // an empty container is a complete value
        }
        closers[depth++] = close;
        scalar = false;
        break;
      }
      case '"':
        if (!skip_string()) return false;
        break;
      case 't':
        if (!read_literal("true")) return false;
        break;
      case 'f':
        if (!read_literal("false")) return false;
        break;
      case 'n':
        if (!read_literal("null")) return false;
        break;
      default: {
        if (*pos_ != '-' && !is_digit(*pos_)) return fail(offset(), "expected value");
        NumberText number;
        if (!read_number(number)) return false;
      }
    }
    if (scalar) {
      // Close every container the value completed.
      for (;;) {
        if (depth == 0) return true;
        Scan next = after_element(closers[depth - 1]);
        if (next == Scan::kError) return false;
        if (next == Scan::kMore) break;
        --depth;
      }
    }
    if (closers[depth - 1] == '}') {
      // Next comes a member: its key, then a colon.
      skip_ws();
      if (peek() != '"') return fail_here("an object", "expected a string key");
      if (!skip_string()) return false;
      skip_ws();
      if (peek() != ':') return fail_here("an object", "expected `:` after an object key");
      ++pos_;
    }
  }
}

bool JsonReader::describe_value(std::string& out) {
  if (at_end()) return fail(offset(), "EOF while parsing a value");
  switch (*pos_) {
    case '{':
      out = "object";
      return true;
    case '[':
      out = "array";
      return true;
    case 'n':
      out = "null";
      return read_literal("null");
    case 't':
      out = "boolean `true`";
      return read_literal("true");
    case 'f':
      out = "boolean `false`";
      return read_literal("false");
    case '"': {
      std::string value;
      if (!read_string(value)) return false;
      bool cut;
      std::string_view shown = shorten(value, &cut);
      std::string quoted(max_string_chars(shown.size()), '\0');
      quoted.resize(static_cast<std::size_t>(write_string(quoted.data(), shown) - quoted.data()));
      if (cut) quoted.insert(quoted.size() - 1, "...");
      out = "string " + quoted;
      return true;
    }
    default: {
      if (*pos_ != '-' && !is_digit(*pos_)) return fail(offset(), "expected value");
      NumberText number;
      if (!read_number(number)) return false;
      bool cut;
      std::string_view shown = shorten(number.text, &cut);
      out = number.integral ? "integer `" : "floating point `";
      out.append(shown);
      if (cut) out += "...";
      out += '`';
      return true;
    }
  }
}

}  // namespace tarvik::detail
