// Text the tarvik command shows to users: quoted names and escaped bytes.
#pragma once

#include <string>
#include <string_view>

namespace tarvik::cli {

// The text between single quotes, as in "cannot open 'x'".
std::string quoted(std::string_view text);

// Bytes in double quotes, readable on a terminal: printable ASCII and
// well-formed UTF-8 as they are; \n \r \t \" \\ escaped; every other byte
// (control bytes, DEL, bytes of ill-formed UTF-8) as \xHH.
std::string printable(std::string_view bytes);

}  // namespace tarvik::cli
