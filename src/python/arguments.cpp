// Binding of call arguments and conversion by argument kind.
#include "python/arguments.h"

#include <cstring>

#include "python/errors.h"

namespace tarvik::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
  std::size_t total = 0;
  std::size_t required = 0;
  for (const auto& p : signature.parameters) {
    total += p.keyword_only ? 0 : 1;
    required += p.required ? 1 : 0;
  }
  std::string was = given == 1 ? "was" : "were";
  std::string message = std::string(signature.full_name) + " takes ";
  if (required == total) {
    message += std::to_string(total);
  } else {
    message += "from " + std::to_string(required) + " to " + std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(given) + " " + was + " given";
  raise_message(PyExc_TypeError, message);
  return false;
}

// Places one keyword argument; false with the error set when it fits nowhere.
bool place_keyword(const Signature& signature, PyObject* key, PyObject* value, Py_ssize_t nargs,
                   PyObject** slots) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  std::size_t index = 0;
  for (const auto& parameter : signature.parameters) {
    if (PyUnicode_CompareWithASCIIString(key, parameter.name) == 0) {
      if (static_cast<Py_ssize_t>(index) < nargs) {
        raise_message(PyExc_TypeError, std::string(signature.full_name) +
                                           " got multiple values for argument '" + parameter.name +
                                           "'");
        return false;
      }
      slots[index] = value;
      return true;
    }
    ++index;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) return false;
  raise_message(PyExc_TypeError, std::string(signature.full_name) +
                                     " got an unexpected keyword argument '" +
                                     std::string(text, static_cast<std::size_t>(size)) + "'");
  return false;
}

bool check_required(const Signature& signature, PyObject** slots) {
  std::vector<const char*> missing;
  std::size_t index = 0;
  for (const auto& parameter : signature.parameters) {
    if (parameter.required && slots[index] == nullptr) missing.push_back(parameter.name);
    ++index;
  }
  if (missing.empty()) return true;
  raise_message(PyExc_TypeError, std::string(signature.full_name) + " missing " +
                                     std::to_string(missing.size()) + " required positional " +
                                     (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                     quoted_list(missing));
  return false;
}

bool place_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** slots) {
  std::size_t positional = 0;
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    slots[i] = nullptr;
    positional += signature.parameters[i].keyword_only ? 0 : 1;
  }
  if (nargs > static_cast<Py_ssize_t>(positional)) {
    return too_many_positional(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  return true;
}

// Replaces a pending TypeError by "argument '{name}': {message}", keeping its cause.
void relabel_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original = Ref::steal(fetch_raised_exception());
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref relabelled = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!relabelled) return;
  PyObject* cause = PyException_GetCause(original.get());               // new reference or nullptr
  if (cause != nullptr) PyException_SetCause(relabelled.get(), cause);  // steals
  set_raised_exception(relabelled.release());
}

bool relabelled_failure(const char* name) {
  relabel_type_error(name);
  return false;
}

bool cannot_convert(PyObject* object, const char* target) {
  Ref qualname = Ref::steal(type_qualname(Py_TYPE(object)));
  if (!qualname) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
  return false;
}

// Checks the common shape of the list kinds: a sequence that is not a str.
bool check_list_shape(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
  // A memoryview of other than one dimension cannot be iterated at all.
  if (PyMemoryView_Check(object) && PyMemoryView_GET_BUFFER(object)->ndim != 1) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of one dimension, not a memoryview of %d",
                 PyMemoryView_GET_BUFFER(object)->ndim);
    return false;
  }
  return true;
}

bool token_id_from(PyObject* object, TokenId* out) {
  // Any int past 32 bits, however large, gets the one message of the range.
  int overflow = 0;
  long value = PyLong_AsLongAndOverflow(object, &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || static_cast<unsigned long>(value) > 0xFFFFFFFFul) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<TokenId>(value);
  return true;
}

bool name_from(PyObject* object, std::string* out) {
  if (!PyUnicode_Check(object)) return cannot_convert(object, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;
  out->assign(text, static_cast<std::size_t>(size));
  return true;
}

// The number of items a list or tuple holds, to reserve room for them; 0 for
// other sequences, whose __len__ need not match what iteration yields.
std::size_t exact_size(PyObject* object) {
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object));
  }
  return 0;
}

// Iterates any sequence, calling `item_fn(item)` for each; false on the first failure.
template <class ItemFn>
bool for_each_item(PyObject* object, ItemFn&& item_fn) {
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    // An item's conversion may run Python code that grows or shrinks the
    // list: read to its current end each time, as iteration would.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(object, i));
      if (!item_fn(item.get())) return false;
    }
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!item_fn(item.get())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!place_positional(signature, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], nargs, slots)) {
        return false;
      }
    }
  }
  return check_required(signature, slots);
}

bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!place_positional(signature, &PyTuple_GET_ITEM(args, 0), nargs, slots)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(signature, key, value, nargs, slots)) return false;
    }
  }
  return check_required(signature, slots);
}

