// std::sort on the worker pool.
//
// The runners sort one part each, then neighbouring runs are merged in
// rounds, each round's merges in parallel (std::inplace_merge, which takes a
// buffer of up to half the range when it can and merges without one when it
// cannot). For a strict total order the result is exactly std::sort's,
// whatever the pool's size; ranges too short to be worth splitting are
// sorted on the calling thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "common/worker_pool.h"

namespace tarvik {

template <class Iterator, class Less>
void parallel_sort(Iterator first, Iterator last, Less less) {
  constexpr std::size_t kMinPart = std::size_t{1} << 15;
  const auto n = static_cast<std::size_t>(last - first);
  WorkerPool& pool = WorkerPool::shared();
  const std::size_t parts = std::max<std::size_t>(1, std::min(pool.size(), n / kMinPart));
  if (parts == 1) {
    std::sort(first, last, less);
    return;
  }
  std::vector<std::size_t> bounds(parts + 1);
  for (std::size_t i = 0; i <= parts; ++i) bounds[i] = n / parts * i + std::min(i, n % parts);
  auto at = [&](std::size_t part) { return first + static_cast<std::ptrdiff_t>(bounds[part]); };
  pool.run(parts, [&](std::size_t i) { std::sort(at(i), at(i + 1), less); });
  for (std::size_t width = 1; width < parts; width *= 2) {
    pool.run((parts + 2 * width - 1) / (2 * width), [&](std::size_t m) {
      const std::size_t lo = 2 * width * m, mid = lo + width, hi = std::min(lo + 2 * width, parts);
      if (mid < hi) std::inplace_merge(at(lo), at(mid), at(hi), less);
    });
  }
}

}  // namespace tarvik
