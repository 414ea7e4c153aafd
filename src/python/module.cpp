// Module entry: creates the module once per process and refuses subinterpreters.
#include "python/compat.h"
#include "python/tokenizer.h"
#include "tarvik/version.h"

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tarvik_core",
    "Register the Python module.",
    0,  // no per-module state; a repeated import calls the entry again and gets the same module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;

// Adds `value` (stolen) as attribute `name` and appends the name to `names`.
bool add_exported(PyObject* module, PyObject* names, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  int failed = PyModule_AddObject(module, name, value);
  if (failed) {
    Py_DECREF(value);
    return false;
  }
  PyObject* text = PyUnicode_FromString(name);
  if (text == nullptr) return false;
  failed = PyList_Append(names, text);
  Py_DECREF(text);
  return failed == 0;
}

PyObject* create_module() {
  PyObject* module = PyModule_Create(&g_module_def);
  if (module == nullptr) return nullptr;
  PyObject* names = PyList_New(0);
  PyTypeObject* type = names ? tarvik::py::tokenizer_type() : nullptr;
  bool ok =
      type != nullptr &&
      add_exported(module, names, "QormTokenizer", Py_NewRef(reinterpret_cast<PyObject*>(type))) &&
      add_exported(module, names, "__version__", PyUnicode_FromString(TARVIK_VERSION)) &&
      PyModule_AddObject(module, "__all__", names) == 0;
  if (!ok) {
    Py_XDECREF(names);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_tarvik_core() {
  // The module keeps process-wide state (its one type object), so only the
  // main interpreter may have it, whichever interpreter asks first.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "tarvik_core does not support subinterpreters: it can only be imported in "
                    "the main interpreter");
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = create_module();  // one reference kept for the life of the process
    if (g_module == nullptr) return nullptr;
  }
  return Py_NewRef(g_module);
}
