// The working state of one training run; see merge_state.h for the layout.
#include "training/merge_state.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>
#include <utility>
#include <vector>

#include "common/worker_pool.h"

namespace tarvik::training {
namespace {

constexpr std::uint64_t kPollEvery = 1 << 16;

double h(double x) {
  return -x * std::log2(x);
}

std::uint64_t varint_size(std::uint64_t value) {
  std::uint64_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

std::uint8_t* put_varint(std::uint8_t* out, std::uint64_t value) {
  while (value >= 0x80) {
    *out++ = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(value);
  return out;
}

std::uint64_t get_varint(const std::uint8_t*& in) {
  std::uint64_t value = *in & 0x7F;
  for (int shift = 7; *in++ & 0x80; shift += 7)
    value |= static_cast<std::uint64_t>(*in & 0x7F) << shift;
  return value;
}

// An upper bound on the entropy factor (new - old) * 0.3 + 1 of every pair
// whose count is at most c_max, with n tokens in all. With u = c / (n - c):
// h(u) is the new pair's own term; each of the two other terms changes by at
// most log2(e) * u (h is concave, so h(x') - h(x) <= -h'(x) (x - x') for
// x' <= x, with -h'(x) = log2(x) + log2(e) <= log2(e) and x - x' <= u); and
// h never exceeds log2(e) / e. A small margin covers rounding.
constexpr double kE = std::numbers::e;
constexpr double kLog2e = std::numbers::log2e;

double entropy_factor_bound(double c_max, double n) {
  constexpr double kMaxH = kLog2e / kE;  // h(1 / e), the maximum of h
  constexpr double kMargin = 1e-9;
  if (!(n - c_max > 0)) return 1.0 + kEntropyWeight * 3 * kMaxH + kMargin;
  double u = c_max / (n - c_max);
  double own = u < 1 / kE ? h(u) : kMaxH;
  return 1.0 + kEntropyWeight * std::min(own + 2 * kLog2e * u, 3 * kMaxH) + kMargin;
}

}  // namespace

template <class Layout>
Result<MergeState<Layout>> MergeState<Layout>::build(ChunkCounts counts,
                                                     std::uint64_t max_token_bytes,
                                                     std::size_t heap_keep,
                                                     const CancelCheck& stop) {
  MergeState state;
  state.max_token_bytes_ = max_token_bytes;
  state.heap_keep_ = std::max<std::size_t>(heap_keep, 1);
  counts.sort_by_weight();

  // One pass over the chunk records places every chunk and closes the
  // weight groups; the bytes are then copied on the worker pool, a range of
  // chunks a runner, each with its own byte histogram. That also takes the
  // first touch of the slot array off this thread. Each runner gives back
  // the pages of the records it has copied as it goes, so that the records
  // and the slot array are never whole side by side: that was the peak of a
  // large training.
  const MappedVector<Chunk>& chunks = counts.chunks();
  WorkerPool& pool = WorkerPool::shared();
  constexpr std::size_t kMinChunks = std::size_t{1} << 14;
  constexpr std::size_t kFillAhead = 16;
  // The fewest chunk records that fill whole pages.
  constexpr std::size_t kPageChunks = std::lcm(kPageBytes, sizeof(Chunk)) / sizeof(Chunk);
  const std::size_t fill_ranges =
      std::max<std::size_t>(1, std::min(pool.size(), chunks.size() / kMinChunks));
  std::vector<std::size_t> range_first(fill_ranges + 1);
  std::vector<std::uint64_t> range_pos(fill_ranges + 1);
  for (std::size_t r = 0; r <= fill_ranges; ++r) range_first[r] = chunks.size() / fill_ranges * r;
  range_first[fill_ranges] = chunks.size();
  std::uint64_t slot_count = 1;
  for (std::size_t i = 0, r = 0; i < chunks.size(); ++i) {
    const Chunk& chunk = chunks[i];
    if (i == range_first[r]) range_pos[r++] = slot_count;
    if (state.group_weight_.empty() || state.group_weight_.back() != chunk.weight) {
      if (!state.group_weight_.empty()) state.group_end_.push_back(static_cast<Pos>(slot_count));
      state.group_weight_.push_back(chunk.weight);
    }
    state.total_ += chunk.length * chunk.weight;
    slot_count += chunk.length + 1;
  }

  state.length_.assign(256, 1);
  state.unigram_.assign(256, 0);
  auto& slots = state.slots_;
  slots.resize_for_overwrite(slot_count);  // every slot is written below
  slots[0] = kSeparator;
  std::vector<std::array<std::int64_t, 256>> histograms(fill_ranges);
  PoolStop fill_stop(stop);
  pool.run(
      fill_ranges,
      [&](std::size_t r) {
        std::array<std::int64_t, 256>& histogram = histograms[r];
        histogram.fill(0);
        std::uint64_t pos = range_pos[r];
        std::uint64_t next_poll = pos + kPollEvery * 16;
        const std::size_t last = range_first[r + 1];
        // Only pages wholly inside this runner's range are given back.
        std::size_t copied = (range_first[r] + kPageChunks - 1) / kPageChunks * kPageChunks;
        for (std::size_t i = range_first[r]; i < last; ++i) {
          // The sorted chunks' bytes lie in the arena in counting order:
          // each read would be a miss, so they are asked for ahead.
          if (i + kFillAhead < last) {
            const Chunk& ahead = chunks[i + kFillAhead];
            if (!ahead.is_inline()) __builtin_prefetch(counts.arena().data() + ahead.source);
          }
          const Chunk& chunk = chunks[i];
          const auto weight = static_cast<std::int64_t>(chunk.weight);
          for (char c : counts.bytes(chunk)) {
            const auto byte = static_cast<unsigned char>(c);
            slots[pos++] = byte;
            histogram[byte] += weight;
          }
          slots[pos++] = kSeparator;
          if (pos >= next_poll) {
            next_poll = pos + kPollEvery * 16;
            if (const std::size_t page = i / kPageChunks * kPageChunks; page > copied) {
              counts.discard_chunks(copied, page);
              copied = page;
            }
            if (fill_stop()) return;
          }
        }
      },
      fill_stop);  // the calling thread keeps asking while it waits for the others
  if (fill_stop.stopped()) return Error::interrupted();
  for (const auto& histogram : histograms) {
    for (unsigned b = 0; b < 256; ++b) state.unigram_[b] += histogram[b];
  }
  state.group_end_.push_back(static_cast<Pos>(slot_count));
  state.group_weight_.push_back(0);
  for (std::int64_t c : state.unigram_) state.active_ += c > 0;
  counts.release();

  // Every initial pair is a byte pair: size each one's list in a dense
  // 64 Ki table, then delta-code the positions into the arena. Both passes
  // run on the worker pool, each runner over its own range of positions:
  // runner r's part of a list follows the parts of the runners before it,
  // and its first gap is taken from the last position they saw.
  constexpr std::uint32_t kBytePairs = 1 << 16;
  constexpr std::uint64_t kMinRange = std::uint64_t{1} << 20;
  struct Range {
    std::vector<std::uint64_t> entries, bytes;  // bytes: without the first gap
    std::vector<std::int64_t> weighted;
    std::vector<Pos> first, last;
  };
  // Pairs start at the positions [1, slot_count - 1).
  const std::uint64_t positions = slot_count > 2 ? slot_count - 2 : 0;
  const std::size_t ranges = static_cast<std::size_t>(
      std::max<std::uint64_t>(1, std::min<std::uint64_t>(pool.size(), positions / kMinRange)));
  auto range_begin = [&](std::size_t r) -> std::uint64_t {
    return 1 + positions / ranges * r + std::min<std::uint64_t>(r, positions % ranges);
  };
  std::vector<Range> part(ranges);
  pool.run(ranges, [&](std::size_t r) {
    Range& range = part[r];
    range.entries.assign(kBytePairs, 0);
    range.bytes.assign(kBytePairs, 0);
    range.weighted.assign(kBytePairs, 0);
    range.first.assign(kBytePairs, 0);
    range.last.assign(kBytePairs, 0);
    WeightCursor weight(state);
    for (std::uint64_t i = range_begin(r), end = range_begin(r + 1); i < end; ++i) {
      Slot x = slots[i], y = slots[i + 1];
      if (x == kSeparator || y == kSeparator) continue;
      std::uint32_t k = std::uint32_t{x} << 8 | y;
      if (range.entries[k]++ == 0) {
        range.first[k] = static_cast<Pos>(i);
      } else {
        range.bytes[k] += varint_size(i - range.last[k]);
      }
      range.last[k] = static_cast<Pos>(i);
      range.weighted[k] += weight.at(static_cast<Pos>(i));
    }
  });
  // Where each runner writes each list, and the position its first gap is
  // counted from.
  std::vector<std::vector<std::uint64_t>> cursor(ranges, std::vector<std::uint64_t>(kBytePairs));
  std::vector<std::vector<Pos>> from(ranges, std::vector<Pos>(kBytePairs));
  std::vector<std::uint64_t> list_ends;
  std::uint64_t arena_size = 1;  // offset 0: the empty list
  for (std::uint32_t k = 0; k < kBytePairs; ++k) {
    const std::uint64_t begin = arena_size;
    std::uint64_t entries = 0;
    std::int64_t weighted = 0;
    Pos last = 0;
    for (std::size_t r = 0; r < ranges; ++r) {
      Range& range = part[r];
      cursor[r][k] = arena_size;
      from[r][k] = last;
      if (range.entries[k] == 0) continue;
      arena_size += varint_size(range.first[k] - last) + range.bytes[k];
      entries += range.entries[k];
      weighted += range.weighted[k];
      last = range.last[k];
    }
    if (entries == 0) continue;
    list_ends.push_back(arena_size++);
    state.entries_ += entries;
    Key key = Layout::key(k >> 8, k & 0xFF);
    PairEntry& pair = state.pairs_.upsert(key);
    pair.count = static_cast<Count>(weighted);
    pair.begin = static_cast<Offset>(begin);
    if (max_token_bytes >= 2) state.heap_.push_back(HeapItem{state.coverage(key, weighted), key});
  }
  part = {};
  state.arena_.resize_for_overwrite(arena_size);
  std::uint8_t* const arena = state.arena_.data();
  arena[0] = 0;
  for (std::uint64_t end : list_ends) arena[end] = 0;
  pool.run(ranges, [&](std::size_t r) {
    std::vector<std::uint64_t>& at = cursor[r];
    std::vector<Pos>& last = from[r];
    for (std::uint64_t i = range_begin(r), end = range_begin(r + 1); i < end; ++i) {
      Slot x = slots[i], y = slots[i + 1];
      if (x == kSeparator || y == kSeparator) continue;
      std::uint32_t k = std::uint32_t{x} << 8 | y;
      at[k] = static_cast<std::uint64_t>(put_varint(arena + at[k], i - last[k]) - arena);
      last[k] = static_cast<Pos>(i);
    }
  });
  std::make_heap(state.heap_.begin(), state.heap_.end());
  return state;
}

template <class Layout>
double MergeState<Layout>::entropy() const {
  if (total_ == 0) return 0.0;
  double n = static_cast<double>(total_);
  double sum = 0.0;
  for (std::int64_t c : unigram_) {
    if (c > 0) sum += h(static_cast<double>(c) / n);
  }
  return sum;
}

template <class Layout>
typename Layout::Count MergeState<Layout>::coverage(Key key, std::int64_t count) const {
  return static_cast<Count>((length_[Layout::left(key)] + length_[Layout::right(key)]) *
                            static_cast<std::uint64_t>(count));
}

template <class Layout>
bool MergeState<Layout>::allowed(Key key) const {
  return length_[Layout::left(key)] + length_[Layout::right(key)] <= max_token_bytes_;
}

template <class Layout>
void MergeState<Layout>::push_heap(Key key, std::int64_t count) {
  // A pair too long to merge stays so (token lengths never change), so it
  // never enters the heap.
  if (!allowed(key)) return;
  const Count covered = coverage(key, count);
  if (covered < floor_) return;
  heap_.push_back(HeapItem{covered, key});
  std::push_heap(heap_.begin(), heap_.end());
}

template <class Layout>
bool MergeState<Layout>::settle_top() {
  for (;;) {
    while (!heap_.empty()) {
      HeapItem top = heap_.front();
      PairEntry* pair = pairs_.find(top.key);
      Count now = pair != nullptr ? coverage(top.key, pair->count) : 0;
      if (pair != nullptr && now == top.coverage) return true;
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.pop_back();
      if (pair != nullptr) push_heap(top.key, pair->count);  // fell since pushed
    }
    if (!lower_floor()) return false;
  }
}

template <class Layout>
void MergeState<Layout>::raise_floor() {
  // Every pair at or above the new floor keeps its entries, so the heap still
  // holds each of them; the rest are found again by lower_floor().
  auto by_coverage = [](const HeapItem& x, const HeapItem& y) { return x.coverage > y.coverage; };
  std::nth_element(heap_.begin(), heap_.begin() + heap_keep_, heap_.end(), by_coverage);
  const Count cut = heap_[heap_keep_].coverage;
  const bool above = std::any_of(heap_.begin(), heap_.begin() + heap_keep_,
                                 [&](const HeapItem& item) { return item.coverage > cut; });
  if (above) {
    // cut + 1 cannot overflow: some coverage exceeds cut.
    floor_ = std::max<Count>(floor_, cut + 1);
    if (cold_allowed_) cold_floor_ = floor_;
    auto kept = std::partition(heap_.begin(), heap_.end(),
                               [&](const HeapItem& item) { return item.coverage >= floor_; });
    heap_.resize(static_cast<std::size_t>(kept - heap_.begin()));
  }
  std::make_heap(heap_.begin(), heap_.end());
}

// With the heap empty: brings the floor down far enough to let about
// heap_keep_ pairs in (at least every pair of the highest coverage left) and
// pushes the pairs between the new floor and the old one. False when no
// pair is left below the old floor.
template <class Layout>
bool MergeState<Layout>::lower_floor() {
  if (floor_ == 0) return false;
  // Coverages below the floor by bit length: a floor at a power of two
  // takes whole buckets.
  std::uint64_t below[65] = {};
  pairs_.for_each([&](PairEntry& pair) {
    if (!allowed(pair.key)) return;
    const Count covered = coverage(pair.key, pair.count);
    if (covered < floor_) ++below[std::bit_width(static_cast<std::uint64_t>(covered))];
  });
  std::size_t bucket = 65;
  while (bucket > 0 && below[bucket - 1] == 0) --bucket;
  if (bucket-- == 0) {
    floor_ = 0;
    return false;
  }
  for (std::uint64_t taken = below[bucket];
       bucket > 0 && taken + below[bucket - 1] <= heap_keep_;) {
    taken += below[--bucket];
  }
  // Bucket b holds the coverages in [2^(b-1), 2^b); bucket 0 is coverage 0.
  const Count old_floor = floor_;
  floor_ = bucket == 0 ? 0 : static_cast<Count>(std::uint64_t{1} << (bucket - 1));
  fill_heap(floor_, old_floor);
  return true;
}

template <class Layout>
void MergeState<Layout>::fill_heap(Count low, std::optional<Count> high) {
  pairs_.for_each([&](PairEntry& pair) {
    if (!allowed(pair.key)) return;
    const Count covered = coverage(pair.key, pair.count);
    if (covered >= low && (!high || covered < *high)) heap_.push_back(HeapItem{covered, pair.key});
  });
  std::make_heap(heap_.begin(), heap_.end());
}

template <class Layout>
void MergeState<Layout>::rebuild_heap() {
  heap_.clear();
  fill_heap(floor_, std::nullopt);
}

// Which of `shares` parts a pair's key falls in: a mixing of its own, so that
// the keys of one part still spread over all of their table.
template <class Key>
std::size_t share_of(Key key, std::size_t shares) {
  const std::uint64_t h = static_cast<std::uint64_t>(key) * 0xD6E8FEB86659FD93ull;
  return static_cast<std::size_t>((static_cast<unsigned __int128>(h ^ (h >> 32)) * shares) >> 64);
}

template <class Layout>
template <class F, class Stop>
bool MergeState<Layout>::for_each_adjacent(F&& f, Stop&& stop) const {
  WeightCursor weight(*this);
  const Pos end = static_cast<Pos>(slots_.size());
  Pos next_poll = kPollEvery * 16;
  for (Pos pos = 1; pos < end;) {
    if (pos >= next_poll) {
      if (stop()) return false;
      next_poll = pos + kPollEvery * 16;
    }
    const Slot x = slots_[pos];
    if (x == kSeparator) {
      ++pos;
      continue;
    }
    const Pos next = pos + static_cast<Pos>(length_[x]);
    const Slot y = slots_[next];
    if (y != kSeparator) f(pos, Layout::key(x, y), weight.at(pos));
    pos = next;
  }
  return true;
}

template <class Layout>
Status MergeState<Layout>::track_all(const CancelCheck& stop) {
  // Rare (the heap must run dry below the cold floor) and slow on a large
  // state: three passes over the slots with a table lookup per pair. The
  // first adds the cold pairs with their counts; outside a merge every pair
  // already in the table has a list (begin >= 1), so begin 0 marks the new
  // ones. The other two size the new lists and write them at the arena's
  // end, as publish_new_pairs() does; `at` stays 0 for the other pairs.
  auto asked = [&] { return stop && stop(); };
  const bool counted = for_each_adjacent(
      [&](Pos, Key key, std::int64_t weight) {
        PairEntry* pair = pairs_.find(key);
        if (pair == nullptr) {
          pair = &pairs_.upsert(key);
        } else if (pair->begin != 0) {
          return;
        }
        pair->add_count(weight);
      },
      asked);
  const std::uint64_t capacity = pairs_.capacity();
  std::vector<Pos> last(capacity, 0);
  std::vector<std::uint64_t> at(capacity, 0);
  auto index = [&](Key key) {
    return static_cast<std::uint64_t>(pairs_.find(key) - &pairs_.at(0));
  };
  const bool sized = counted && for_each_adjacent(
                                    [&](Pos pos, Key key, std::int64_t) {
                                      const std::uint64_t i = index(key);
                                      if (pairs_.at(i).begin != 0) return;
                                      at[i] += varint_size(pos - last[i]);
                                      last[i] = pos;
                                    },
                                    asked);
  // An interrupted pass leaves pairs without lists, so the state is not
  // usable any more; the caller gives up on the run.
  if (!sized) return Error::interrupted();
  std::uint64_t extra = 0;
  for (std::uint64_t i = 0; i < capacity; ++i) extra += at[i] > 0 ? at[i] + 1 : 0;
  reserve_arena(extra);
  std::uint64_t cursor = arena_.size();
  arena_.resize_for_overwrite(arena_.size() + extra);
  for (std::uint64_t i = 0; i < capacity; ++i) {
    if (at[i] == 0) continue;
    const std::uint64_t bytes = at[i];
    pairs_.at(i).begin = static_cast<Offset>(cursor);
    at[i] = cursor;
    last[i] = 0;
    cursor += bytes + 1;
  }
  std::uint8_t* const arena = arena_.data();
  const bool written = for_each_adjacent(
      [&](Pos pos, Key key, std::int64_t) {
        const std::uint64_t i = index(key);
        if (at[i] == 0) return;
        at[i] = static_cast<std::uint64_t>(put_varint(arena + at[i], pos - last[i]) - arena);
        last[i] = pos;
        ++entries_;
      },
      asked);
  if (!written) return Error::interrupted();
  for (std::uint64_t i = 0; i < capacity; ++i) {
    if (at[i] == 0) continue;
    arena[at[i]] = 0;
    push_heap(pairs_.at(i).key, pairs_.at(i).count);
  }
  cold_floor_ = 0;
  cold_allowed_ = false;
  return {};
}

template <class Layout>
Result<std::optional<PairChoice>> MergeState<Layout>::best_pair(bool entropy_phase,
                                                                const CancelCheck& stop) {
  // Entries of vanished pairs linger until they reach the top; rebuild when
  // they could make up most of the heap.
  if (heap_.size() > 2 * pairs_.size() + 64) rebuild_heap();
  if (heap_.size() > 2 * heap_keep_) raise_floor();

  if (!entropy_phase) {
    // A cold pair covers less than the cold floor, so a top at or above it wins.
    while (cold_floor_ > 0 && (!settle_top() || heap_.front().coverage < cold_floor_)) {
      TARVIK_TRY(track_all(stop));
    }
    if (!settle_top()) return std::optional<PairChoice>{};
    Key key = heap_.front().key;
    std::int64_t count = pairs_.find(key)->count;
    TokenId a = Layout::left(key), b = Layout::right(key);
    double len = static_cast<double>(length_[a] + length_[b]);
    return std::optional<PairChoice>{PairChoice{a, b, count, len * static_cast<double>(count)}};
  }

  // Visit pairs by falling coverage until no pair left could beat the best
  // score seen. A pair's count is at most half its coverage.
  std::optional<PairChoice> best;
  std::vector<HeapItem> visited;
  const double n = static_cast<double>(total_);
  auto score_bound = [n](Count coverage) {
    const double c = static_cast<double>(coverage);
    return entropy_factor_bound(c / 2, n) * std::pow(c, kEntropyExponent);
  };
  for (;;) {
    const bool found = settle_top();
    if (cold_floor_ > 0 && (!found || heap_.front().coverage < cold_floor_) &&
        (!best || score_bound(cold_floor_ - 1) >= best->score)) {
      TARVIK_TRY(track_all(stop));  // a cold pair might score best
      continue;
    }
    if (!found) break;
    HeapItem top = heap_.front();
    if (best && score_bound(top.coverage) < best->score) break;
    std::pop_heap(heap_.begin(), heap_.end());
    heap_.pop_back();
    visited.push_back(top);

    TokenId a = Layout::left(top.key), b = Layout::right(top.key);
    std::int64_t c = pairs_.find(top.key)->count;
    std::int64_t ca = unigram_[a], cb = unigram_[b];
    double n2 = n - static_cast<double>(c);
    double factor = 1.0;
    if (!(total_ == 0 || n2 <= 0)) {
      double old_h = (ca > 0 ? h(static_cast<double>(ca) / n) : 0.0) +
                     (cb > 0 ? h(static_cast<double>(cb) / n) : 0.0);
      double new_h = (ca - c > 0 ? h(static_cast<double>(ca - c) / n2) : 0.0) +
                     (cb - c > 0 ? h(static_cast<double>(cb - c) / n2) : 0.0) +
                     h(static_cast<double>(c) / n2);
      factor = (new_h - old_h) * kEntropyWeight + 1.0;
    }
    double len = static_cast<double>(length_[a] + length_[b]);
    double score = factor * std::pow(len * static_cast<double>(c), kEntropyExponent);
    if (!best || score > best->score ||
        (score == best->score && Layout::key(a, b) < Layout::key(best->left, best->right))) {
      best = PairChoice{a, b, c, score};
    }
  }
  for (const HeapItem& item : visited) {
    heap_.push_back(item);
    std::push_heap(heap_.begin(), heap_.end());
  }
  return best;
}

template <class Layout>
typename Layout::Pos MergeState<Layout>::previous_start(Pos start) const {
  Slot v = slots_[start - 1];
  if ((v & kFlag) == 0) return start - 1;
  Slot distance = v & static_cast<Slot>(~kFlag);
  if (distance == kFar) return far_starts_.find(start - 1)->second;
  return start - 1 - distance;
}

template <class Layout>
void MergeState<Layout>::mark_last(Pos last, Pos start) {
  Pos distance = last - start;
  if (distance < kFar) {
    slots_[last] = static_cast<Slot>(kFlag | distance);
  } else {
    slots_[last] = static_cast<Slot>(kFlag | kFar);
    far_starts_[last] = start;
  }
}

template <class Layout>
void MergeState<Layout>::decrease(TokenId left, TokenId right, std::int64_t weight,
                                  std::uint64_t occurrences) {
  PairEntry* pair = pairs_.find(Layout::key(left, right));
  if (pair == nullptr) return;  // a cold pair, left out of the table
  std::int64_t count = static_cast<std::int64_t>(pair->count) - weight;
  // A pair of this merge's has no list yet (begin 0), so nothing in the
  // arena goes out of date.
  if (count > 0) {
    pair->count = static_cast<Count>(count);
    if (pair->begin != 0) {
      pair->add_stale(occurrences);
      stale_entries_ += occurrences;
    }
  } else {
    if (pair->begin != 0) stale_entries_ += occurrences;  // the rest of its list
    pairs_.erase(pair);
  }
}

template <class Layout>
void MergeState<Layout>::increase(TokenId left, TokenId right, std::int64_t weight) {
  // Each pair a merge creates is increased once, by all its occurrences, so
  // one below the cold floor stays below it.
  const Key key = Layout::key(left, right);
  if (coverage(key, weight) < cold_floor_) return;
  pairs_.upsert(key).add_count(weight);
}

template <class Layout>
void MergeState<Layout>::count_neighbour(bool left, TokenId other, std::int64_t weight) {
  NeighbourCount& count = neighbours_[left ? other : length_.size() + other];
  if (count.occurrences++ == 0) (left ? left_neighbours_ : right_neighbours_).push_back(other);
  count.weight += weight;
}

template <class Layout>
void MergeState<Layout>::apply_neighbour_counts(TokenId a, TokenId b, TokenId merged,
                                                std::int64_t weight, std::uint64_t occurrences) {
  const std::uint64_t n = length_.size();
  // Increases first: a pair the merge both made and broke ((merged, a) in
  // "a b a b") must be there before its decrease, and no count then falls to
  // zero before its last decrease.
  for (TokenId x : left_neighbours_) increase(x, merged, neighbours_[x].weight);
  for (TokenId y : right_neighbours_) increase(merged, y, neighbours_[n + y].weight);
  for (TokenId x : left_neighbours_) {
    decrease(x, a, neighbours_[x].weight, neighbours_[x].occurrences);
    neighbours_[x] = {};
  }
  for (TokenId y : right_neighbours_) {
    decrease(b, y, neighbours_[n + y].weight, neighbours_[n + y].occurrences);
    neighbours_[n + y] = {};
  }
  left_neighbours_.clear();
  right_neighbours_.clear();
  decrease(a, b, weight, occurrences);
  add_unigram(a, -weight);
  add_unigram(b, -weight);
  add_unigram(merged, weight);
  total_ -= static_cast<std::uint64_t>(weight);
}

template <class Layout>
void MergeState<Layout>::add_unigram(TokenId id, std::int64_t delta) {
  std::int64_t before = unigram_[id];
  std::int64_t after = before + delta;
  unigram_[id] = after;
  active_ += (after > 0) - (before > 0);
}

template <class Layout>
Status MergeState<Layout>::merge(const PairChoice& choice, TokenId merged, const CancelCheck& stop) {
  const TokenId a = choice.left, b = choice.right, t = merged;
  const Pos len_a = static_cast<Pos>(length_[a]), len_b = static_cast<Pos>(length_[b]);
  length_.push_back(length_[a] + length_[b]);
  unigram_.push_back(0);

  PairEntry* merging = pairs_.find(Layout::key(a, b));
  if (merging == nullptr) return {};
  const std::uint8_t* in = arena_.data() + merging->begin;
  Pos decoded = 0;
  fresh_.clear();
  fresh_last_ = 0;
  pending_ = false;
  const std::uint64_t n = length_.size();
  if (neighbours_.size() < 2 * n) neighbours_.resize(2 * n);
  WeightCursor weight(*this);
  std::int64_t merged_weight = 0;
  std::uint64_t occurrences = 0;
  std::uint64_t seen = 0;
  // Positions are decoded a batch ahead so that their slots can be fetched
  // while earlier ones are processed.
  constexpr std::size_t kBatch = 16;
  Pos batch[kBatch];
  while (*in != 0) {
    std::size_t count = 0;
    for (; count < kBatch && *in != 0; ++count) {
      decoded += static_cast<Pos>(get_varint(in));
      __builtin_prefetch(&slots_[decoded - 1]);
      batch[count] = decoded;
    }
    seen += count;
    if (seen >= kPollEvery) {
      seen = 0;
      if (stop && stop()) return Error::interrupted();
    }
    for (std::size_t k = 0; k < count; ++k) {
      const Pos pos = batch[k];
      if (slots_[pos] != a) continue;
      const Pos q = pos + len_a;
      if (slots_[q] != b) continue;
      // An occurrence: (p, a, b, y) becomes (p, t, y).
      const std::int64_t w = weight.at(pos);
      if (slots_[pos - 1] != kSeparator) {
        Pos left = previous_start(pos);
        TokenId p = slots_[left];
        count_neighbour(true, p, w);
        record_fresh(left, p);
      }
      const Pos r = q + len_b;
      const Slot y = slots_[r];
      if (y != kSeparator) {
        count_neighbour(false, y, w);
        record_fresh(pos, n + y);
      }
      merged_weight += w;
      ++occurrences;
      slots_[pos] = static_cast<Slot>(t);
      slots_[q] = kInside;
      mark_last(r - 1, pos);
    }
  }
  flush_fresh();
  apply_neighbour_counts(a, b, t, merged_weight, occurrences);
  publish_new_pairs(t);
  // Compacting when a third of the entries are stale rather than a sixth
  // cut the loop's time on mixed.txt by a fifth; the small constant keeps
  // tiny states from compacting after every merge.
  if (3 * stale_entries_ > entries_ + 64) return compact_arena(stop);
  return {};
}

template <class Layout>
void MergeState<Layout>::reserve_arena(std::uint64_t extra) {
  std::uint64_t need = arena_.size() + extra;
  if (need > arena_.capacity()) arena_.reserve(std::max(need, arena_.capacity() / 8 * 9));
}

template <class Layout>
void MergeState<Layout>::record_fresh(Pos pos, std::uint64_t group) {
  // A position can be recorded twice in a row: as a new token with its right
  // neighbour, then as the left neighbour of the next occurrence, which
  // changes its pair; the later record holds.
  if (pending_ && pos == pending_pos_) {
    pending_group_ = group;
    return;
  }
  flush_fresh();
  pending_pos_ = pos;
  pending_group_ = group;
  pending_ = true;
}

template <class Layout>
void MergeState<Layout>::flush_fresh() {
  if (!pending_) return;
  fresh_.reserve_more(fresh_.size() + 20);
  std::uint8_t* end = put_varint(fresh_.data() + fresh_.size(), pending_pos_ - fresh_last_);
  end = put_varint(end, pending_group_);
  fresh_.resize_for_overwrite(static_cast<std::size_t>(end - fresh_.data()));
  fresh_last_ = pending_pos_;
  pending_ = false;
}

template <class Layout>
void MergeState<Layout>::publish_new_pairs(TokenId merged) {
  // Every position in fresh_ now starts a pair with the new token on one
  // side; group them by the other token, keeping the ascending order. A
  // group is 16 bytes (a list's size, then its write cursor, and the last
  // position), so the table of twice the vocabulary's groups stays in the
  // cache that the positions' slots compete for.
  constexpr std::uint64_t kDropped = ~std::uint64_t{0};  // the pair's count fell back to 0
  const std::uint64_t stride = length_.size();
  if (groups_.size() < 2 * stride) groups_.resize(2 * stride);
  touched_.clear();
  const std::uint8_t* const fresh_end = fresh_.data() + fresh_.size();
  Pos pos = 0;
  for (const std::uint8_t* in = fresh_.data(); in < fresh_end;) {
    pos += static_cast<Pos>(get_varint(in));
    const std::uint64_t g = get_varint(in);
    Group& group = groups_[g];
    if (group.bytes == 0) touched_.push_back(static_cast<std::uint32_t>(g));
    group.bytes += varint_size(pos - group.last);
    group.last = pos;
  }
  touched_pairs_.clear();
  std::uint64_t extra = 0;
  for (std::uint32_t g : touched_) {
    TokenId x = g < stride ? g : merged;
    TokenId y = g < stride ? merged : static_cast<TokenId>(g - stride);
    PairEntry* pair = pairs_.find(Layout::key(x, y));
    touched_pairs_.push_back(pair);
    if (pair != nullptr) extra += groups_[g].bytes + 1;
  }
  reserve_arena(extra);
  std::uint64_t cursor = arena_.size();
  arena_.resize_for_overwrite(arena_.size() + extra);
  for (std::size_t t = 0; t < touched_.size(); ++t) {
    Group& group = groups_[touched_[t]];
    PairEntry* pair = touched_pairs_[t];
    if (pair == nullptr) {
      group.bytes = kDropped;
      continue;
    }
    pair->begin = static_cast<Offset>(cursor);
    cursor += group.bytes + 1;
    group.bytes = pair->begin;  // from here on, where its next entry goes
    group.last = 0;
    push_heap(pair->key, pair->count);
  }
  pos = 0;
  std::uint8_t* const arena = arena_.data();
  for (const std::uint8_t* in = fresh_.data(); in < fresh_end;) {
    pos += static_cast<Pos>(get_varint(in));
    Group& group = groups_[get_varint(in)];
    if (group.bytes == kDropped) continue;
    ++entries_;
    group.bytes =
        static_cast<std::uint64_t>(put_varint(arena + group.bytes, pos - group.last) - arena);
    group.last = pos;
  }
  for (std::uint32_t g : touched_) {
    if (groups_[g].bytes != kDropped) arena[groups_[g].bytes] = 0;
    groups_[g] = Group{};
  }
  fresh_.clear();
}

template <class Layout>
MappedVector<std::uint32_t> MergeState<Layout>::live_in_arena_order() const {
  // Table slot indices (half the size of pointers) sorted by list start,
  // sixteen bits a pass, least significant first. The first pass reads the
  // table in slot order; only the later ones (one for an arena under 4 GiB)
  // read entries out of order, twice each, where a comparison sort read two
  // per comparison and took a sixth of the merge loop on mixed.txt.
  constexpr unsigned kDigitBits = 16;
  constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << kDigitBits) - 1;
  std::vector<std::uint64_t> starts(std::size_t{1} << kDigitBits);
  auto to_starts = [&] {
    std::uint64_t sum = 0;
    for (std::uint64_t& start : starts) sum += std::exchange(start, sum);
  };
  std::uint64_t highest = 0, live_count = 0;
  for (std::uint64_t i = 0; i < pairs_.capacity(); ++i) {
    if (!pairs_.used(i)) continue;
    const std::uint64_t begin = pairs_.at(i).begin;
    highest |= begin;
    ++live_count;
    ++starts[begin & kDigitMask];
  }
  to_starts();
  MappedVector<std::uint32_t> order;
  order.resize_for_overwrite(live_count);
  for (std::uint64_t i = 0; i < pairs_.capacity(); ++i) {
    if (pairs_.used(i))
      order[starts[pairs_.at(i).begin & kDigitMask]++] = static_cast<std::uint32_t>(i);
  }
  MappedVector<std::uint32_t> scratch;
  for (unsigned shift = kDigitBits; shift < 64 && (highest >> shift) != 0; shift += kDigitBits) {
    auto digit = [&](std::uint32_t index) {
      return (pairs_.at(index).begin >> shift) & kDigitMask;
    };
    std::fill(starts.begin(), starts.end(), 0);
    for (std::uint32_t index : order) ++starts[digit(index)];
    to_starts();
    scratch.resize_for_overwrite(live_count);
    for (std::uint32_t index : order) scratch[starts[digit(index)]++] = index;
    std::swap(order, scratch);
  }
  return order;
}

template <class Layout>
Status MergeState<Layout>::compact_arena(const CancelCheck& stop) {
  // Moves the live lists down over the dead ones, in arena order. A list
  // with many stale entries is first rewritten without them, in place and
  // on the worker pool (the lists are disjoint, and a rewritten list never
  // grows: a varint of a sum of gaps is no longer than the varints of the
  // gaps); the moves then run in arena order on this thread, so each list is
  // read before anything is written over it.
  MappedVector<std::uint32_t> live = live_in_arena_order();
  std::uint8_t* const base = arena_.data();
  // A list's entry bytes, up to its zero byte; the lists are read in arena
  // order, so the search streams through the arena.
  auto entry_bytes = [&](const PairEntry& pair) -> std::uint64_t {
    const void* end = std::memchr(base + pair.begin, 0, arena_.size() - pair.begin);
    return static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(end) - (base + pair.begin));
  };

