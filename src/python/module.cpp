// Module entry: creates the module once per process and refuses subinterpreters.
#include "python/compat.h"
#include "python/guards.h"
#include "python/tokenizer.h"
#include "tarvik/version.h"

namespace {

using tarvik::py::Ref;

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

PyObject* create_module() {
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  PyTypeObject* type = module ? tarvik::py::tokenizer_type() : nullptr;
  if (type == nullptr ||
      PyModule_AddObjectRef(module.get(), "QormTokenizer", reinterpret_cast<PyObject*>(type)) < 0 ||
      PyModule_AddStringConstant(module.get(), "__version__", TARVIK_VERSION) < 0) {
    return nullptr;
  }
  Ref names = Ref::steal(Py_BuildValue("[ss]", "QormTokenizer", "__version__"));
  if (!names || PyModule_AddObjectRef(module.get(), "__all__", names.get()) < 0) return nullptr;
  return module.release();
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
