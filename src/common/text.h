// Small text helpers shared by the console output, the vocabulary and the
// Python layer: lossy UTF-8 decoding and fixed-point number formatting.
#pragma once

#include <string>
#include <string_view>

namespace tarvik {

// Decodes bytes as UTF-8, replacing each maximal ill-formed subsequence with
// U+FFFD, and returns the result as (valid) UTF-8.
std::string lossy_utf8(std::string_view bytes);

// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// value in fixed-point notation with `digits` digits after the point; exact
// halfway cases go to the even last digit (round-half-even on the exact binary value).
std::string format_fixed(double value, int digits);

}  // namespace tarvik
