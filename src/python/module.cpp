// Module entry (being written).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tarvik_core", "Register the Python module.",
                                 -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_tarvik_core() { return PyModule_Create(&module_def); }
