// Exact textual forms for the model-file writer.
#include "vocab/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tarvik::detail {

char* write_double(char* out, double value) {
  if (!std::isfinite(value)) {
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  if (value == 0.0) {
    if (std::signbit(value)) *out++ = '-';
    std::memcpy(out, "0.0", 3);
    return out + 3;
  }
  // Shortest round-trip digits in the form [-]d[.ddd]e(+|-)XX[X].
  char sci[kMaxDoubleChars];
  char* sci_end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  if (*p == '-') {
    *out++ = '-';
    ++p;
  }
  char digits[20];
  int n = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;  // 'e'
  bool negative_exponent = *p == '-';
  int exponent = 0;
  std::from_chars(p + 1, sci_end, exponent);
  if (negative_exponent) exponent = -exponent;

  if (exponent >= 0 && exponent <= 15) {
    int integral = exponent + 1;
    if (n <= integral) {
      std::memcpy(out, digits, n);
      out += n;
      std::memset(out, '0', integral - n);
      out += integral - n;
      std::memcpy(out, ".0", 2);
      return out + 2;
    }
    std::memcpy(out, digits, integral);
    out += integral;
    *out++ = '.';
    std::memcpy(out, digits + integral, n - integral);
    return out + (n - integral);
  }
  if (exponent < 0 && exponent >= -5) {
    std::memcpy(out, "0.", 2);
    out += 2;
    std::memset(out, '0', -exponent - 1);
    out += -exponent - 1;
    std::memcpy(out, digits, n);
    return out + n;
  }
  *out++ = digits[0];
  if (n > 1) {
    *out++ = '.';
    std::memcpy(out, digits + 1, n - 1);
    out += n - 1;
  }
  *out++ = 'e';
  *out++ = negative_exponent ? '-' : '+';
  return std::to_chars(out, out + 4, negative_exponent ? -exponent : exponent).ptr;
}

char* write_string(char* out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  *out++ = '"';
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != '"' && c != '\\') {
      *out++ = ch;
      continue;
    }
    *out++ = '\\';
    switch (c) {
      case '"':
        *out++ = '"';
        break;
      case '\\':
        *out++ = '\\';
        break;
      case '\b':
        *out++ = 'b';
        break;
      case '\t':
        *out++ = 't';
        break;
      case '\n':
        *out++ = 'n';
        break;
      case '\f':
        *out++ = 'f';
        break;
      case '\r':
        *out++ = 'r';
        break;
      default:
        std::memcpy(out, "u00", 3);
        out[3] = kHex[c >> 4];
        out[4] = kHex[c & 0xF];
        out += 5;
    }
  }
  *out++ = '"';
  return out;
}

}  // namespace tarvik::detail
