// The worker pool when a task throws: every other index still runs exactly
// once, run() returns only after all of them, and the first exception comes
// back on the calling thread, from the wait callback too; the caller's own
// work beside the tasks. And the sort on the pool, which must give
// std::sort's order.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "common/parallel_sort.h"
#include "common/worker_pool.h"

using namespace tarvik;

namespace {

using testing::check;

void test_a_throwing_task_is_rethrown_after_all_indices_ran() {
  constexpr std::size_t kCount = 64;
  std::vector<std::atomic<int>> calls(kCount);
  bool caught = false;
  try {
    WorkerPool::shared().run(kCount, [&](std::size_t i) {
      calls[i].fetch_add(1);
      if (i % 7 == 3) throw std::bad_alloc();
    });
  } catch (const std::bad_alloc&) {
    caught = true;
  }
  check(caught, "the task's std::bad_alloc reaches the caller");
  bool each_once = true;
  for (const auto& count : calls) each_once = each_once && count.load() == 1;
  check(each_once, "every index ran exactly once despite the failures");

  // The pool is still usable afterwards.
  std::atomic<std::size_t> sum{0};
  WorkerPool::shared().run(kCount, [&](std::size_t i) { sum.fetch_add(i); });
  check(sum.load() == kCount * (kCount - 1) / 2, "a later run completes");
}

void test_a_throwing_wait_callback_is_rethrown() {
  // The caller's own indices return at once; a pool thread's index runs until
  // the caller has waited (or 5 s), so the caller waits for it.
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> waited{false};
  bool caught = false;
  try {
    WorkerPool::shared().run(
        4,
        [&](std::size_t) {
          if (std::this_thread::get_id() == caller) return;
          const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
          while (!waited.load() && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
          }
        },
        [&] {
          waited.store(true);
          throw std::runtime_error("stop");
        });
  } catch (const std::runtime_error&) {
    caught = true;
  }
  // When the caller ran every index itself (a pool of one), it never waited.
  check(caught == waited.load(), "the wait callback's exception reaches the caller");
}

// meanwhile() runs once on the calling thread whatever the count: before the
// caller takes any index, while the pool's own threads already take them
// (with one runner, or fewer than two indices, before every index). What it
// throws comes back after every index ran.
void test_meanwhile_runs_once_on_the_caller_beside_the_tasks() {
  WorkerPool& pool = WorkerPool::shared();
  const std::thread::id caller = std::this_thread::get_id();
  for (std::size_t count : {0u, 1u, 64u}) {
    const bool shared = pool.size() > 1 && count > 1;
    std::vector<std::atomic<int>> calls(count);
    std::atomic<std::size_t> by_others{0};
    std::atomic<std::size_t> by_caller{0};
    int meanwhile_calls = 0;
    bool on_caller = false;
    bool caller_waited = false;
    bool others_worked = false;
    bool nothing_ran_before = false;
    pool.run(
        count,
        [&](std::size_t i) {
          calls[i].fetch_add(1);
          (std::this_thread::get_id() == caller ? by_caller : by_others).fetch_add(1);
        },
        [] {},
        [&] {
          ++meanwhile_calls;
          on_caller = std::this_thread::get_id() == caller;
          caller_waited = by_caller.load() == 0;
          nothing_ran_before = by_caller.load() + by_others.load() == 0;
          const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
          while (shared && by_others.load() == 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
          }
          others_worked = by_others.load() > 0;
        });
    const std::string what =
        " (" + std::to_string(count) + " indices, " + std::to_string(pool.size()) + " runners)";
    check(meanwhile_calls == 1 && on_caller, "meanwhile runs once on the caller" + what);
    check(caller_waited, "the caller takes no index before meanwhile" + what);
    bool each_once = true;
    for (const auto& c : calls) each_once = each_once && c.load() == 1;
    check(each_once, "every index ran exactly once" + what);
    if (shared) {
      check(others_worked, "the pool's threads take indices while meanwhile runs" + what);
    } else {
      check(nothing_ran_before, "meanwhile runs before every index" + what);
    }
  }
  for (std::size_t count : {1u, 64u}) {
    std::vector<std::atomic<int>> calls(count);
    bool caught = false;
    try {
      pool.run(
          calls.size(), [&](std::size_t i) { calls[i].fetch_add(1); }, [] {},
          [] { throw std::runtime_error("meanwhile failed"); });
    } catch (const std::runtime_error&) {
      caught = true;
    }
    bool each_once = true;
    for (const auto& c : calls) each_once = each_once && c.load() == 1;
    check(caught && each_once, "meanwhile's exception comes back after every index ran (" +
                                   std::to_string(count) + " indices)");
  }
}

// Sizes below and above the point where a range is split, in shapes that
// give the sample poor pivots (sorted, reversed, all equal, a few values);
// values repeat, so equal values meet a pivot equal to them.
void test_parallel_sort_gives_the_order_std_sort_gives() {
  std::mt19937 rng(11);
  for (std::size_t n : {0u, 1u, 32767u, 65536u, 65537u, 200003u}) {
    for (int shape = 0; shape < 5; ++shape) {
      std::vector<std::uint32_t> values(n);
      for (std::size_t i = 0; i < n; ++i) {
        const auto index = static_cast<std::uint32_t>(i);
        values[i] = shape == 0   ? static_cast<std::uint32_t>(rng() % 50000)
                    : shape == 1 ? index
                    : shape == 2 ? static_cast<std::uint32_t>(n) - index
                    : shape == 3 ? 7u
                                 : static_cast<std::uint32_t>(rng() % 3);
      }
      std::vector<std::uint32_t> expected = values;
      std::sort(expected.begin(), expected.end());
      parallel_sort(values.begin(), values.end(),
                    [](std::uint32_t x, std::uint32_t y) { return x < y; });
      check(values == expected,
            "parallel_sort of " + std::to_string(n) + " values, shape " + std::to_string(shape));
    }
  }
}

}  // namespace

int main() {
  test_parallel_sort_gives_the_order_std_sort_gives();
  test_a_throwing_task_is_rethrown_after_all_indices_ran();
  test_a_throwing_wait_callback_is_rethrown();
  test_meanwhile_runs_once_on_the_caller_beside_the_tasks();
  return testing::finish();
}
