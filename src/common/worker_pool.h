// The process-wide worker pool used by chunked encoding.
//
// Created on first use with configured_pool_size() runners (common/cpu_count.h). A pool of size N has N - 1 threads of its
// own; the calling thread of run() is the N-th runner, so a pool of size 1
// runs everything on the caller.
//
// After fork() the child has none of the parent's threads: a fork handler
// drops the pool in the child (its memory is abandoned, never touched again)
// and the next use creates a fresh one there.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace tarvik {

class WorkerPool {
 public:
  static WorkerPool& shared();

  // Runners of one run(): the pool's threads plus the caller.
  std::size_t size() const;

  // Calls task(i) for every i in [0, count), each exactly once, on the pool's
  // threads and the calling thread; returns when all calls have returned.
  // Indices are handed out in ascending order from a shared counter. The task
  // must not throw. Several threads may call run() at once.
  template <class Task>
  void run(std::size_t count, Task&& task) {
    run_erased(count, &invoke<std::remove_reference_t<Task>>, static_cast<void*>(&task), nullptr,
               nullptr);
  }
  // The same, calling on_wait() on the calling thread about every 10 ms
  // while it waits for the other runners to finish their indices (its
  // result is ignored), so the caller can notice a request to stop and pass
  // it on to the tasks in progress.
  template <class Task, class OnWait>
  void run(std::size_t count, Task&& task, OnWait&& on_wait) {
    run_erased(count, &invoke<std::remove_reference_t<Task>>, static_cast<void*>(&task),
               &call<std::remove_reference_t<OnWait>>, static_cast<void*>(&on_wait));
  }

  struct State;

 private:
  using Erased = void (*)(void*, std::size_t);
  using ErasedWait = void (*)(void*);
  template <class Task>
  static void invoke(void* task, std::size_t index) {
    (*static_cast<Task*>(task))(index);
  }
  template <class OnWait>
  static void call(void* on_wait) {
    static_cast<void>((*static_cast<OnWait*>(on_wait))());
  }
  void run_erased(std::size_t count, Erased fn, void* task, ErasedWait wait_fn, void* on_wait);

  explicit WorkerPool(std::size_t size);
  State* state_;
};

}  // namespace tarvik
