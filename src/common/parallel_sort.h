// std::sort on the worker pool, in place.
//
// The range is cut into one part per runner by pivots drawn from an evenly
// spaced sample: everything in part k orders before everything in part
// k + 1, so once the runners have sorted one part each the range is sorted,
// with no merge. The cuts are std::partition passes, a level of them at a
// time, each level's on the pool. A sort that ends in merges takes a buffer
// of half the range; at the start of a large training that buffer was the
// peak of the whole run. For a strict total order the result is exactly
// std::sort's, whatever the pool's size; ranges too short to be worth
// splitting are sorted on the calling thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

#include "common/worker_pool.h"

namespace tarvik {

template <class Iterator, class Less>
void parallel_sort(Iterator first, Iterator last, Less less) {
  using Value = typename std::iterator_traits<Iterator>::value_type;
  constexpr std::size_t kMinPart = std::size_t{1} << 15;
  // Samples a part: the parts' sizes stay within a few percent of each other.
  constexpr std::size_t kSamplesPerPart = 1024;
  const auto n = static_cast<std::size_t>(last - first);
  WorkerPool& pool = WorkerPool::shared();
  const std::size_t parts = std::max<std::size_t>(1, std::min(pool.size(), n / kMinPart));
  if (parts == 1) {
    std::sort(first, last, less);
    return;
  }
  auto at = [&](std::size_t i) { return first + static_cast<std::ptrdiff_t>(i); };

  const std::size_t samples = kSamplesPerPart * parts;
  std::vector<Value> sample;
  sample.reserve(samples);
  for (std::size_t i = 0; i < samples; ++i) sample.push_back(*at(i * (n / samples)));
  std::sort(sample.begin(), sample.end(), less);
  // Part k holds the values v with pivot(k) <= v < pivot(k + 1).
  auto pivot = [&](std::size_t k) -> const Value& { return sample[k * kSamplesPerPart]; };

  // bounds[k] is where part k starts. A segment [lo, hi) of parts whose
  // outer bounds are known is cut at its middle part.
  std::vector<std::size_t> bounds(parts + 1);
  bounds[0] = 0;
  bounds[parts] = n;
  std::vector<std::pair<std::size_t, std::size_t>> level{{0, parts}}, next;
  while (!level.empty()) {
    pool.run(level.size(), [&](std::size_t s) {
      const auto [lo, hi] = level[s];
      const std::size_t mid = lo + (hi - lo) / 2;
      const Value& cut = pivot(mid);
      bounds[mid] =
          static_cast<std::size_t>(std::partition(at(bounds[lo]), at(bounds[hi]),
                                                  [&](const Value& v) { return less(v, cut); }) -
                                   first);
    });
    next.clear();
    for (const auto& [lo, hi] : level) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (mid - lo >= 2) next.emplace_back(lo, mid);
      if (hi - mid >= 2) next.emplace_back(mid, hi);
    }
    std::swap(level, next);
  }
  pool.run(parts, [&](std::size_t k) { std::sort(at(bounds[k]), at(bounds[k + 1]), less); });
}

}  // namespace tarvik
