// The worker pool: threads waiting on a queue of batches, each batch a
// shared index counter that the pool's threads and the submitting thread
// drain together.
#include "common/worker_pool.h"

#include "common/cpu_count.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace tarvik {

namespace {

struct Batch {
  std::size_t count = 0;
  void (*fn)(void*, std::size_t) = nullptr;
  void* task = nullptr;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::mutex mutex;
  std::condition_variable finished;

  // Runs indices until none is left; returns after the last one it took.
  void drain() {
    for (;;) {
      const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
      if (index >= count) return;
      fn(task, index);
      if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == count) {
        std::lock_guard<std::mutex> lock(mutex);
        finished.notify_all();
      }
    }
  }
  bool exhausted() const { return next.load(std::memory_order_relaxed) >= count; }
};

// Guards creation of the shared pool; held across fork() so the child never
// inherits it locked by a thread that does not exist there.
std::mutex g_create_mutex;
std::atomic<WorkerPool*> g_pool{nullptr};

void before_fork() {
  g_create_mutex.lock();
}
void after_fork_parent() {
  g_create_mutex.unlock();
}
void after_fork_child() {
  // The pool's threads are gone in the child and its locks may be held by
  // them: abandon the object without touching it.
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_create_mutex.unlock();
}

}  // namespace

struct WorkerPool::State {
  std::size_t size = 1;
  pid_t process = getpid();  // the process whose threads these are
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::shared_ptr<Batch>> queue;

  void work() {
    for (;;) {
      std::shared_ptr<Batch> batch;
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return !queue.empty(); });
        batch = queue.front();
        if (batch->exhausted()) {
          queue.pop_front();
          continue;
        }
      }
      batch->drain();
    }
  }
};

WorkerPool::WorkerPool(std::size_t size) : state_(new State) {
  // Workers never handle signals: the process's handlers run on its own
  // threads, as they would without the pool.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::size_t started = 0;
  for (; started + 1 < size; ++started) {
    try {
      std::thread(&State::work, state_).detach();
    } catch (const std::system_error&) {
      break;  // run with the threads the system granted
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  state_->size = started + 1;
}

WorkerPool& WorkerPool::shared() {
  if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  static const bool registered = [] {
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
    return true;
  }();
  (void)registered;
  std::lock_guard<std::mutex> lock(g_create_mutex);
  WorkerPool* pool = g_pool.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    // Never deleted: detached threads keep using it until the process ends.
    pool = new WorkerPool(configured_pool_size());
    g_pool.store(pool, std::memory_order_release);
  }
  return *pool;
}

std::size_t WorkerPool::size() const {
  return state_->size;
}

void WorkerPool::run_erased(std::size_t count, Erased fn, void* task, ErasedWait wait_fn,
                            void* on_wait, ErasedWait beside_fn, void* beside) {
  if (state_->size == 1 || count <= 1) {
    if (beside_fn != nullptr) beside_fn(beside);
    for (std::size_t i = 0; i < count; ++i) fn(task, i);
    return;
  }
  auto batch = std::make_shared<Batch>();
  batch->count = count;
  batch->fn = fn;
  batch->task = task;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->queue.push_back(batch);
  }
  state_->wake.notify_all();
  if (beside_fn != nullptr) {
    beside_fn(beside);
    // In a child forked meanwhile, nothing of the pool may be touched again.
    if (getpid() != state_->process) throw ForkedDuringRun();
  }
  batch->drain();
  {
    std::unique_lock<std::mutex> lock(batch->mutex);
    auto all_done = [&] { return batch->done.load(std::memory_order_acquire) == count; };
    if (wait_fn == nullptr) {
      batch->finished.wait(lock, all_done);
    } else {
      while (!batch->finished.wait_for(lock, std::chrono::milliseconds(10), all_done)) {
        lock.unlock();
        wait_fn(on_wait);
        lock.lock();
      }
    }
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (auto it = state_->queue.begin(); it != state_->queue.end(); ++it) {
    if (*it == batch) {
      state_->queue.erase(it);
      break;
    }
  }
}

}  // namespace tarvik
