// Building Python result objects from core values (lock held).
#pragma once

#include "python/compat.h"

#include <iterator>
#include <span>

#include <string_view>

#include "python/guards.h"
#include "tarvik/types.h"

namespace tarvik::py {

// A new list of make(item) for each item; make returns a new reference or
// nullptr with an error set.
template <class Items, class Make>
PyObject* list_of(const Items& items, Make make) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* object = make(item);
    if (object == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i++, object);
  }
  return list.release();
}

// A new list of ints, created at its final length.
PyObject* ids_to_list(std::span<const TokenId> ids);

// A new list of (start, end) tuples.
PyObject* offsets_to_list(const Offsets& offsets);

// A new str from UTF-8 bytes, ill-formed sequences replaced by U+FFFD.
PyObject* lossy_str(std::string_view bytes);

}  // namespace tarvik::py
