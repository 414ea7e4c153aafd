// Taking the interpreter lock back, also while the interpreter shuts down.
#include "python/guards.h"

#include <chrono>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace tarvik::py {
namespace {

// Newer interpreters do the same to a thread that asks for the lock too late.
[[noreturn]] void park_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace

void restore_thread(PyThreadState* state) noexcept {
  if (interpreter_finalizing()) park_forever();
  // Shutdown can begin between the check and the lock request; the
  // interpreter then ends this thread from inside PyEval_RestoreThread with a
  // forced unwind, which is caught here, before it reaches a noexcept frame,
  // and parks the thread just the same. The handler never finishes, so the
  // unwind is never resumed (nor reported as swallowed). Without libstdc++'s
  // unwind type the window stays open, but it is a few instructions wide.
#if defined(__GLIBCXX__)
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    park_forever();
  }
#else
  PyEval_RestoreThread(state);
#endif
}

}  // namespace tarvik::py
