// Weighted counts of adjacent token pairs, with where each pair's occurrence
// list starts. Open addressing with linear probing and backward-shift
// deletion, so erasing leaves no tombstones behind. The table grows by half
// (by a quarter once large) rather than doubling: at the end of a large
// training it is among the biggest things in memory, and doubling left it up
// to three quarters empty.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "training/mapped_vector.h"

namespace tarvik::training {

// Packed: 13 bytes rather than 16 in the usual layout. At the end of a large
// training the table holds tens of millions of these, and an unaligned load
// costs nothing beside the cache miss that reaching a record usually is.
template <class Key, class Count, class Offset>
struct __attribute__((packed)) PairRecord {
  static constexpr std::uint8_t kStaleMax = 0xFF;
  Key key;       // the pair; PairCounts::kEmptyKey when unused
  Count count;   // weighted adjacent occurrences
  Offset begin;  // occurrence list: byte offset in the arena (it ends at a zero byte)
  // Entries of the list known to be out of date, up to kStaleMax: past that
  // the list is worth checking entry by entry whatever its length.
  std::uint8_t stale;

  void add_count(std::int64_t weight) {
    count = static_cast<Count>(static_cast<std::int64_t>(count) + weight);
  }
  void add_stale(std::uint64_t entries) {
    stale = static_cast<std::uint8_t>(std::min<std::uint64_t>(kStaleMax, stale + entries));
  }
};

static_assert(sizeof(PairRecord<std::uint32_t, std::uint32_t, std::uint32_t>) == 13);

template <class Key, class Count, class Offset>
class PairCounts {
 public:
  using Slot = PairRecord<Key, Count, Offset>;
  static constexpr Key kEmptyKey = static_cast<Key>(~Key{0});

  PairCounts() {
    slots_.resize(kInitialCapacity, Slot{kEmptyKey, 0, 0, 0});
    capacity_ = kInitialCapacity;
  }

  std::uint64_t size() const { return size_; }

  Slot* find(Key key) {
    for (std::uint64_t i = home(key);; i = next(i)) {
      if (slots_[i].key == key) return &slots_[i];
      if (slots_[i].key == kEmptyKey) return nullptr;
    }
  }

  // Asks for the slot where the search for `key` starts.
  void prefetch(Key key) const { __builtin_prefetch(&slots_[home(key)]); }

  // The slot of `key`, created with zero count and no list (begin 0) if absent.
  // Invalidates earlier slot pointers when the table grows.
  Slot& upsert(Key key) {
    if ((size_ + 1) * 5 > slots_.size() * 4) grow();
    std::uint64_t i = home(key);
    for (; slots_[i].key != kEmptyKey; i = next(i)) {
      if (slots_[i].key == key) return slots_[i];
    }
    ++size_;
    slots_[i] = Slot{key, 0, 0, 0};
    return slots_[i];
  }

  void erase(Slot* slot) {
    std::uint64_t hole = static_cast<std::uint64_t>(slot - slots_.data());
    for (std::uint64_t i = next(hole); slots_[i].key != kEmptyKey; i = next(i)) {
      // An entry may move back into the hole unless its home lies cyclically in (hole, i].
      std::uint64_t h = home(slots_[i].key);
      if (distance(h, i) >= distance(hole, i)) {
        slots_[hole] = slots_[i];
        hole = i;
      }
    }
    slots_[hole].key = kEmptyKey;
    --size_;
  }

  // Slots by index, for callers that keep 32-bit references to them; valid
  // until the table next changes.
  std::uint64_t capacity() const { return slots_.size(); }
  Slot& at(std::uint64_t index) { return slots_[index]; }
  const Slot& at(std::uint64_t index) const { return slots_[index]; }
  bool used(std::uint64_t index) const { return slots_[index].key != kEmptyKey; }

  template <class F>
  void for_each(F&& f) {
    for (Slot& slot : slots_) {
      if (slot.key != kEmptyKey) f(slot);
    }
  }

  void release() {
    slots_.release();
    size_ = 0;
  }

 private:
  static constexpr std::uint64_t kInitialCapacity = 1 << 10;
  // From this many slots (208 MiB of 13-byte records) on, the table grows by
  // a quarter: its last growth sets its size at the end of a large training.
  static constexpr std::uint64_t kQuarterGrowth = std::uint64_t{1} << 24;

