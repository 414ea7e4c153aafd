// Building Python result objects from core values.
#include "python/results.h"

#include <vector>

#include "python/guards.h"

namespace tarvik::py {
namespace {

// Token ids repeat endlessly in results, so the int objects of the common
// ids are made once and shared, as the interpreter does for small ints.
// Only touched with the lock held.
constexpr TokenId kCachedIds = 1 << 16;

PyObject* id_object(TokenId id) {
  static std::vector<PyObject*> cache;
  if (id >= kCachedIds) return PyLong_FromUnsignedLong(id);
  if (id >= cache.size()) cache.resize(kCachedIds, nullptr);
  PyObject*& slot = cache[id];
  if (slot == nullptr) {
    slot = PyLong_FromUnsignedLong(id);
    if (slot == nullptr) return nullptr;
  }
  return Py_NewRef(slot);
}

}  // namespace

PyObject* ids_to_list(std::span<const TokenId> ids) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* item = id_object(ids[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* offsets_to_list(const Offsets& offsets) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(offsets.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(offsets[i].first),
                                   static_cast<unsigned long long>(offsets[i].second));
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* lossy_str(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
}

}  // namespace tarvik::py
