// Text the tarvik command shows to users.
#include "cli/text.h"

#include <cstdio>

namespace tarvik::cli {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `bytes`, or 0
// when it does not start with one. The second byte's range excludes overlong
// forms, surrogates and values above U+10FFFF.
std::size_t utf8_sequence(std::string_view bytes) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = at(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (length == 0 || bytes.size() < length) return 0;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  return length;
}

}  // namespace

std::string printable(std::string_view bytes) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (const std::size_t length = byte >= 0x80 ? utf8_sequence(bytes.substr(i)) : 0) {
      out.append(bytes.substr(i, length));
      i += length;
      continue;
    }
    switch (byte) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (byte >= 0x20 && byte < 0x7F) {
          out += static_cast<char>(byte);
        } else {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02x", byte);
          out += hex;
        }
    }
    ++i;
  }
  return out + "\"";
}

bool is_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
    } else if (const std::size_t length = utf8_sequence(bytes.substr(i))) {
      i += length;
    } else {
      return false;
    }
  }
  return true;
}

std::string quoted(std::string_view text) {
  // Appended piece by piece: "'" + std::string(...) trips a false -Wrestrict in GCC 12.
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out += text;
  out += '\'';
  return out;
}

std::string fixed(double value, int digits) {
  // glibc's printf converts the exact binary value, so a halfway case is one
  // exactly and rounds to even, as the library's own reports do.
  char text[400];  // enough for any double in %f
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string field_lines(std::initializer_list<Field> fields, std::size_t indent) {
  std::string out;
  for (const auto& [name, value] : fields) {
    out.append(indent, ' ');
    ((out += name) += ": ") += value;
    out += '\n';
  }
  return out;
}

}  // namespace tarvik::cli