  // The lists to rewrite, cut into parts of about kPartBytes for the runners.
  constexpr std::uint64_t kPartBytes = std::uint64_t{1} << 16;
  std::vector<std::uint32_t> rewrite;
  std::vector<std::size_t> parts{0};
  std::uint64_t part_bytes = 0;
  for (std::uint32_t index : live) {
    const PairEntry& pair = pairs_.at(index);
    if (pair.stale == 0) continue;
    const std::uint64_t bytes = entry_bytes(pair);
    if (pair.stale < PairEntry::kStaleMax && std::uint64_t{pair.stale} * 16 < bytes) continue;
    rewrite.push_back(index);
    part_bytes += bytes;
    if (part_bytes >= kPartBytes) {
      parts.push_back(rewrite.size());
      part_bytes = 0;
    }
  }
  if (parts.back() != rewrite.size()) parts.push_back(rewrite.size());

  PoolStop poll(stop);
  auto rewrite_part = [&](std::size_t p) {
    if (poll()) return;
    constexpr std::size_t kBatch = 64;
    Pos batch[kBatch];
    for (std::size_t r = parts[p]; r < parts[p + 1]; ++r) {
      PairEntry& pair = pairs_.at(rewrite[r]);
      const std::uint8_t* in = base + pair.begin;
      std::uint8_t* out = base + pair.begin;
      const TokenId x = Layout::left(pair.key), y = Layout::right(pair.key);
      const Pos len_x = static_cast<Pos>(length_[x]);
      Pos pos = 0, last = 0;
      while (*in != 0) {
        std::size_t n = 0;
        for (; n < kBatch && *in != 0; ++n) {
          pos += static_cast<Pos>(get_varint(in));
          __builtin_prefetch(&slots_[pos]);
          batch[n] = pos;
        }
        // What is written never passes what has been read, so the zero
        // byte ahead is still there for the test above.
        for (std::size_t k = 0; k < n; ++k) {
          if (slots_[batch[k]] != x || slots_[batch[k] + len_x] != y) continue;
          out = put_varint(out, batch[k] - last);
          last = batch[k];
        }
      }
      *out = 0;
      pair.stale = 0;
    }
  };
  WorkerPool::shared().run(parts.size() - 1, rewrite_part, poll);
  if (poll.stopped()) return Error::interrupted();

