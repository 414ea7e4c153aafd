// Small text helpers: lossy UTF-8 decoding and fixed-point formatting.
#include "common/text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tarvik {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence starting at `pos`, or 0 when it is
// ill-formed; `*consumed` then holds the length of its maximal subpart
// (at least 1), which is what one replacement character stands for.
size_t utf8_sequence(std::string_view s, size_t pos, size_t* consumed) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char lead = byte(pos);
  *consumed = 1;
  if (lead < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k < need; ++k) {
    if (pos + k >= s.size()) return 0;
    unsigned char c = byte(pos + k);
    unsigned char min = k == 1 ? lo : 0x80;
    unsigned char max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) return 0;
    *consumed = k + 1;
  }
  return need;
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t consumed;
    size_t len = utf8_sequence(bytes, pos, &consumed);
    if (len) {
      out.append(bytes.substr(pos, len));
      pos += len;
    } else {
      out.append(kReplacement);
      pos += consumed;
    }
  }
  return out;
}

// Runs of ASCII, which make up nearly all of a model file, are checked 16
// bytes at a time.
bool is_valid_utf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text.size() - pos >= 16) {
      std::uint64_t a, b;
      std::memcpy(&a, text.data() + pos, 8);
      std::memcpy(&b, text.data() + pos + 8, 8);
      if (((a | b) & 0x8080808080808080u) == 0) {
        pos += 16;
        continue;
      }
    }
    std::size_t consumed;
    std::size_t len = utf8_sequence(text, pos, &consumed);
    if (len == 0) return false;
    pos += len;
  }
  return true;
}

std::string format_fixed(double value, int digits) {
  // glibc's printf rounds the exact binary value correctly, with exact ties to even.
  char buffer[512];
  int n = std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), "%.*f", digits, value);
  big.resize(static_cast<size_t>(n));
  return big;
}

}  // namespace tarvik
