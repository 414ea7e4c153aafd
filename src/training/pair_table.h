// Weighted counts of adjacent token pairs, with the location of each pair's
// occurrence list. Open addressing with linear probing and backward-shift
// deletion, so erasing leaves no tombstones behind.
#pragma once

#include <cstdint>
#include <vector>

namespace tarvik {

struct PairSlot {
  std::uint64_t key;    // bigram_key(left, right); kEmptyKey when unused
  std::int64_t count;   // weighted adjacent occurrences
  std::uint64_t begin;  // occurrence list: arena range [begin, begin + length)
  std::uint64_t length;
};

class PairTable {
 public:
  static constexpr std::uint64_t kEmptyKey = ~std::uint64_t{0};

  PairTable() { rebuild(1 << 10); }

  std::uint64_t size() const { return size_; }

  PairSlot* find(std::uint64_t key) {
    for (std::uint64_t i = home(key);; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return &slots_[i];
      if (slots_[i].key == kEmptyKey) return nullptr;
    }
  }

  // The slot of `key`, created with zero count and an empty list if absent.
  // Invalidates earlier slot pointers when the table grows.
  PairSlot& upsert(std::uint64_t key) {
    if ((size_ + 1) * 4 > slots_.size() * 3) rebuild(slots_.size() * 2);
    std::uint64_t i = home(key);
    for (; slots_[i].key != kEmptyKey; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return slots_[i];
    }
    ++size_;
    slots_[i] = PairSlot{key, 0, 0, 0};
    return slots_[i];
  }

  void erase(PairSlot* slot) {
    std::uint64_t hole = static_cast<std::uint64_t>(slot - slots_.data());
    for (std::uint64_t i = (hole + 1) & mask_; slots_[i].key != kEmptyKey; i = (i + 1) & mask_) {
      // Move an entry back into the hole unless its home lies cyclically in (hole, i].
      std::uint64_t h = home(slots_[i].key);
      if (((i - h) & mask_) >= ((i - hole) & mask_)) {
        slots_[hole] = slots_[i];
        hole = i;
      }
    }
    slots_[hole].key = kEmptyKey;
    --size_;
  }

  template <class F>
  void for_each(F&& f) {
    for (auto& slot : slots_) {
      if (slot.key != kEmptyKey) f(slot);
    }
  }

  void release() {
    slots_ = {};
    size_ = 0;
    mask_ = 0;
  }

 private:
  std::uint64_t home(std::uint64_t key) const {
    return ((key + seed_) * 0x9E3779B97F4A7C15ull) >> shift_;
  }

  void rebuild(std::uint64_t capacity) {
    std::vector<PairSlot> old = std::move(slots_);
    slots_.assign(capacity, PairSlot{kEmptyKey, 0, 0, 0});
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<int>(__builtin_ctzll(capacity));
    for (auto& slot : old) {
      if (slot.key == kEmptyKey) continue;
      std::uint64_t i = home(slot.key);
      while (slots_[i].key != kEmptyKey) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<PairSlot> slots_;
  std::uint64_t size_ = 0;
  std::uint64_t mask_ = 0;
  int shift_ = 64;
  std::uint64_t seed_ = reinterpret_cast<std::uintptr_t>(this) * 0xC2B2AE3D27D4EB4Full;
};

}  // namespace tarvik