  std::uint8_t* out = base + 1;  // after the empty list
  entries_ -= std::min(entries_, stale_entries_);
  stale_entries_ = 0;
  for (std::uint32_t index : live) {
    PairEntry& pair = pairs_.at(index);
    const std::uint64_t bytes = entry_bytes(pair) + 1;
    if (base + pair.begin != out) std::memmove(out, base + pair.begin, bytes);
    pair.begin = static_cast<Offset>(out - base);
    out += bytes;
    stale_entries_ += pair.stale;
  }
  entries_ += stale_entries_;  // the stale entries of the lists moved whole
  arena_.resize_for_overwrite(static_cast<std::size_t>(out - base));
  arena_.shrink_to_fit();
  return {};
}

template <class Layout>
Status MergeState<Layout>::finalize(Vocab& vocab, const CancelCheck& stop) {
  arena_.release();
  heap_.release();
  fresh_.release();
  groups_ = {};
  touched_pairs_ = {};
  // With cold pairs left out of the table, every pair is counted again from
  // the slots, a share of the keys a runner, each in a table of its own:
  // looking each pair up in the main table first, as track_all() does, took
  // longer than the whole count, since nearly all of them miss.
  std::vector<Pairs> shares;
  if (cold_floor_ > 0) {
    pairs_.release();
    WorkerPool& pool = WorkerPool::shared();
    shares = std::vector<Pairs>(pool.size());
    PoolStop poll(stop);
    pool.run(
        shares.size(),
        [&](std::size_t share) {
          Pairs& table = shares[share];
          constexpr std::size_t kAhead = 16;
          Key keys[kAhead];
          std::int64_t weights[kAhead];
          std::size_t waiting = 0;
          auto add_waiting = [&] {
            for (std::size_t k = 0; k < waiting; ++k) table.upsert(keys[k]).add_count(weights[k]);
            waiting = 0;
          };
          const bool done = for_each_adjacent(
              [&](Pos, Key key, std::int64_t weight) {
                if (share_of(key, shares.size()) != share) return;
                table.prefetch(key);
                keys[waiting] = key;
                weights[waiting] = weight;
                if (++waiting == kAhead) add_waiting();
              },
              poll);
          if (done) add_waiting();
        },
        poll);
    if (poll.stopped()) return Error::interrupted();
  }
  std::vector<Pairs*> tables;
  if (shares.empty()) {
    tables.push_back(&pairs_);
  } else {
    for (Pairs& share : shares) tables.push_back(&share);
  }
  slots_.release();
  far_starts_ = {};
  if (total_ > 0) {
    double n = static_cast<double>(total_);
    for (Token& token : vocab.tokens) {
      std::int64_t c = token.id < unigram_.size() ? unigram_[token.id] : 0;
      token.log_prob = std::log(c > 0 ? static_cast<double>(c) / n : 0.5 / n);
    }
  }
  std::vector<std::uint64_t> row(vocab.tokens.size(), 0);
  std::uint64_t pair_count = 0;
  for (Pairs* table : tables) {
    table->for_each([&](PairEntry& pair) { row[Layout::left(pair.key)] += pair.count; });
    pair_count += table->size();
  }
  std::vector<BigramTable::Entry> bigrams;
  bigrams.reserve(pair_count);
  for (Pairs* table : tables) {
    for (std::uint64_t i = 0; i < table->capacity(); ++i) {
      if (!table->used(i)) continue;
      const PairEntry& pair = table->at(i);
      TokenId a = Layout::left(pair.key), b = Layout::right(pair.key);
      bigrams.emplace_back(bigram_key(a, b),
                           std::log(static_cast<double>(pair.count) / static_cast<double>(row[a])));
      if (bigrams.size() % kPollEvery == 0 && stop && stop()) return Error::interrupted();
    }
    table->release();
  }
  vocab.bigrams = BigramTable::from_entries(std::move(bigrams));
  return {};
}

template class MergeState<NarrowLayout>;
template class MergeState<WideLayout>;

}  // namespace tarvik::training
