// Building Python result objects from core values.
#include "python/results.h"

#include <vector>


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
  return list_of(ids, id_object);
}

PyObject* offsets_to_list(const Offsets& offsets) {
  return list_of(offsets, [](const auto& span) {
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(span.first),
                         static_cast<unsigned long long>(span.second));
  });
}

PyObject* lossy_str(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
}

}  // namespace tarvik::py
