// The working state of one training run, built so that a merge costs time in
// proportion to the occurrences it touches and memory stays a small multiple
// of the distinct chunk bytes.
//
// Layout. The distinct chunks are laid end to end in one slot array, one slot
// per byte, with a separator slot before, between and after them. Chunks are
// ordered by weight, so a chunk's weight follows from its position through a
// short table of weight groups. A token occupies the slots of its bytes: its
// first slot holds its id, the others carry a flag bit, and the last one
// stores the distance back to the first. So the next token starts at
// start + length(id), the previous one is found from the slot just before a
// start, and merging never moves anything.
//
// Index. Every pair that occurs (but the cold ones, below) has a weighted
// count in a PairCounts and a list of the start positions where it occurs,
// ascending and delta-coded as varints in one byte arena. A list ends at a zero byte, which no gap
// produces (positions ascend strictly and none is 0), so the table keeps only
// where it starts; offset 0 holds an empty list, and begin 0 means the pair
// has none yet. A list is written once: all occurrences of a pair appear
// either in the initial count or during the single merge that creates the
// later of its two tokens. Entries go stale when a neighbouring merge changes
// the pair at their position (a position never holds the same pair again
// once it has changed), so readers check each entry against the slots. Each
// pair counts the stale entries of its list (one per occurrence destroyed),
// and a pair that dies leaves its whole list stale; when a third of the
// entries are stale the arena is compacted in place, checking entry by
// entry only the lists with many stale entries (those on the worker pool,
// each list rewritten where it lies) and moving the others whole.
//
// Cold pairs. Once the heap's floor has risen, a pair a merge creates below it
// is left out of the table and gets no list: its count can only fall, so it
// cannot be chosen before the heap runs dry down to it, and most pairs of a
// large corpus are such pairs, seen once or twice. If the choice ever reaches
// the cold floor, passes over the slots count and list every pair left out,
// and the table tracks all pairs from then on; finalize() counts every pair
// again from the slots for the bigram table.
//
// Choice. A max-heap of (coverage, pair), where coverage = (len(a) + len(b)) *
// count, holds every live pair above a floor that rises as the heap fills and
// falls when it runs dry, so a pair below it can never be the best; counts of
// existing pairs only ever fall, so an entry is an upper bound on its pair's
// coverage and is refreshed when it reaches the top out of date. The compress
// phase takes the first up-to-date entry. The entropy phase visits entries in
// falling coverage and stops once a bound on the entropy factor times
// coverage^0.7 cannot beat the best score found.
//
// Two layouts: 16-bit slots, 32-bit keys and counts for the usual case (fewer
// than 32768 tokens, corpus under 2 GiB), 32/64-bit for everything else.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.h"
#include "tarvik/callbacks.h"
#include "training/chunk_counts.h"
#include "training/mapped_vector.h"
#include "training/pair_counts.h"
#include "vocab/vocab.h"

namespace tarvik::training {

struct PairChoice {
  TokenId left;
  TokenId right;
  std::int64_t count;  // weighted count before the merge
  double score;
};

// Scoring. The first kCompressTenths tenths of the merges (rounded down)
// score a pair by the corpus bytes it covers; the rest by that coverage raised
// to kEntropyExponent, times an entropy factor (new - old) * kEntropyWeight +
// 1. kEntropyWeight equals the encoder's default context weight only by
// chance: the two are unrelated.
inline constexpr std::uint64_t kCompressTenths = 9;
inline constexpr double kEntropyExponent = 0.7;
inline constexpr double kEntropyWeight = 0.3;

// The merges' compress phase: steps [0, boundary) of `merges`.
inline std::uint64_t compress_phase_end(std::uint64_t merges) {
  // floor(kCompressTenths * merges / 10) without overflow.
  return merges / 10 * kCompressTenths + merges % 10 * kCompressTenths / 10;
}

struct NarrowLayout {
  using Slot = std::uint16_t;
  using Pos = std::uint32_t;
  using Key = std::uint32_t;
  using Count = std::uint32_t;
  using Offset = std::uint32_t;
  static constexpr Slot kFlag = 0x8000;
  static constexpr std::uint64_t kMaxTokens = 0x8000;  // ids must not reach the flag bit
  static constexpr std::uint64_t kMaxCorpus = std::uint64_t{1} << 31;  // counts and coverages fit
  static constexpr std::uint64_t kMaxSlots = std::uint64_t{1} << 28;   // so does the arena
  static Key key(TokenId left, TokenId right) { return left << 16 | right; }
  static TokenId left(Key key) { return key >> 16; }
  static TokenId right(Key key) { return key & 0xFFFF; }
};

struct WideLayout {
  using Slot = std::uint32_t;
  using Pos = std::uint64_t;
  using Key = std::uint64_t;
  using Count = std::uint64_t;
  using Offset = std::uint64_t;
  static constexpr Slot kFlag = 0x80000000u;
  static constexpr std::uint64_t kMaxTokens = 0x80000000u;
  static Key key(TokenId left, TokenId right) { return bigram_key(left, right); }
  static TokenId left(Key key) { return bigram_left(key); }
  static TokenId right(Key key) { return bigram_right(key); }
};

template <class Layout>
class MergeState {
 public:
  using Slot = typename Layout::Slot;
  using Pos = typename Layout::Pos;
  using Key = typename Layout::Key;
  using Count = typename Layout::Count;
  using Offset = typename Layout::Offset;