bool raised_beyond_conversion() {
  return PyErr_Occurred() &&
         (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception));
}

bool convert_text(PyObject* object, const char* message, TextBytes* out) {
  if (PyUnicode_Check(object)) {
    // ASCII strings are their own UTF-8; others are encoded into a temporary
    // bytes object rather than a UTF-8 copy cached for the str's whole life.
    // For a long text that costs about an eighth of a greedy call (2.6 of
    // 20 ms on 3.3 MB), half of it the codec's fresh pages faulting in.
    // Encoding into an exactly sized string of our own was no faster: its
    // pages, and the result's, then faulted in instead.
    if (is_ascii_str(object)) {
      out->view = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
      return true;
    }
    out->owner = Ref::steal(PyUnicode_AsUTF8String(object));
    if (out->owner) {
      out->view = std::string_view(PyBytes_AS_STRING(out->owner.get()),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(out->owner.get())));
      return true;
    }
  } else if (PyBytes_CheckExact(object)) {
    out->view = std::string_view(PyBytes_AS_STRING(object),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    return true;
  } else if (PyByteArray_CheckExact(object)) {
    // Mutable: copy, since other threads run while we encode.
    out->storage.assign(PyByteArray_AS_STRING(object),
                        static_cast<std::size_t>(PyByteArray_GET_SIZE(object)));
    out->view = out->storage;
    return true;
  } else if (PySequence_Check(object)) {
    out->storage.clear();
    out->storage.reserve(exact_size(object));
    bool ok = for_each_item(object, [&](PyObject* item) {
      long value = PyLong_AsLong(item);
      if (value == -1 && PyErr_Occurred()) return false;
      if (value < 0 || value > 255) return false;
      out->storage.push_back(static_cast<char>(value));
      return true;
    });
    if (ok) {
      out->view = out->storage;
      return true;
    }
  }
  // Whatever went wrong inside, the caller sees one message.
  if (raised_beyond_conversion()) return false;
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError, message);
  return false;
}

bool convert_token_id(PyObject* object, const char* name, TokenId* out) {
  return token_id_from(object, out) || relabelled_failure(name);
}

bool read_token_ids(PyObject* object, std::vector<TokenId>* out) {
  if (!check_list_shape(object)) return false;
  out->clear();
  out->reserve(exact_size(object));
  return for_each_item(object, [&](PyObject* item) {
    TokenId id;
    if (!token_id_from(item, &id)) return false;
    out->push_back(id);
    return true;
  });
}

bool convert_token_ids(PyObject* object, const char* name, std::vector<TokenId>* out) {
  return read_token_ids(object, out) || relabelled_failure(name);
}

bool convert_size(PyObject* object, const char* name, std::uint64_t* out) {
  Ref number = Ref::borrow(object);
  if (!PyLong_Check(object)) {
    number = Ref::steal(PyNumber_Index(object));
    if (!number) return relabelled_failure(name);
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return relabelled_failure(name);
  }
  *out = value;
  return true;
}

bool convert_real(PyObject* object, const char* name, double* out) {
  if (PyFloat_CheckExact(object)) {
    *out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return relabelled_failure(name);
  *out = value;
  return true;
}

bool convert_flag(PyObject* object, const char* name, bool* out) {
  if (PyBool_Check(object)) {
    *out = object == Py_True;
    return true;
  }
  // NumPy's boolean scalar, recognised by name so NumPy need not be imported.
  const char* type_name = Py_TYPE(object)->tp_name;
  if (std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0) {
    int truth = PyObject_IsTrue(object);
    if (truth < 0) return relabelled_failure(name);
    *out = truth != 0;
    return true;
  }
  cannot_convert(object, "PyBool");
  return relabelled_failure(name);
}

bool convert_name(PyObject* object, const char* name, std::string* out) {
  return name_from(object, out) || relabelled_failure(name);
}

bool convert_path(PyObject* object, const char* name, std::string* out) {
  if (PyUnicode_Check(object) ||
      !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__")) {
    return convert_name(object, name, out);
  }
  Ref path = Ref::steal(PyOS_FSPath(object));
  if (!path) return false;  // raised by the object's own __fspath__
  // A path given as bytes is refused, as the bytes themselves would be.
  if (!PyUnicode_Check(path.get())) return convert_name(object, name, out);
  return convert_name(path.get(), name, out);
}

bool convert_names(PyObject* object, const char* name, std::vector<std::string>* out) {
  out->clear();
  if (object == Py_None) return true;
  if (!check_list_shape(object)) return relabelled_failure(name);
  bool ok = for_each_item(object, [&](PyObject* item) {
    std::string value;
    if (!name_from(item, &value)) return false;
    out->push_back(std::move(value));
    return true;
  });
  return ok || relabelled_failure(name);
}

}  // namespace tarvik::py
