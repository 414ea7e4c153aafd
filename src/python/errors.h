// Mapping of core errors and C++ exceptions to Python exceptions.
//
// Every entry point runs its body through guarded(); a core Error is raised
// with raise_error(). Both assume the interpreter lock is held.
#pragma once

#include "python/compat.h"

#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "tarvik/callbacks.h"
#include "tarvik/result.h"

namespace tarvik::py {

// The internal-fault exception class (derives directly from BaseException),
// created on first use. Borrowed reference, or nullptr with an error set.
PyObject* internal_fault_type();

// Raises the internal-fault exception with `message`, after writing a short
// diagnostic to standard error. Returns nullptr for convenience.
PyObject* raise_internal_fault(std::string_view message);

// Raises the Python exception for a core error. `io_prefix` goes before the
// message of a kIo error ("Failed to load model: "). An interrupted call keeps
// the exception the signal handler raised, or raises KeyboardInterrupt.
PyObject* raise_error(const Error& error, std::string_view io_prefix = {});

// The console sink for calls made with the lock held: each piece is written
// whole with the lock released, so a Python thread that drains standard error
// (a pipe, as notebook kernels use) can run meanwhile.
ConsoleSink unlocked_stderr_sink();

// Raises `type` with a UTF-8 message.
PyObject* raise_message(PyObject* type, std::string_view message);

// Runs an entry point body, turning escaping C++ exceptions into Python ones:
// std::bad_alloc into MemoryError, anything else into the internal fault.
// Any lock guard inside the body has been destroyed (the lock is held) by the
// time the handlers run.
template <class Fn>
auto guarded(Fn&& fn) noexcept -> decltype(fn()) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unknown C++ exception");
  }
  using R = decltype(fn());
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

}  // namespace tarvik::py
