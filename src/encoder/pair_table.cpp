// Building the per-left-token filters and rows of weighted bigram values.
#include "encoder/pair_table.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace tarvik {

Result<PairTable> PairTable::build(const BigramTable& bigrams, std::size_t left_limit,
                                  double weight, double unseen) {
  PairTable table;
  table.unseen_ = unseen;
  table.rows_.resize(left_limit);
  for (Row& row : table.rows_) row.best = unseen;
  std::vector<std::uint64_t> counts(left_limit, 0);
  for (const auto& [key, value] : bigrams) {
    const TokenId left = bigram_left(key);
    if (left < left_limit && bigram_right(key) != kFree) ++counts[left];
  }
  // Entry 0 and filter word 0 stay empty: shared by every left id without
  // pairs. A row's filter is a power of two of at least eight bits per pair
  // (at most one absent pair in eight passes it); a row of up to 64 pairs
  // fits one cache line.
  std::uint64_t entries = 1;
  std::uint64_t words = 1;
  for (std::size_t left = 0; left < left_limit; ++left) {
    if (counts[left] == 0) continue;
    // At most three quarters full (a free slot ends every probe).
    const std::uint64_t capacity = std::bit_ceil(counts[left] + counts[left] / 3 + 1);
    const std::uint64_t bits = std::bit_ceil(std::max<std::uint64_t>(counts[left] * 8, 64));
    if (bits - 1 > std::numeric_limits<std::uint32_t>::max() ||
        capacity - 1 > std::numeric_limits<std::uint32_t>::max()) {
      return Error::limit("too many bigrams after token " + std::to_string(left) +
                          " for the pair table: a row holds at most 2^32 slots");
    }
    if (bits >= 512) words = (words + 7) & ~std::uint64_t{7};  // start on a cache line
    table.rows_[left] =
        Row{static_cast<std::uint32_t>(entries), static_cast<std::uint32_t>(capacity - 1),
            static_cast<std::uint32_t>(words), static_cast<std::uint32_t>(bits - 1), unseen};
    entries += capacity;
    words += bits / 64;
    if (entries > std::numeric_limits<std::uint32_t>::max() ||
        words > std::numeric_limits<std::uint32_t>::max()) {
      return Error::limit("too many bigrams for the pair table: it holds at most 2^32 slots");
    }
  }
  table.entries_.resize(entries);
  table.filter_.assign(words, 0);
  for (const auto& [key, value] : bigrams) {
    const TokenId left = bigram_left(key);
    if (left >= left_limit) continue;
    const TokenId right = bigram_right(key);
    if (right == kFree) continue;  // never looked up: no token has this id
    const Row& row = table.rows_[left];
    Entry* slots = table.entries_.data() + row.entries;
    std::uint32_t at = slot_hash(right) & row.entry_mask;
    while (slots[at].right != kFree) at = (at + 1) & row.entry_mask;
    const double weighted = weight * value;
    slots[at].right = right;
    std::memcpy(slots[at].weighted_bits, &weighted, sizeof weighted);
    // NaN terms never win, so they need no room in the bound; a NaN bound
    // would wrongly rule out every candidate.
    if (weighted > row.best || std::isnan(row.best)) table.rows_[left].best = weighted;
    const std::uint32_t bit = filter_hash(right) & row.filter_mask;
    table.filter_[row.filter + (bit >> 6)] |= std::uint64_t{1} << (bit & 63);
  }
  return table;
}

}  // namespace tarvik
