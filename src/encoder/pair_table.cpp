// Building the per-left-token rows of weighted bigram values.
#include "encoder/pair_table.h"

#include <bit>

namespace tarvik {

PairTable::PairTable(const BigramTable& bigrams, std::size_t left_limit, double weight)
    : rows_(left_limit) {
  std::vector<std::uint32_t> counts(left_limit, 0);
  for (const auto& [key, value] : bigrams) {
    const TokenId left = bigram_left(key);
    if (left < left_limit) ++counts[left];
  }
  // Entry 0 stays unused: the shared empty row of every left id without pairs.
  std::size_t total = 1;
  for (std::size_t left = 0; left < left_limit; ++left) {
    if (counts[left] == 0) continue;
    // At most half full, so a probe ends quickly on a missing pair.
    const std::uint32_t capacity = std::bit_ceil(counts[left] * 2u);
    rows_[left] = Row{total, capacity - 1};
    total += capacity;
  }
  entries_.resize(total);
  for (const auto& [key, value] : bigrams) {
    const TokenId left = bigram_left(key);
    if (left >= left_limit) continue;
    const TokenId right = bigram_right(key);
    const Row& row = rows_[left];
    std::uint32_t at = hash(right) & row.mask;
    while (entries_[row.offset + at].used) at = (at + 1) & row.mask;
    entries_[row.offset + at] = Entry{right, 1, weight * value};
    ++count_;
  }
}

}  // namespace tarvik