  // The hash scaled to the capacity: homes follow the hash's order, which
  // grow() relies on.
  std::uint64_t home(Key key) const {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(hash(key)) * capacity_) >>
                                      64);
  }
  std::uint64_t next(std::uint64_t i) const { return i + 1 == capacity_ ? 0 : i + 1; }
  // Steps from `from` forward to `to`, wrapping around.
  std::uint64_t distance(std::uint64_t from, std::uint64_t to) const {
    return to >= from ? to - from : to + capacity_ - from;
  }

  // Grows the table in place, without a second copy of it. The
  // entries are packed to the front in the order of their hash, which is the
  // order of their homes at any capacity; placing each one at max(home,
  // previous place + 1) then gives a valid linear-probing layout in which
  // every entry lands at or after its index in the sorted run, so they can be
  // moved into place from the last one down. The few entries whose place
  // would pass the end (a cluster wrapping around) are set aside first and
  // inserted the ordinary way afterwards.
  void grow() {
    const std::uint64_t old_capacity = slots_.size();
    const std::uint64_t capacity =
        old_capacity + old_capacity / (old_capacity >= kQuarterGrowth ? 4 : 2);
    const std::uint64_t n = pack_in_hash_order();
    std::fill(slots_.begin() + n, slots_.end(), Slot{kEmptyKey, 0, 0, 0});
    capacity_ = capacity;
    place_sorted(n);
  }

  std::uint64_t hash(Key key) const {
    return (static_cast<std::uint64_t>(key) ^ seed_) * 0x9E3779B97F4A7C15ull;
  }

  // Moves the entries to the front sorted by hash and returns how many there
  // are. A run of occupied slots holds exactly the entries whose homes lie in
  // it, so sorting each run on its own sorts the whole, and runs are short.
  // The run that wraps around the end is the exception: its entries whose
  // homes lie at the start of the table go first, the others last.
  std::uint64_t pack_in_hash_order() {
    const std::uint64_t capacity = slots_.size();
    auto by_hash = [&](const Slot& x, const Slot& y) { return hash(x.key) < hash(y.key); };
    std::uint64_t lead = 0;  // slots [0, lead) are the wrapping run's head
    while (lead < capacity && slots_[lead].key != kEmptyKey) ++lead;
    std::uint64_t tail = capacity;  // and [tail, capacity) its tail
    while (tail > lead && slots_[tail - 1].key != kEmptyKey) --tail;
    std::vector<Slot> wrapping(slots_.begin(), slots_.begin() + lead);
    wrapping.insert(wrapping.end(), slots_.begin() + tail, slots_.end());
    std::sort(wrapping.begin(), wrapping.end(), by_hash);
    // The head's entries with a home in it come first; every such entry lies
    // in the head, so the others, packed behind them, never overtake a slot
    // not yet read.
    std::uint64_t first = 0;
    while (first < wrapping.size() && home(wrapping[first].key) < lead) ++first;
    std::uint64_t n = first;
    for (std::uint64_t i = lead; i < tail;) {
      if (slots_[i].key == kEmptyKey) {
        ++i;
        continue;
      }
      const std::uint64_t run = n;
      for (; i < tail && slots_[i].key != kEmptyKey; ++i) slots_[n++] = slots_[i];
      std::sort(slots_.begin() + run, slots_.begin() + n, by_hash);
    }
    std::copy(wrapping.begin(), wrapping.begin() + first, slots_.begin());
    std::copy(wrapping.begin() + first, wrapping.end(), slots_.begin() + n);
    return n + (wrapping.size() - first);
  }

  // Moves the n entries packed at the front into their places, from the
  // last one down. Each place depends on the one before it, so the forward
  // pass keeps only the place of every kBlock-th entry; the moves then work
  // out each block's places again, last block first, into a small buffer. An
  // array of every place was the peak of a large training.
  void place_sorted(std::uint64_t n) {
    constexpr std::uint64_t kBlock = 4096;
    std::vector<std::uint64_t> block_place((n + kBlock - 1) / kBlock);
    std::uint64_t fits = n;  // entries [fits, n) would pass the end
    for (std::uint64_t i = 0, after = 0; i < n; ++i) {
      const std::uint64_t place = std::max(home(slots_[i].key), after);
      if (i % kBlock == 0) block_place[i / kBlock] = place;
      if (place >= capacity_ && fits == n) fits = i;
      after = place + 1;
    }
    std::vector<Slot> wrapped(slots_.begin() + fits, slots_.begin() + n);
    for (std::uint64_t i = fits; i < n; ++i) slots_[i].key = kEmptyKey;
    slots_.resize(capacity_, Slot{kEmptyKey, 0, 0, 0});
    // Every entry moves to or past its index, so a block's entries are still
    // where they were when the blocks after it have moved.
    std::vector<std::uint64_t> places(kBlock);
    for (std::uint64_t block = (fits + kBlock - 1) / kBlock; block-- > 0;) {
      const std::uint64_t first = block * kBlock, last = std::min(first + kBlock, fits);
      for (std::uint64_t i = first, after = block_place[block]; i < last; ++i) {
        places[i - first] = std::max(home(slots_[i].key), after);
        after = places[i - first] + 1;
      }
      for (std::uint64_t i = last; i-- > first;) {
        const std::uint64_t place = places[i - first];
        if (place == i) continue;
        slots_[place] = slots_[i];
        slots_[i].key = kEmptyKey;
      }
    }
    for (const Slot& slot : wrapped) {
      std::uint64_t i = home(slot.key);
      while (slots_[i].key != kEmptyKey) i = next(i);
      slots_[i] = slot;
    }
  }

  MappedVector<Slot> slots_;
  std::uint64_t size_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t seed_ = reinterpret_cast<std::uintptr_t>(this) * 0xC2B2AE3D27D4EB4Full;
};

}  // namespace tarvik::training