  // Lays out the chunks (in canonical order, so that the state and every
  // choice made on it depend only on the counts) and counts their pairs.
  // Pairs whose merged token would be longer than `max_token_bytes` are
  // counted but never chosen. The heap is cut back to about `heap_keep`
  // entries when it holds twice as many (see floor_). Fails only when `stop`
  // asks to stop (kInterrupted).
  static Result<MergeState> build(ChunkCounts counts, std::uint64_t max_token_bytes,
                                  std::size_t heap_keep, const CancelCheck& stop);

  std::uint64_t total_tokens() const { return total_; }
  std::uint64_t active_tokens() const { return active_; }
  double entropy() const;

  // The best-scoring pair of the current phase, or nothing when no pair is
  // left. Among equal scores the smallest (left, right) wins. Fails only
  // when `stop` asks to stop while it counts the cold pairs (kInterrupted).
  Result<std::optional<PairChoice>> best_pair(bool entropy_phase, const CancelCheck& stop);

  // Replaces every occurrence of the pair, left to right without overlap,
  // by `merged` (the next token id).
  Status merge(const PairChoice& pair, TokenId merged, const CancelCheck& stop);

  // Sets every token's log_prob from the unigram counts and rebuilds the
  // bigram table from the pair counts. Releases the working state.
  Status finalize(Vocab& vocab, const CancelCheck& stop);

 private:
  using Pairs = PairCounts<Key, Count, Offset>;
  using PairEntry = typename Pairs::Slot;

  static constexpr Slot kFlag = Layout::kFlag;
  static constexpr Slot kSeparator = static_cast<Slot>(~Slot{0});
  static constexpr Slot kInside = kFlag;                // inside a token, not its last slot
  static constexpr Slot kFar = kSeparator - kFlag - 1;  // distance kept in far_starts_

  struct HeapItem {
    Count coverage;
    Key key;
    // Max-heap order: larger coverage first, then the smaller pair, so the
    // top is the compress phase's choice with its tie rule.
    bool operator<(const HeapItem& other) const {
      return coverage < other.coverage || (coverage == other.coverage && key > other.key);
    }
  };

  // Weight lookups for ascending positions.
  class WeightCursor {
   public:
    explicit WeightCursor(const MergeState& state) : state_(state) {}
    std::int64_t at(Pos pos) {
      while (pos >= state_.group_end_[group_]) ++group_;
      return static_cast<std::int64_t>(state_.group_weight_[group_]);
    }

   private:
    const MergeState& state_;
    std::size_t group_ = 0;
  };

