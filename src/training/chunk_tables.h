// The hash tables a ChunkCounter counts distinct chunks in, one kind per
// chunk length: ShortTable for chunks of up to Chunk::kInlineBytes bytes
// (keyed by the bytes themselves), MediumTable for up to 15 (keyed by two
// words), LongTable for the rest (entries whose bytes live in an arena).
//
// Contract: add() sums weights exactly, in 64 bits, whatever the table's
// size; for_each() visits every entry once with its full weight, in an
// order unrelated to the slots' homes; clear() frees everything. One table
// belongs to one thread at a time. Tables of the same kind hash alike within
// a process (the seed is per process, never observable).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <numeric>
#include <utility>

#include "training/chunk_counts.h"
#include "training/mapped_vector.h"

namespace tarvik::training::chunk_tables {

constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;

// The tables below double while small and grow by half once large: a
// counter's shares are all about the same size, so they grow at the same
// moment, and doubling left the whole count up to twice as big as it needed
// to be at the end of counting, the peak of training from files. (Growing
// small tables by half too cost a tenth more time counting mixed.txt, in the
// extra rehashing.) Capacities are multiples of kTableBlock, and a key's
// home is its hash scaled to the capacity.
constexpr std::uint64_t kTableBlock = 64;
constexpr std::uint64_t kGrowByHalfFrom = std::uint64_t{1} << 18;

inline std::uint64_t grown_capacity(std::uint64_t capacity) {
  if (capacity < kGrowByHalfFrom) return 2 * capacity;
  return (capacity + capacity / 2 + kTableBlock - 1) / kTableBlock * kTableBlock;
}

inline std::uint64_t scaled(std::uint64_t hash, std::uint64_t capacity) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(hash) * capacity) >> 64);
}

// The slot after i in a table of `capacity` slots, wrapping around.
inline std::uint64_t next_slot(std::uint64_t i, std::uint64_t capacity) {
  return i + 1 == capacity ? 0 : i + 1;
}

// Calls visit(slot) for every slot of a table, in blocks of consecutive
// slots taken in a scattered order. Inserting one table's keys into another
// table of the same hash in slot order is quadratic: the keys arrive sorted
// by their home in the target, so the run of occupied slots at the insertion
// point grows with every key (two counters merging 12 M fresh chunks each
// took minutes instead of seconds). Blocks far apart break that run; within
// a block the reads stay sequential.
template <class Slot, class Visit>
inline void visit_scattered(const MappedVector<Slot>& slots, Visit&& visit) {
  const std::uint64_t capacity = slots.size();
  const std::uint64_t blocks = capacity / kTableBlock;
  if (blocks < 2 || capacity % kTableBlock != 0) {
    for (const Slot& slot : slots) visit(slot);
    return;
  }
  // A step coprime with the block count visits every block exactly once;
  // near the golden section of the count, consecutive blocks land far apart
  // (a step congruent to -1, say, would only sweep the table backwards).
  std::uint64_t step = static_cast<std::uint64_t>(static_cast<double>(blocks) * 0.6180339887) | 1;
  while (std::gcd(step, blocks) != 1) step += 2;
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const auto at = static_cast<std::uint64_t>(static_cast<unsigned __int128>(b) * step % blocks);
    const Slot* block = slots.data() + at * kTableBlock;
    for (std::uint64_t i = 0; i < kTableBlock; ++i) visit(block[i]);
  }
}

// The capacity that holds `entries` entries under the load (seven tenths)
// at which the tables grow.
inline std::uint64_t capacity_for(std::uint64_t entries) {
  return (entries * 10 / 7 + kTableBlock) / kTableBlock * kTableBlock;
}

// Reads a table's slots front to back and gives its pages back behind, in
// steps of at least `release_bytes`: each madvise makes the other threads
// flush their TLBs, so pages go back a few megabytes at a time.
template <class Slot>
class DrainingReader {
 public:
  DrainingReader(MappedVector<Slot>& slots, std::uint64_t release_bytes)
      : slots_(slots), release_bytes_(release_bytes) {}

  std::uint64_t size() const { return slots_.size(); }

