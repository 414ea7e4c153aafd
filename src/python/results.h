// Building Python result objects from core values (lock held).
#pragma once

#include "python/compat.h"

#include <span>

#include <string_view>

#include "tarvik/types.h"

namespace tarvik::py {

// A new list of ints, created at its final length.
PyObject* ids_to_list(std::span<const TokenId> ids);

// A new list of (start, end) tuples.
PyObject* offsets_to_list(const Offsets& offsets);

// A new str from UTF-8 bytes, ill-formed sequences replaced by U+FFFD.
PyObject* lossy_str(std::string_view bytes);

}  // namespace tarvik::py
