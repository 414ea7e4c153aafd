// The bigram values as the context-weighted encoder reads them.
//
// All lookups at one input position share the left token (the last token of
// the best path so far), so everything is grouped by left token. Most lookups
// are for pairs the table does not hold (about four in five on real text), so
// a lookup first tests the left token's bit filter, about eight bits per pair
// and for most left tokens within one cache line: a clear bit means "absent".
// Only when the bit is set does it probe the left token's row, a small
// open-addressing table of (right, context_weight x ln P(right | left)). The
// products are the ones the encoder would compute, so results are
// bit-identical to multiplying at lookup time.
//
// The rows are what misses the caches, so they are kept small: 12-byte
// entries (the id 4294967295 marks a free slot: no token can have it, since
// the token table would need 2^32 entries) filled up to three quarters. Most
// probes for absent pairs stop at the filter, so the fuller rows cost little.
//
// Each row also keeps the greatest term any right token can get after its
// left token (the unseen-pair term included), which lets the encoder skip the
// lookup for a candidate that could not win even with that term.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/mapped_memory.h"
#include "common/result.h"
#include "vocab/vocab.h"

namespace tarvik {

class PairTable {
 private:
  struct Row {
    std::uint32_t entries = 0;      // first entry of the row
    std::uint32_t entry_mask = 0;   // capacity - 1; a row without pairs uses the empty entry 0
    std::uint32_t filter = 0;       // first filter word of the row
    std::uint32_t filter_mask = 0;  // filter bits - 1; a row without pairs uses the zero word 0
    double best = 0.0;              // greatest term after this left token, NaN terms left out
  };
  static constexpr TokenId kFree = 0xFFFFFFFFu;
  // Packed to 12 bytes: the value's bits as two 32-bit halves.
  struct Entry {
    TokenId right = kFree;
    std::uint32_t weighted_bits[2] = {0, 0};
    double weighted() const {
      double value;
      std::memcpy(&value, weighted_bits, sizeof value);
      return value;
    }
  };
  static_assert(sizeof(Entry) == 12);

 public:
  PairTable() = default;
  // Rows for left ids below `left_limit`; entries with a larger left id are
  // left out (the caller looks those up in the Vocab's own table). `unseen`
  // is the term of a pair the table lacks. Rows, entries and filter words are
  // addressed by 32-bit offsets: a table beyond that is a kLimit error;
  // std::bad_alloc means memory ran out.
  static Result<PairTable> build(const BigramTable& bigrams, std::size_t left_limit,
                                 double weight, double unseen);

  std::size_t rows() const { return rows_.size(); }
  std::size_t memory_bytes() const {
    return rows_.size() * sizeof(Row) + entries_.size() * sizeof(Entry) +
           filter_.size() * sizeof(std::uint64_t);
  }

  // The lookups of one left token.
  class Cursor {
   public:
    // The term of (left, right): its weighted value, or the unseen-pair term
    // when the table lacks the pair.
    double term(TokenId right) const {
      const std::uint32_t bit = filter_hash(right) & row_->filter_mask;
      if (!((filter_[bit >> 6] >> (bit & 63)) & 1)) return unseen_;
      std::uint32_t at = slot_hash(right) & row_->entry_mask;
      for (;;) {
        const Entry& entry = entries_[at];
        if (entry.right == right) return entry.weighted();
        if (entry.right == kFree) return unseen_;
        at = (at + 1) & row_->entry_mask;
      }
    }
    // No term() of this left token exceeds this (NaN terms aside).
    double bound() const { return row_->best; }

   private:
    friend class PairTable;
    const Row* row_;
    const Entry* entries_;
    const std::uint64_t* filter_;
    double unseen_;
  };

  // Requires left < rows().
  Cursor cursor(TokenId left) const {
    Cursor cursor;
    cursor.row_ = &rows_[left];
    cursor.entries_ = entries_.data() + cursor.row_->entries;
    cursor.filter_ = filter_.data() + cursor.row_->filter;
    cursor.unseen_ = unseen_;
    return cursor;
  }

 private:
  static std::uint32_t slot_hash(TokenId right) {
    const std::uint32_t h = right * 0x9E3779B1u;
    return h ^ (h >> 15);
  }
  static std::uint32_t filter_hash(TokenId right) {
    const std::uint32_t h = right * 0x85EBCA77u;
    return h ^ (h >> 13);
  }

  std::vector<Row, HugePageAllocator<Row>> rows_;
  std::vector<Entry, HugePageAllocator<Entry>> entries_;
  std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> filter_;
  double unseen_ = 0.0;
};

}  // namespace tarvik