  // Visits the slots up to `end` not visited yet.
  template <class Visit>
  void read_to(std::uint64_t end, Visit&& visit) {
    for (; next_ < end; ++next_) visit(slots_[next_]);
    const std::uint64_t page_end = next_ * sizeof(Slot) / kPageBytes * kPageBytes;
    if (page_end - released_ >= release_bytes_) {
      // Element released_ / sizeof(Slot) starts in the first page not yet
      // given back, and discard() keeps the pages only partly covered.
      slots_.discard(released_ / sizeof(Slot), next_);
      released_ = page_end;
    }
  }

 private:
  MappedVector<Slot>& slots_;
  std::uint64_t release_bytes_;
  std::uint64_t next_ = 0;
  std::uint64_t released_ = 0;  // bytes given back, a whole number of pages
};

// Rebuilds a table's slots at `capacity` from its own and another table's
// (or only its own), calling put(new_slots, slot, from_other) for every used
// slot. Tables of one kind place keys alike, so a key's slot, scaled to the
// table's capacity, is about where it goes in the new one: reading the two
// in step, each at the same fraction of its slots, fills the new slots front
// to back while the old ones are given back behind. A larger table then
// never sits beside both whole old ones, and with the capacity sized for
// every entry the insertion point never meets a crowd of its own making
// (inserting one table into another in slot order is quadratic once the
// target fills up before it grows, see visit_scattered).
template <class Slot, class Used, class Put>
MappedVector<Slot> rebuilt_slots(MappedVector<Slot>& own, MappedVector<Slot>* other,
                                 std::uint64_t capacity, Used&& used, Put&& put) {
  // A table growing while it counts is one of many: its new slots are
  // zeroed at once, and its old ones unmapped at the end, which costs less
  // than many small madvises. A merge gives the old pages back as it goes
  // and makes the new ones writable a step ahead of the inserts: a fresh
  // mapping reads as zero (empty slots), but a page first read is the shared
  // zero page, and the write after it a copy-on-write fault that flushes
  // every thread's TLB (merging the 1 GB corpus's two counters took 1.25 s
  // that way, 0.38 s with the pages made writable first). Zeroing
  // as it goes instead would wipe the entries that probing or wrapping
  // around has already put ahead.
  MappedVector<Slot> slots;
  slots.resize_for_overwrite(capacity);
  std::uint64_t populated = 0;
  if (other == nullptr) {
    std::memset(static_cast<void*>(slots.data()), 0, capacity * sizeof(Slot));
    populated = capacity;
  }
  auto populate_to = [&](std::uint64_t end) {
    end = std::min(end, capacity);
    if (end <= populated) return;
    slots.populate(populated, end);
    populated = end;
  };
  constexpr std::uint64_t kMergeRelease = std::uint64_t{4} << 20;
  const std::uint64_t release = other != nullptr ? kMergeRelease : ~std::uint64_t{0};
  DrainingReader<Slot> a(own, release);
  MappedVector<Slot> none;
  DrainingReader<Slot> b(other != nullptr ? *other : none, release);
  constexpr std::uint64_t kStepSlots = 4096;
  const std::uint64_t steps = std::max<std::uint64_t>(1, (a.size() + b.size()) / kStepSlots);
  auto at = [steps](std::uint64_t size, std::uint64_t step) {
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(size) * step / steps);
  };
  const std::uint64_t ahead = capacity / steps + kStepSlots;
  for (std::uint64_t step = 1; step <= steps; ++step) {
    populate_to(at(capacity, step) + ahead);
    a.read_to(at(a.size(), step), [&](const Slot& slot) {
      if (used(slot)) put(slots, slot, false);
    });
    b.read_to(at(b.size(), step), [&](const Slot& slot) {
      if (used(slot)) put(slots, slot, true);
    });
  }
  own.release();
  if (other != nullptr) other->release();
  return slots;
}

inline std::uint64_t process_seed() {
  // Hash tables are seeded per process; nothing observable depends on it.
  static const std::uint64_t seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
          kMul1 |
      1;
  return seed;
}

