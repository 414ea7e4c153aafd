// Counting distinct chunks: an open-addressing table of indices into a flat
// chunk array; keys are compared against the corpus bytes themselves, so no
// chunk is copied.
#include "training/chunks.h"

#include <chrono>
#include <cstring>

namespace tarvik {
namespace {

constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;

inline std::uint64_t mix(std::uint64_t h, std::uint64_t word) {
  h ^= word * kMul1;
  h = (h << 31) | (h >> 33);
  return h * kMul2;
}

inline std::uint64_t load_tail(const unsigned char* p, std::size_t n) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, n);
  return word;
}

}  // namespace

ChunkCounter::ChunkCounter(std::string_view corpus) : corpus_(corpus) {
  // A per-process seed keeps the table's layout (and so nothing observable)
  // from being the same in every run; it costs nothing.
  seed_ = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
              kMul2 +
          reinterpret_cast<std::uintptr_t>(this);
  slots_.assign(1 << 12, 0);
  mask_ = slots_.size() - 1;
}

std::uint64_t ChunkCounter::hash(std::string_view bytes) const {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::uint64_t h = seed_ ^ (n * kMul1);
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = mix(h, word);
    p += 8;
    n -= 8;
  }
  if (n > 0) h = mix(h, load_tail(p, n));
  h ^= h >> 29;
  h *= kMul1;
  h ^= h >> 32;
  return h;
}

void ChunkCounter::add(std::uint64_t offset, std::uint64_t length) {
  std::string_view bytes = corpus_.substr(offset, length);
  std::uint64_t h = hash(bytes);
  for (std::uint64_t slot = (h >> 32) & mask_;; slot = (slot + 1) & mask_) {
    std::uint32_t entry = slots_[slot];
    if (entry == 0) {
      chunks_.push_back(Chunk{offset, length, 1});
      hashes_.push_back(h);
      slots_[slot] = static_cast<std::uint32_t>(chunks_.size());
      if (chunks_.size() * 2 > slots_.size()) grow();
      return;
    }
    Chunk& chunk = chunks_[entry - 1];
    if (hashes_[entry - 1] == h && chunk.length == length &&
        std::memcmp(corpus_.data() + chunk.offset, bytes.data(), length) == 0) {
      ++chunk.weight;
      return;
    }
  }
}

void ChunkCounter::grow() {
  slots_.assign(slots_.size() * 2, 0);
  mask_ = slots_.size() - 1;
  for (std::size_t i = 0; i < chunks_.size(); ++i) {
    std::uint64_t slot = (hashes_[i] >> 32) & mask_;
    while (slots_[slot] != 0) slot = (slot + 1) & mask_;
    slots_[slot] = static_cast<std::uint32_t>(i + 1);
  }
}

std::vector<Chunk> ChunkCounter::take() {
  slots_ = {};
  hashes_ = {};
  return std::move(chunks_);
}

}  // namespace tarvik
