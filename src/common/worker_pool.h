// The process-wide worker pool of chunked encoding, batch encoding and counting.
//
// Created on first use with configured_pool_size() runners (common/cpu_count.h). A pool of size N has N - 1 threads of its
// own; the calling thread of run() is the N-th runner, so a pool of size 1
// runs everything on the caller.
//
// After fork() the child has none of the parent's threads: a fork handler
// drops the pool in the child (its memory is abandoned, never touched again)
// and the next use creates a fresh one there.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>

#include "tarvik/callbacks.h"

namespace tarvik {

class WorkerPool {
 public:
  static WorkerPool& shared();

  // Runners of one run(): the pool's threads plus the caller.
  std::size_t size() const;

  // Calls task(i) for every i in [0, count), each exactly once, on the pool's
  // threads and the calling thread; returns when all calls have returned.
  // Indices are handed out in ascending order from a shared counter. Several
  // threads may call run() at once. A call that throws (std::bad_alloc, say)
  // does not stop the others: once all have returned, run() rethrows the
  // first exception caught, on the calling thread.
  template <class Task>
  void run(std::size_t count, Task&& task) {
    Nothing none;
    Guarded<std::remove_reference_t<Task>, Nothing> guarded{task, none};
    run_erased(count, &invoke<decltype(guarded)>, &guarded, nullptr, nullptr);
    guarded.rethrow();
  }
  // The same, calling on_wait() on the calling thread about every 10 ms
  // while it waits for the other runners to finish their indices (its
  // result is ignored), so the caller can notice a request to stop and pass
  // it on to the tasks in progress. An exception from on_wait is rethrown
  // as a task's would be.
  template <class Task, class OnWait>
  void run(std::size_t count, Task&& task, OnWait&& on_wait) {
    Guarded<std::remove_reference_t<Task>, std::remove_reference_t<OnWait>> guarded{task, on_wait};
    run_erased(count, &invoke<decltype(guarded)>, &guarded, &call<decltype(guarded)>, &guarded);
    guarded.rethrow();
  }

  // The same as run(count, task, on_wait), except that the calling thread
  // first calls meanwhile() once, while the pool's threads have already
  // started on the indices, and joins them after it returns. So the caller
  // can do work of its own (which may need a lock the tasks must not take)
  // beside the tasks instead of before or after them. With a pool of one, or
  // a count below two, meanwhile() runs before the tasks. An exception from
  // it is rethrown once every task has returned, as a task's would be. When
  // meanwhile() forked the process and returns in the child, where the
  // pool's threads and the indices they had taken do not exist, run() throws
  // ForkedDuringRun there at once instead of waiting for them forever.
  template <class Task, class OnWait, class Meanwhile>
  void run(std::size_t count, Task&& task, OnWait&& on_wait, Meanwhile&& meanwhile) {
    using G = Guarded<std::remove_reference_t<Task>, std::remove_reference_t<OnWait>>;
    G guarded{task, on_wait};
    Beside<G, std::remove_reference_t<Meanwhile>> beside{guarded, meanwhile};
    run_erased(count, &invoke<G>, &guarded, &call<G>, &guarded, &call_beside<decltype(beside)>,
               &beside);
    guarded.rethrow();
  }

  struct State;

 private:
  using Erased = void (*)(void*, std::size_t);
  using ErasedWait = void (*)(void*);
  struct Nothing {
    void operator()() const {}
  };
  // A task and its wait callback, keeping the first exception either throws.
  template <class Task, class OnWait>
  struct Guarded {
    Task& task;
    OnWait& on_wait;
    std::mutex lock{};
    std::exception_ptr first{};

    void keep(std::exception_ptr error) {
      std::lock_guard<std::mutex> guard(lock);
      if (!first) first = std::move(error);
    }
    void rethrow() {
      if (first) std::rethrow_exception(first);
    }
  };
  template <class G>
  static void invoke(void* guarded, std::size_t index) {
    G& g = *static_cast<G*>(guarded);
    try {
      g.task(index);
    } catch (...) {
      g.keep(std::current_exception());
    }
  }
  template <class G>
  static void call(void* guarded) {
    G& g = *static_cast<G*>(guarded);
    try {
      static_cast<void>(g.on_wait());
    } catch (...) {
      g.keep(std::current_exception());
    }
  }
  template <class G, class Meanwhile>
  struct Beside {
    G& guarded;
    Meanwhile& meanwhile;
  };
  template <class B>
  static void call_beside(void* beside) {
    B& b = *static_cast<B*>(beside);
    try {
      b.meanwhile();
    } catch (...) {
      b.guarded.keep(std::current_exception());
    }
  }
  void run_erased(std::size_t count, Erased fn, void* task, ErasedWait wait_fn, void* on_wait,
                  ErasedWait beside_fn = nullptr, void* beside = nullptr);

  explicit WorkerPool(std::size_t size);
  State* state_;
};

struct ForkedDuringRun : std::runtime_error {
  ForkedDuringRun()
      : std::runtime_error(
            "the process forked while work was spread over the worker pool; the child cannot "
            "finish that work") {}
};

// The cancel check of work spread over the pool. Only the thread that made
// it asks `cancel` (which may need that thread's context, such as a lock it
// holds); every runner sees the stop through a flag.
class PoolStop {
 public:
  explicit PoolStop(const CancelCheck& cancel)
      : cancel_(cancel), caller_(std::this_thread::get_id()) {}

  // True once a stop has been asked for; on the making thread, asks first.
  bool operator()() {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (cancel_ && std::this_thread::get_id() == caller_ && cancel_()) {
      stopped_.store(true);
      return true;
    }
    return false;
  }
  bool stopped() const { return stopped_.load(); }

 private:
  const CancelCheck& cancel_;
  const std::thread::id caller_;
  std::atomic<bool> stopped_{false};
};

}  // namespace tarvik