// Slots keep a weight's low 32 bits, which nearly every chunk's count fits:
// at the end of counting the short and medium tables are most of the memory,
// and 8-byte weights made their slots a half (short) and a fifth (medium)
// larger. A weight that outgrows 32 bits keeps its high part in a Carries
// map beside the table, by key: it takes 4 Gi occurrences of one chunk in
// one table, so the map stays empty or tiny.
template <class Key>
class Carries {
 public:
  // The slot's new 32-bit part once `weight` is added to its `low` one; the
  // carry goes to the map.
  std::uint32_t add(std::uint32_t low, const Key& key, std::uint64_t weight) {
    const std::uint64_t sum = std::uint64_t{low} + weight;
    if (sum >> 32) [[unlikely]] {
      high_[key] += sum >> 32;
    }
    return static_cast<std::uint32_t>(sum);
  }
  std::uint64_t full(std::uint32_t low, const Key& key) const {
    if (high_.empty()) [[likely]] {
      return low;
    }
    const auto found = high_.find(key);
    return found == high_.end() ? low : (found->second << 32) + low;
  }
  void clear() { high_.clear(); }

 private:
  std::map<Key, std::uint64_t> high_;
};

// Short chunks: key = bytes | length << 56, never 0.
class ShortTable {
 public:
  ShortTable() { resize(1 << 12); }
  // Empty again, at the first capacity.
  void clear() {
    slots_.release();
    carries_.clear();
    size_ = 0;
    resize(1 << 12);
  }

  void add(std::uint64_t key, std::uint64_t weight) {
    Slot& slot = find(slots_, key);
    if (slot.key == key) {
      slot.weight = carries_.add(slot.weight, key, weight);
      return;
    }
    slot = Slot{key, carries_.add(0, key, weight)};
    if (++size_ * 10 > slots_.size() * 7) resize(grown_capacity(slots_.size()));
  }

  std::uint64_t size() const { return size_; }

  // Adds every entry of `other` and leaves it empty, in one rebuild at the
  // size of both (see rebuilt_slots).
  void absorb(ShortTable& other) {
    rebuild(std::max(capacity_, capacity_for(size_ + other.size_)), &other);
  }

  void prefetch(std::uint64_t key) const { __builtin_prefetch(&slots_[home(key)]); }

  // Every entry, in an order unrelated to the slots' homes (see
  // visit_scattered), so that adding them to another table stays linear.
  template <class F>
  void for_each(F&& f) const {
    visit_scattered(slots_, [&](const Slot& slot) {
      if (slot.key == 0) return;
      const std::uint64_t key = slot.key;
      f(key, carries_.full(slot.weight, key));
    });
  }

 private:
  struct [[gnu::packed]] Slot {
    std::uint64_t key;
    std::uint32_t weight;
  };
  static_assert(sizeof(Slot) == 12);

  std::uint64_t home(std::uint64_t key) const { return scaled((key ^ seed_) * kMul1, capacity_); }

  // The slot of `key` among `slots` (of capacity_), or the empty one where
  // it goes.
  Slot& find(MappedVector<Slot>& slots, std::uint64_t key) const {
    for (std::uint64_t i = home(key);; i = next_slot(i, capacity_)) {
      Slot& slot = slots[i];
      if (slot.key == key || slot.key == 0) return slot;
    }
  }

  void resize(std::uint64_t capacity) { rebuild(capacity, nullptr); }

  // Rebuilds the slots at `capacity` with every entry of this table and of
  // `other` (which is left empty), summing the weights of keys in both.
  void rebuild(std::uint64_t capacity, ShortTable* other) {
    capacity_ = capacity;
    size_ = 0;
    slots_ = rebuilt_slots(
        slots_, other != nullptr ? &other->slots_ : nullptr, capacity,
        [](const Slot& slot) { return slot.key != 0; },
        [&](MappedVector<Slot>& slots, const Slot& slot, bool from_other) {
          const std::uint64_t key = slot.key;
          const std::uint64_t weight =
              from_other ? other->carries_.full(slot.weight, key) : std::uint64_t{slot.weight};
          Slot& into = find(slots, key);
          if (into.key == key) {
            into.weight = carries_.add(into.weight, key, weight);
            return;
          }
          // A key of this table keeps its high part where it is.
          into = Slot{key, from_other ? carries_.add(0, key, weight) : slot.weight};
          ++size_;
        });
    if (other != nullptr) other->clear();
  }

