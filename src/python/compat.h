// The few C-API calls that differ between the CPython versions we support
// (3.10 and newer), behind one name each.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarvik::py {

// Takes the raised exception (normalised, with its traceback) out of the
// thread state; nullptr when none is set. New reference.
inline PyObject* fetch_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Raises `exception` again; steals the reference.
inline void set_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  if (exception == nullptr) return;
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                PyException_GetTraceback(exception));
#endif
}

// The type's qualified name as a new str reference, or nullptr with an error.
inline PyObject* type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  return PyType_GetQualName(type);
#else
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

// True when the str holds only ASCII, so its character data is its UTF-8.
inline bool is_ascii_str(PyObject* text) {
#if PY_VERSION_HEX >= 0x030C0000
  return PyUnicode_IS_ASCII(text);
#else
  return PyUnicode_READY(text) == 0 && PyUnicode_IS_ASCII(text);
#endif
}

// True once the interpreter has begun to shut down; safe without the lock.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace tarvik::py
