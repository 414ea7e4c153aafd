// Small text helpers shared by the console output, the vocabulary, the
// corpus tools and the Python layer: the whitespace set that cuts chunks and
// words, lossy UTF-8 decoding and fixed-point number formatting.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace tarvik {

namespace detail {
inline constexpr std::array<bool, 256> kChunkSpace = [] {
  std::array<bool, 256> table{};
  table[0x09] = table[0x0A] = table[0x0D] = table[0x20] = true;
  return table;
}();
}  // namespace detail

// Tab, line feed, carriage return and space: the bytes that begin a training
// chunk and separate the quality check's words. Nothing else counts (no
// vertical tab, form feed or non-ASCII space), so chunking never depends on
// the locale or on decoding.
inline constexpr bool is_chunk_space(unsigned char byte) {
  return detail::kChunkSpace[byte];
}

// Decodes bytes as UTF-8, replacing each maximal ill-formed subsequence with
// U+FFFD, and returns the result as (valid) UTF-8.
std::string lossy_utf8(std::string_view bytes);

// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// value in fixed-point notation with `digits` digits after the point; exact
// halfway cases go to the even last digit (round-half-even on the exact binary value).
std::string format_fixed(double value, int digits);

}  // namespace tarvik
