// The working state of one training run, built for merges that cost time in
// proportion to the occurrences they touch.
//
// Layout. The distinct chunks are laid end to end in one slot array, one slot
// per byte, with a separator slot before, between and after them. Chunks are
// ordered by weight, so a chunk's weight follows from its position through a
// short table of weight groups. A token occupies the slots of its bytes: its
// first slot holds its id, the others are marked as inside a token, and the
// last one stores the distance back to the first. So the next token starts
// at start + length(id), and the previous one is found from the slot just
// before a start; merging never moves anything.
//
// Index. Every pair that occurs has a weighted count in a PairTable and a list
// of the start positions where it occurs, in ascending order, stored in one
// arena. A list is written once: all occurrences of a pair appear either in
// the initial count or in the single merge that creates the later of its two
// tokens. Entries go stale when a neighbouring merge changes the pair at their
// position (a position never holds the same pair again once it has changed),
// so readers check each entry against the slots; the arena is compacted when
// stale entries outnumber live ones.
//
// Choice. A max-heap of (coverage, pair), where coverage = (len(a) + len(b)) *
// count, holds every live pair; counts of existing pairs only ever fall, so
// an entry is an upper bound and is refreshed when popped out of date. The
// compress phase takes the first up-to-date entry. The entropy phase visits
// entries in falling coverage and stops once the largest possible entropy
// factor times coverage^0.7 cannot beat the best score found.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.h"
#include "training/chunks.h"
#include "training/pair_table.h"
#include "vocab/vocab.h"

namespace tarvik {

struct PairChoice {
  TokenId left;
  TokenId right;
  std::int64_t count;  // weighted count before the merge
  double score;
};

// Returns true when the run should stop.
using StopCheck = std::function<bool()>;

template <class Pos>
class MergeState {
 public:
  // Lays out `chunks` of `corpus` and counts them. Fails only when `stop`
  // asks to stop (kInterrupted).
  static Result<MergeState> build(std::string_view corpus, std::vector<Chunk> chunks,
                                  const StopCheck& stop);

  std::uint64_t total_tokens() const { return total_; }
  std::uint64_t active_tokens() const { return active_; }
  double entropy() const;

  // The best-scoring pair of the current phase, or nothing when no pair is
  // left. Among equal scores any may be returned.
  std::optional<PairChoice> best_pair(bool entropy_phase);

  // Replaces every occurrence of (left, right), left to right without
  // overlap, by the new token `merged` (the next id, whose byte length is
  // the sum of the parts').
  Status merge(const PairChoice& pair, TokenId merged, const StopCheck& stop);

  // Sets every token's log_prob from the final unigram counts and rebuilds
  // the bigram table. Releases the working state.
  void finalize(Vocab& vocab);

 private:
  static constexpr std::uint32_t kFlag = 0x80000000u;
  static constexpr std::uint32_t kSeparator = 0xFFFFFFFFu;
  static constexpr std::uint32_t kInside = kFlag;     // inside a token, not its last slot
  static constexpr std::uint32_t kFar = 0x7FFFFFFEu;  // distance kept in far_starts_

  struct HeapItem {
    std::uint64_t coverage;
    std::uint64_t key;
    bool operator<(const HeapItem& other) const { return coverage < other.coverage; }
  };

  // A cursor over the weight groups for ascending positions.
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
  std::uint64_t coverage(std::uint64_t key, std::int64_t count) const;
  void decrease(TokenId left, TokenId right, std::int64_t weight);
  void increase(TokenId left, TokenId right, std::int64_t weight, Pos pos);
  void add_unigram(TokenId id, std::int64_t delta);
  void publish_new_pairs();
  Status compact_if_worthwhile(const StopCheck& stop);
  // Pops until an up-to-date heap entry is on top; false when the heap is empty.
  bool settle_top();

  std::vector<std::uint32_t> slots_;
  std::vector<Pos> group_end_;  // positions where each weight group ends
  std::vector<std::uint64_t> group_weight_;
  std::unordered_map<Pos, Pos> far_starts_;  // last slot -> first, for tokens >= 2 GiB
  std::vector<std::uint64_t> length_;        // byte length by token id
  std::vector<std::int64_t> unigram_;        // weighted count by token id
  std::uint64_t total_ = 0;                  // sum of unigram_
  std::uint64_t active_ = 0;                 // ids with a positive count

  PairTable pairs_;
  std::vector<Pos> arena_;
  std::uint64_t listed_ = 0;  // arena entries owned by live pairs
  std::vector<HeapItem> heap_;
  std::vector<std::pair<std::uint64_t, Pos>> fresh_;  // (pair, position) created by a merge
};

extern template class MergeState<std::uint32_t>;
extern template class MergeState<std::uint64_t>;

}  // namespace tarvik
