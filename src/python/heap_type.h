// Heap types whose instances carry one C++ value placed in their storage.
//
// The value is placement-new'd when the instance is made and destroyed in
// dealloc, which then frees the instance through the type's own free slot and
// drops the instance's reference to its type. The instances hold no Python
// references, so the types are not GC-tracked.
#pragma once

#include "python/compat.h"

#include <new>

namespace tarvik::py {

template <class Value>
struct ObjectWith {
  PyObject_HEAD alignas(Value) unsigned char storage[sizeof(Value)];

  static Value& of(PyObject* self) {
    return *std::launder(reinterpret_cast<Value*>(reinterpret_cast<ObjectWith*>(self)->storage));
  }
  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    of(self).~Value();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
  }
  // The spec of a final type named `name` (dotted: module, then class).
  static PyType_Spec spec(const char* name, PyType_Slot* slots) {
    return {name, static_cast<int>(sizeof(ObjectWith)), 0, Py_TPFLAGS_DEFAULT, slots};
  }
};

}  // namespace tarvik::py
