// Binding of call arguments to parameters, and one converter per argument
// kind. Every failure sets the Python error and returns false; a TypeError of
// a named argument is re-labelled "argument '{name}': {message}" (keeping the
// original's cause), other errors pass through unchanged.
#pragma once

#include "python/compat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/guards.h"
#include "tarvik/types.h"

namespace tarvik::py {

struct Parameter {
  const char* name;
  bool required;
  bool keyword_only = false;  // after the positional ones
};

constexpr std::size_t kMaxParameters = 8;

// A signature as the binder reads it.
struct Signature {
  const char* full_name;  // e.g. "QormTokenizer.encode()"
  std::span<const Parameter> parameters;
};

// A method's signature and docstring (text signature first), declared as a
// constant; the binder fills one slot per parameter into an array of
// kMaxParameters, so a longer list cannot compile.
template <std::size_t N>
struct MethodSignature {
  static_assert(N <= kMaxParameters, "more parameters than the binder has slots for");
  const char* full_name;
  std::array<Parameter, N> parameters;
  const char* doc;

  constexpr MethodSignature(const char* name, const Parameter (&list)[N],
                            const char* docstring = nullptr)
      : full_name(name), parameters(std::to_array(list)), doc(docstring) {}
  operator Signature() const { return {full_name, parameters}; }
};

// Matches positional and keyword arguments to the signature's parameters.
// On success slots[i] is the (borrowed) argument of parameter i, or nullptr
// when it was not given. Fast-call form: keyword values follow the
// positional ones in `args`, their names are in `kwnames`.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots);
// Tuple-and-dict form, for the constructor.
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// Bytes of a text argument by the str-or-bytes rule. Immutable inputs (str,
// bytes) are viewed in place; anything else is copied into `storage`.
struct TextBytes {
  std::string storage;
  Ref owner;  // a temporary UTF-8 bytes object the view points into
  std::string_view view;
};
// True when the pending exception is an interrupt, an exit request or
// exhausted memory: not about an argument's type, so no conversion message
// replaces it.
bool raised_beyond_conversion();

// On failure raises TypeError `message` (no argument prefix), except for an
// exception raised_beyond_conversion() keeps.
bool convert_text(PyObject* object, const char* message, TextBytes* out);

bool convert_token_id(PyObject* object, const char* name, TokenId* out);
bool convert_token_ids(PyObject* object, const char* name, std::vector<TokenId>* out);
// The same without the argument's name in a TypeError.
bool read_token_ids(PyObject* object, std::vector<TokenId>* out);
bool convert_size(PyObject* object, const char* name, std::uint64_t* out);
bool convert_real(PyObject* object, const char* name, double* out);
bool convert_flag(PyObject* object, const char* name, bool* out);
bool convert_name(PyObject* object, const char* name, std::string* out);
// A str, or an os.PathLike whose path is a str; anything else (bytes
// included) is refused as convert_name refuses it.
bool convert_path(PyObject* object, const char* name, std::string* out);
bool convert_names(PyObject* object, const char* name, std::vector<std::string>* out);

}  // namespace tarvik::py