  MappedVector<Slot> slots_;
  Carries<std::uint64_t> carries_;
  std::uint64_t size_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t seed_ = process_seed();
};

// Chunks of 8 to 15 bytes: key = (first eight bytes, the rest | length << 56),
// so the second word is never 0.
class MediumTable {
 public:
  static constexpr std::uint64_t kMaxBytes = 15;

  MediumTable() { resize(1 << 10); }
  void clear() {
    slots_.release();
    carries_.clear();
    size_ = 0;
    bytes_ = 0;
    resize(1 << 10);
  }

  void add(std::uint64_t lo, std::uint64_t hi, std::uint64_t weight) {
    Slot& slot = find(slots_, lo, hi);
    if (slot.hi == hi) {
      slot.weight = carries_.add(slot.weight, {lo, hi}, weight);
      return;
    }
    slot = Slot{lo, hi, carries_.add(0, {lo, hi}, weight)};
    bytes_ += hi >> 56;
    if (++size_ * 10 > slots_.size() * 7) resize(grown_capacity(slots_.size()));
  }

  // The distinct chunks' bytes.
  std::uint64_t bytes() const { return bytes_; }

  // As ShortTable::absorb.
  void absorb(MediumTable& other) {
    rebuild(std::max(capacity_, capacity_for(size_ + other.size_)), &other);
  }

  void prefetch(std::uint64_t lo, std::uint64_t hi) const {
    __builtin_prefetch(&slots_[home(lo, hi)]);
  }

  std::uint64_t size() const { return size_; }

  // As ShortTable::for_each.
  template <class F>
  void for_each(F&& f) const {
    visit_scattered(slots_, [&](const Slot& slot) {
      if (slot.hi != 0) f(slot.lo, slot.hi, carries_.full(slot.weight, key_of(slot)));
    });
  }

 private:
  struct [[gnu::packed]] Slot {
    std::uint64_t lo;
    std::uint64_t hi;
    std::uint32_t weight;
  };
  static_assert(sizeof(Slot) == 20);

  static std::pair<std::uint64_t, std::uint64_t> key_of(const Slot& slot) {
    const std::uint64_t lo = slot.lo, hi = slot.hi;
    return {lo, hi};
  }

  std::uint64_t home(std::uint64_t lo, std::uint64_t hi) const {
    return scaled((((lo ^ seed_) * kMul1) ^ (hi * kMul2)) * kMul1, capacity_);
  }

  // The slot of the key among `slots` (of capacity_), or the empty one
  // where it goes (its hi is 0, which no key's is).
  Slot& find(MappedVector<Slot>& slots, std::uint64_t lo, std::uint64_t hi) const {
    for (std::uint64_t i = home(lo, hi);; i = next_slot(i, capacity_)) {
      Slot& slot = slots[i];
      if (slot.hi == 0 || (slot.hi == hi && slot.lo == lo)) return slot;
    }
  }

  void resize(std::uint64_t capacity) { rebuild(capacity, nullptr); }

  // As ShortTable::rebuild.
  void rebuild(std::uint64_t capacity, MediumTable* other) {
    capacity_ = capacity;
    size_ = 0;
    bytes_ = 0;
    slots_ = rebuilt_slots(
        slots_, other != nullptr ? &other->slots_ : nullptr, capacity,
        [](const Slot& slot) { return slot.hi != 0; },
        [&](MappedVector<Slot>& slots, const Slot& slot, bool from_other) {
          const std::pair<std::uint64_t, std::uint64_t> key = key_of(slot);
          const std::uint64_t weight =
              from_other ? other->carries_.full(slot.weight, key) : std::uint64_t{slot.weight};
          Slot& into = find(slots, key.first, key.second);
          if (into.hi == key.second) {
            into.weight = carries_.add(into.weight, key, weight);
            return;
          }
          into =
              Slot{key.first, key.second, from_other ? carries_.add(0, key, weight) : slot.weight};
          ++size_;
          bytes_ += key.second >> 56;
        });
    if (other != nullptr) other->clear();
  }

