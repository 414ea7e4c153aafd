// The bigram values as the context-weighted encoder reads them: one small
// open-addressing row per left token, holding context_weight x ln P(right |
// left) already multiplied out (the product is the one the encoder would
// compute, so results are bit-identical). One encoding position reads one row
// for all its candidates, so a row stays in cache across them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vocab/vocab.h"

namespace tarvik {

class PairTable {
 public:
  PairTable() = default;
  // Rows for left ids below `left_limit`; entries with a larger left id are
  // left out (the caller looks those up in the Vocab's own table).
  PairTable(const BigramTable& bigrams, std::size_t left_limit, double weight);

  struct Row {
    std::size_t offset = 0;  // first entry of the row
    std::uint32_t mask = 0;  // capacity - 1; rows without entries use the empty entry 0
  };

  bool empty() const { return count_ == 0; }
  std::size_t rows() const { return rows_.size(); }
  const Row& row(TokenId left) const { return rows_[left]; }

  // The weighted value of (row's left, right), or nothing when the pair is
  // not in the table.
  const double* find(const Row& row, TokenId right) const {
    std::uint32_t at = hash(right) & row.mask;
    for (;;) {
      const Entry& entry = entries_[row.offset + at];
      if (!entry.used) return nullptr;
      if (entry.right == right) return &entry.weighted;
      at = (at + 1) & row.mask;
    }
  }

 private:
  struct Entry {
    TokenId right = 0;
    std::uint32_t used = 0;
    double weighted = 0.0;
  };

  static std::uint32_t hash(TokenId right) {
    const std::uint32_t h = right * 0x9E3779B1u;
    return h ^ (h >> 15);
  }

  std::vector<Row> rows_;
  std::vector<Entry> entries_;
  std::size_t count_ = 0;
};

}  // namespace tarvik
