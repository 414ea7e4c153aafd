// Text the tarvik command shows to users: quoted names, escaped bytes and
// report lines.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace tarvik::cli {

// The text between single quotes, as in "cannot open 'x'".
std::string quoted(std::string_view text);

// Bytes in double quotes, readable on a terminal: printable ASCII and
// well-formed UTF-8 as they are; \n \r \t \" \\ escaped; every other byte
// (control bytes, DEL, bytes of ill-formed UTF-8) as \xHH.
std::string printable(std::string_view bytes);

// `value` with `digits` digits after the point (exact halfway cases to even).
std::string fixed(double value, int digits);

// True when the bytes are well-formed UTF-8.
bool is_utf8(std::string_view bytes);

// Report lines "name: value", each indented by `indent` spaces.
using Field = std::pair<std::string_view, std::string>;
std::string field_lines(std::initializer_list<Field> fields, std::size_t indent = 0);

}  // namespace tarvik::cli