  Pos previous_start(Pos start) const;
  void mark_last(Pos last, Pos start);
  Count coverage(Key key, std::int64_t count) const;
  void decrease(TokenId left, TokenId right, std::int64_t weight, std::uint64_t occurrences);
  void increase(TokenId left, TokenId right, std::int64_t weight);
  void count_neighbour(bool left, TokenId other, std::int64_t weight);
  void apply_neighbour_counts(TokenId a, TokenId b, TokenId merged, std::int64_t weight,
                              std::uint64_t occurrences);
  void add_unigram(TokenId id, std::int64_t delta);
  bool allowed(Key key) const;
  void push_heap(Key key, std::int64_t count);
  bool settle_top();
  void raise_floor();
  bool lower_floor();
  // Pushes every allowed pair whose coverage lies in [low, high), then
  // restores the heap order.
  void fill_heap(Count low, std::optional<Count> high);
  void record_fresh(Pos pos, std::uint64_t group);
  void flush_fresh();
  void publish_new_pairs(TokenId merged);
  void reserve_arena(std::uint64_t extra);
  Status compact_arena(const CancelCheck& stop);
  MappedVector<std::uint32_t> live_in_arena_order() const;
  void rebuild_heap();
  // Calls f(pos, key, weight) for every adjacent pair of tokens, by
  // ascending position; false if `stop()` asked to stop first.
  template <class F, class Stop>
  bool for_each_adjacent(F&& f, Stop&& stop) const;
  // Adds the cold pairs to the table with their lists and tracks every pair
  // from then on.
  Status track_all(const CancelCheck& stop);

  MappedVector<Slot> slots_;
  std::vector<Pos> group_end_;  // positions where each weight group ends
  std::vector<std::uint64_t> group_weight_;
  std::unordered_map<Pos, Pos> far_starts_;  // last slot -> first, for very long tokens
  std::vector<std::uint64_t> length_;        // byte length by token id
  std::vector<std::int64_t> unigram_;        // weighted count by token id
  std::uint64_t total_ = 0;                  // sum of unigram_
  std::uint64_t active_ = 0;                 // ids with a positive count
  std::uint64_t max_token_bytes_ = 0;        // longer merged tokens are never chosen

  Pairs pairs_;
  MappedVector<std::uint8_t> arena_;
  // Entries in the arena, and how many of them are stale: the live lists'
  // stale counts plus the entries of the lists whose pair is gone.
  std::uint64_t entries_ = 0;
  std::uint64_t stale_entries_ = 0;
  MappedVector<HeapItem> heap_;
  // The heap holds an entry (an upper bound) for every allowed pair whose
  // coverage is at least floor_, and none below it: the millions of pairs
  // seen once or twice would otherwise fill it for nothing. When the heap
  // runs dry the floor comes down and the pairs between are scanned in.
  Count floor_ = 0;
  std::size_t heap_keep_ = 1;
  // Every pair missing from the table covers less than this (see Cold pairs).
  // It follows the heap's floor up until track_all() sets it to 0 for good.
  Count cold_floor_ = 0;
  bool cold_allowed_ = true;
  // Positions whose pair the current merge created, ascending, delta-coded,
  // each followed by its group (see Group). The latest one is held back
  // until the next, since the next occurrence may change its pair.
  MappedVector<std::uint8_t> fresh_;
  Pos fresh_last_ = 0;
  Pos pending_pos_ = 0;
  std::uint64_t pending_group_ = 0;
  bool pending_ = false;

  // What one merge did to the pairs beside it, summed by the other token
  // and applied once per token at its end: (x, a) -> (x, merged) on the
  // left, (b, y) -> (merged, y) on the right. Early merges touch millions of
  // occurrences but only thousands of distinct neighbours, and a table
  // lookup per occurrence missed the cache nearly every time.
  struct NeighbourCount {
    std::int64_t weight = 0;
    std::uint64_t occurrences = 0;
  };
  std::vector<NeighbourCount> neighbours_;  // [0, n) left, [n, 2n) right
  std::vector<TokenId> left_neighbours_, right_neighbours_;

  // Scratch for grouping the new pairs of one merge, indexed by the other
  // token: [0, n) for (x, merged), [n, 2n) for (merged, y). The
  // right neighbour y is never the merged token (occurrences are merged left
  // to right), so (merged, merged) has one group, in the first half.
  struct Group {
    std::uint64_t bytes = 0;
    Pos last = 0;
  };
  std::vector<Group> groups_;
  std::vector<std::uint32_t> touched_;
  std::vector<PairEntry*> touched_pairs_;
};

extern template class MergeState<NarrowLayout>;
extern template class MergeState<WideLayout>;

}  // namespace tarvik::training
