// Text the tarvik command shows to users.
#include "cli/text.h"

#include <cstdio>

#include "common/text.h"

namespace tarvik::cli {
namespace {

// The length of the UTF-8 sequence a lead byte announces (0 for a byte that
// cannot lead one).
std::size_t utf8_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::string printable(std::string_view bytes) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x80) {
      const std::size_t length = utf8_length(byte);
      if (length > 0 && i + length <= bytes.size() && is_valid_utf8(bytes.substr(i, length))) {
        out.append(bytes.substr(i, length));
        i += length;
        continue;
      }
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

std::string quoted(std::string_view text) {
  // Appended piece by piece: "'" + std::string(...) trips a false -Wrestrict in GCC 12.
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out += text;
  out += '\'';
  return out;
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
