// RAII owners for CPython references, released interpreter locks and paused
// garbage collection.
#pragma once

#include "python/compat.h"

#include <utility>

namespace tarvik::py {

// Owns one strong reference (or none).
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* object) { return Ref(object); }
  static Ref borrow(PyObject* object) { return Ref(Py_XNewRef(object)); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// Takes the interpreter lock back for a thread that released it. A thread
// coming back while the interpreter shuts down (a daemon thread still in our
// code when the main thread ends) never returns from here: it sleeps until the
// process exits. CPython would end it with a forced unwind instead, which
// cannot pass the noexcept frames it would have to cross (the destructors
// that re-take the lock, the entry-point guard) and so aborts the process.
void restore_thread(PyThreadState* state) noexcept;

// Releases the interpreter lock for its lifetime. Nothing inside the guarded
// scope may touch a Python object, except through with_lock().
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { restore_thread(state_); }

  // Runs `fn` with the lock held again, then releases it once more.
  template <class Fn>
  auto with_lock(Fn&& fn) {
    struct Reacquire {
      ReleasedLock& owner;
      explicit Reacquire(ReleasedLock& o) : owner(o) { restore_thread(owner.state_); }
      ~Reacquire() { owner.state_ = PyEval_SaveThread(); }
    } reacquire(*this);
    return std::forward<Fn>(fn)();
  }

 private:
  PyThreadState* state_;
};

// Pauses the cyclic garbage collector while many result containers are made
// at once (a batch's id lists: one collection per 700 new lists found nothing
// to free and cost about a tenth of the batch). Hold the lock for its whole
// lifetime and run no Python code inside, so that nobody else sees the pause.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() != 0) {}
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

}  // namespace tarvik::py