  MappedVector<Slot> slots_;
  Carries<std::pair<std::uint64_t, std::uint64_t>> carries_;
  std::uint64_t size_ = 0;
  std::uint64_t bytes_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t seed_ = process_seed() * kMul2;
};

// Long chunks: entries hold arena offsets; a slot is (hash high half << 32) |
// (entry index + 1), 0 when empty.
class LongTable {
 public:
  LongTable() { resize(1 << 10); }

  // Every table hashes alike, so the caller hashes once (also to pick the share).
  static std::uint64_t hash(const char* p, std::uint64_t n) {
    static const std::uint64_t seed = process_seed() * kMul2;
    std::uint64_t h = seed ^ (n * kMul1);
    for (; n >= 8; p += 8, n -= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      h = (h ^ (word * kMul1));
      h = ((h << 31) | (h >> 33)) * kMul2;
    }
    if (n > 0) {
      std::uint64_t word = 0;
      std::memcpy(&word, p, n);
      h = (h ^ (word * kMul1));
      h = ((h << 31) | (h >> 33)) * kMul2;
    }
    h ^= h >> 29;
    h *= kMul1;
    h ^= h >> 32;
    return h;
  }

  // `h` is hash(bytes, length).
  void add(std::uint64_t h, const char* bytes, std::uint64_t length, std::uint64_t weight) {
    std::uint64_t tag = h & 0xFFFFFFFF00000000ull;
    for (std::uint64_t i = home(h);; i = next_slot(i, capacity_)) {
      std::uint64_t slot = slots_[i];
      if (slot == 0) {
        const std::uint64_t offset = arena_.size();
        arena_.reserve_more(offset + length);
        arena_.resize_for_overwrite(offset + length);
        std::memcpy(arena_.data() + offset, bytes, length);
        entries_.push_back(Chunk{offset, length, weight});
        slots_[i] = tag | entries_.size();
        if (entries_.size() * 10 > slots_.size() * 7) resize(grown_capacity(slots_.size()));
        return;
      }
      if ((slot & 0xFFFFFFFF00000000ull) != tag) continue;
      Chunk& entry = entries_[(slot & 0xFFFFFFFFu) - 1];
      if (entry.length == length && std::memcmp(arena_.data() + entry.source, bytes, length) == 0) {
        entry.weight += weight;
        return;
      }
    }
  }

  std::uint64_t size() const { return entries_.size(); }
  const MappedVector<Chunk>& entries() const { return entries_; }
  const char* arena() const { return arena_.data(); }

  std::uint64_t arena_bytes() const { return arena_.size(); }

  // Hands over the entries and their arena, leaving the table empty.
  void drain(MappedVector<Chunk>& entries, MappedVector<char>& arena) {
    slots_.release();
    entries = std::move(entries_);
    arena = std::move(arena_);
    resize(1 << 10);
  }

  void clear() {
    slots_.release();
    entries_.release();
    arena_.release();
    resize(1 << 10);
  }

 private:
  // The home comes from the hash's low half, the tag from its high half.
  std::uint64_t home(std::uint64_t h) const { return scaled(h << 32, capacity_); }

  void resize(std::uint64_t capacity) {
    // The low bits of a slot's hash are not kept, so re-hash from the arena
    // (done a few dozen times, a small fraction of the whole count).
    slots_.clear();
    slots_.resize(capacity, 0);
    capacity_ = capacity;
    for (std::uint64_t e = 0; e < entries_.size(); ++e) {
      std::uint64_t h = hash(arena_.data() + entries_[e].source, entries_[e].length);
      std::uint64_t i = home(h);
      while (slots_[i] != 0) i = next_slot(i, capacity_);
      slots_[i] = (h & 0xFFFFFFFF00000000ull) | (e + 1);
    }
  }

  MappedVector<Chunk> entries_;
  MappedVector<char> arena_;
  MappedVector<std::uint64_t> slots_;
  std::uint64_t capacity_ = 0;
};

}  // namespace tarvik::training::chunk_tables
