// Mapping of core errors and C++ exceptions to Python exceptions.
#include "python/errors.h"

#include "python/guards.h"
#include "tarvik/tokenizer.h"

namespace tarvik::py {

PyObject* internal_fault_type() {
  // Created once per process and kept for its lifetime; subinterpreters are refused at import.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tarvik_core.InternalError",
        "An internal fault of tarvik_core: a violated internal condition, such as an id beyond\n"
        "the token table or a failed write to standard error. Derives from BaseException so\n"
        "that handlers for Exception do not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

namespace {

Status write_stderr_unlocked(std::string_view text) {
  ReleasedLock unlocked;
  return stderr_sink()(text);
}

}  // namespace

ConsoleSink unlocked_stderr_sink() {
  return write_stderr_unlocked;
}

PyObject* raise_message(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_internal_fault(std::string_view message) {
  // The diagnostic is best effort: a broken standard error is what we may be reporting.
  (void)write_stderr_unlocked("tarvik_core: internal fault: " + std::string(message) + "\n");
  PyObject* type = internal_fault_type();
  if (type == nullptr) return nullptr;
  return raise_message(type, message);
}

PyObject* raise_error(const Error& error, std::string_view io_prefix) {
  switch (error.kind) {
    case ErrorKind::kInternal:
      return raise_internal_fault(error.message);
    case ErrorKind::kIo:
      return raise_message(PyExc_OSError, std::string(io_prefix) + error.message);
    case ErrorKind::kInterrupted:
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      return nullptr;
    case ErrorKind::kInvalidArgument:
      return raise_message(PyExc_ValueError, error.message);
    case ErrorKind::kLimit:
      return raise_message(PyExc_OverflowError, error.message);
  }
  return raise_internal_fault(error.message);
}

}  // namespace tarvik::py
