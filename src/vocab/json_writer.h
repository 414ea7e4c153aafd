// Low-level pieces of the model-file writer: a growable output buffer and the
// exact textual forms of integers, floating-point numbers and strings.
//
// Every `write_*` function writes at a raw position the caller has made room
// for with OutBuffer::room and returns the position after the last byte
// written; the caller commits it. The bounds below are the most each can write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvik::detail {

// Longest form of a double: sign, "0.0000" and 17 digits, or sign, 17 digits,
// a point, "e-" and three exponent digits.
constexpr std::size_t kMaxDoubleChars = 32;
constexpr std::size_t kMaxU64Chars = 20;

// Output buffer that grows geometrically; room() hands out raw space so that
// hot loops check capacity once per record instead of once per byte.
class OutBuffer {
 public:
  explicit OutBuffer(std::size_t initial_capacity);

  // A position with at least `n` writable bytes after it.
  char* room(std::size_t n) {
    if (data_.size() - size_ < n) grow(n);
    return data_.data() + size_;
  }
  // Marks everything before `end` (a position inside the last room()) as written.
  void commit(char* end) { size_ = static_cast<std::size_t>(end - data_.data()); }

  void append(std::string_view s) {
    char* out = room(s.size());
    s.copy(out, s.size());
    commit(out + s.size());
  }

  std::size_t size() const { return size_; }
  std::string take() &&;

 private:
  void grow(std::size_t n);

  std::string data_;
  std::size_t size_ = 0;
};

// Decimal digits without sign or leading zeros.
char* write_u64(char* out, std::uint64_t value);

// The shortest digit string that reads back as the same double (the one
// nearest the exact value when several have that length), laid out as: 0.0 /
// -0.0 for zeros; positional notation when the decimal exponent E of the first
// significant digit is in -5..15, with ".0" after integral values; otherwise
// d[.ddd]e+E / d[.ddd]e-E. Infinities and NaN are written as null.
char* write_double(char* out, double value);

// Most bytes write_string can produce for `s`.
constexpr std::size_t max_string_chars(std::size_t n) {
  return 2 + 6 * n;
}

// `s` between double quotes with \" \\ \b \t \n \f \r, \u00xx (lower-case hex)
// for the other bytes below 0x20, and every other byte copied unchanged.
char* write_string(char* out, std::string_view s);

}  // namespace tarvik::detail
