// Counting distinct chunks. Most chunks are a few bytes long: those of up to
// seven bytes are counted in a table keyed by the bytes themselves (one
// memory access per chunk); longer ones in a table of corpus offsets whose
// slots carry part of the hash, so a probe rarely touches the corpus twice.
#include "training/chunks.h"

#include <chrono>

namespace tarvik::training {
namespace {

constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;

std::uint64_t process_seed() {
  // Hash tables are seeded per process; nothing observable depends on it.
  static const std::uint64_t seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
          kMul1 |
      1;
  return seed;
}

// Short chunks: key = bytes | length << 56, never 0.
class ShortTable {
 public:
  ShortTable() { resize(1 << 12); }

  void add(std::uint64_t key) {
    for (std::uint64_t i = home(key);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == key) {
        ++slot.weight;
        return;
      }
      if (slot.key == 0) {
        slot = Slot{key, 1};
        if (++size_ * 10 > slots_.size() * 7) resize(slots_.size() * 2);
        return;
      }
    }
  }

  std::uint64_t size() const { return size_; }

  void drain(MappedVector<Chunk>& out) {
    for (const Slot& slot : slots_) {
      if (slot.key != 0) {
        out.push_back(
            Chunk{slot.key & ((std::uint64_t{1} << 56) - 1), slot.key >> 56, slot.weight});
      }
    }
    slots_.release();
    size_ = 0;
  }

 private:
  struct Slot {
    std::uint64_t key;
    std::uint64_t weight;
  };

  std::uint64_t home(std::uint64_t key) const { return ((key ^ seed_) * kMul1) >> shift_; }

  void resize(std::uint64_t capacity) {
    MappedVector<Slot> old = std::move(slots_);
    slots_.resize(capacity, Slot{0, 0});
    mask_ = capacity - 1;
    shift_ = 64 - __builtin_ctzll(capacity);
    for (const Slot& slot : old) {
      if (slot.key == 0) continue;
      std::uint64_t i = home(slot.key);
      while (slots_[i].key != 0) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  MappedVector<Slot> slots_;
  std::uint64_t size_ = 0;
  std::uint64_t mask_ = 0;
  int shift_ = 64;
  std::uint64_t seed_ = process_seed();
};

// Long chunks: entries hold corpus offsets; a slot is (hash high half << 32) |
// (entry index + 1), 0 when empty.
class LongTable {
 public:
  explicit LongTable(std::string_view corpus) : corpus_(corpus) { resize(1 << 10); }

  void add(std::uint64_t offset, std::uint64_t length) {
    const unsigned char* bytes = data() + offset;
    std::uint64_t h = hash(bytes, length);
    std::uint64_t tag = h & 0xFFFFFFFF00000000ull;
    for (std::uint64_t i = h & mask_;; i = (i + 1) & mask_) {
      std::uint64_t slot = slots_[i];
      if (slot == 0) {
        entries_.push_back(Chunk{offset, length, 1});
        slots_[i] = tag | entries_.size();
        if (entries_.size() * 10 > slots_.size() * 7) resize(slots_.size() * 2);
        return;
      }
      if ((slot & 0xFFFFFFFF00000000ull) != tag) continue;
      Chunk& entry = entries_[(slot & 0xFFFFFFFFu) - 1];
      if (entry.length == length && std::memcmp(data() + entry.source, bytes, length) == 0) {
        ++entry.weight;
        return;
      }
    }
  }

  std::uint64_t size() const { return entries_.size(); }

  // The slots go first: the output needs room that they no longer do.
  void drop_slots() { slots_.release(); }
  void drain(MappedVector<Chunk>& out) {
    for (const Chunk& entry : entries_) out.push_back(entry);
    entries_.release();
  }

 private:
  const unsigned char* data() const {
    return reinterpret_cast<const unsigned char*>(corpus_.data());
  }

  std::uint64_t hash(const unsigned char* p, std::uint64_t n) const {
    std::uint64_t h = seed_ ^ (n * kMul1);
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

  void resize(std::uint64_t capacity) {
    // The low bits of a slot's hash are not kept, so re-hash from the corpus
    // (done log2(n) times, a small fraction of the whole split).
    slots_.clear();
    slots_.resize(capacity, 0);
    mask_ = capacity - 1;
    for (std::uint64_t e = 0; e < entries_.size(); ++e) {
      std::uint64_t h = hash(data() + entries_[e].source, entries_[e].length);
      std::uint64_t i = h & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = (h & 0xFFFFFFFF00000000ull) | (e + 1);
    }
  }

  std::string_view corpus_;
  MappedVector<Chunk> entries_;
  MappedVector<std::uint64_t> slots_;
  std::uint64_t mask_ = 0;
  std::uint64_t seed_ = process_seed() * kMul2;
};

struct SpaceTable {
  bool space[256] = {};
  constexpr SpaceTable() { space[0x09] = space[0x0A] = space[0x0D] = space[0x20] = true; }
};
constexpr SpaceTable kSpace;

}  // namespace

MappedVector<Chunk> split_chunks(std::string_view corpus, const std::function<bool()>& stop,
                                 bool* stopped) {
  *stopped = false;
  if (corpus.empty()) return {};
  ShortTable short_chunks;
  LongTable long_chunks(corpus);
  const auto* bytes = reinterpret_cast<const unsigned char*>(corpus.data());
  const std::uint64_t n = corpus.size();
  constexpr std::uint64_t kPollBytes = 1 << 20;
  std::uint64_t next_poll = kPollBytes;

  auto count = [&](std::uint64_t start, std::uint64_t length) {
    if (length <= Chunk::kInlineBytes) {
      std::uint64_t word = 0;
      if (start + 8 <= n) {
        std::memcpy(&word, bytes + start, 8);
        word &= (std::uint64_t{1} << (8 * length)) - 1;
      } else {
        std::memcpy(&word, bytes + start, length);
      }
      short_chunks.add(word | length << 56);
    } else {
      long_chunks.add(start, length);
    }
  };

  std::uint64_t start = 0;
  for (std::uint64_t i = 1; i < n; ++i) {
    if (!kSpace.space[bytes[i]]) continue;
    count(start, i - start);
    start = i;
    if (i >= next_poll) {
      next_poll = i + kPollBytes;
      if (stop && stop()) {
        *stopped = true;
        return {};
      }
    }
  }
  count(start, n - start);

  long_chunks.drop_slots();
  MappedVector<Chunk> chunks;
  chunks.reserve(short_chunks.size() + long_chunks.size());
  short_chunks.drain(chunks);
  long_chunks.drain(chunks);
  return chunks;
}

}  // namespace tarvik::training
