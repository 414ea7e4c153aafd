// Low-level pieces of the model-file writer: the exact textual forms of
// integers, floating-point numbers and strings.
//
// Every `write_*` function writes at a raw position the caller has made room
// for (ByteBuffer::room) and returns the position after the last byte
// written; the caller commits it. The bounds below are the most each can write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarvik::detail {

// Longest form of a double: sign, "0.0000" and 17 digits, or sign, 17 digits,
// a point, "e-" and three exponent digits.
constexpr std::size_t kMaxDoubleChars = 32;
constexpr std::size_t kMaxU64Chars = 20;

// Decimal digits without sign or leading zeros.
inline char* write_u64(char* out, std::uint64_t value) {
  // Two digits at a time, right to left, into a scratch area, then one copy.
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char scratch[kMaxU64Chars];
  char* p = scratch + kMaxU64Chars;
  while (value >= 100) {
    unsigned pair = static_cast<unsigned>(value % 100) * 2;
    value /= 100;
    *--p = kPairs[pair + 1];
    *--p = kPairs[pair];
  }
  if (value >= 10) {
    unsigned pair = static_cast<unsigned>(value) * 2;
    *--p = kPairs[pair + 1];
    *--p = kPairs[pair];
  } else {
    *--p = static_cast<char>('0' + value);
  }
  std::size_t n = static_cast<std::size_t>(scratch + kMaxU64Chars - p);
  std::memcpy(out, p, n);
  return out + n;
}

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
