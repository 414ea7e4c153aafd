// The working state of one training run; see merge_state.h for the layout.
#include "training/merge_state.h"

#include <algorithm>
#include <cmath>

namespace tarvik {
namespace {

constexpr std::uint64_t kPollEvery = 1 << 16;

double h(double x) {
  return -x * std::log2(x);
}

// h(x) = -x log2 x peaks at x = 1/e with log2(e)/e < 0.5308, so the entropy
// factor (new - old) * 0.3 + 1 never exceeds 1 + 0.3 * 3 * 0.5308 < 1.478.
constexpr double kMaxEntropyFactor = 1.5;

}  // namespace

template <class Pos>
Result<MergeState<Pos>> MergeState<Pos>::build(std::string_view corpus, std::vector<Chunk> chunks,
                                               const StopCheck& stop) {
  MergeState state;
  std::sort(chunks.begin(), chunks.end(),
            [](const Chunk& x, const Chunk& y) { return x.weight > y.weight; });
  std::uint64_t slot_count = 1;
  for (const Chunk& chunk : chunks) slot_count += chunk.length + 1;

  state.length_.assign(256, 1);
  state.unigram_.assign(256, 0);
  auto& slots = state.slots_;
  slots.resize(slot_count);
  slots[0] = kSeparator;
  Pos pos = 1;
  std::uint64_t next_poll = kPollEvery * 16;
  for (const Chunk& chunk : chunks) {
    if (state.group_weight_.empty() || state.group_weight_.back() != chunk.weight) {
      if (!state.group_weight_.empty()) state.group_end_.push_back(pos);
      state.group_weight_.push_back(chunk.weight);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(corpus.data() + chunk.offset);
    for (std::uint64_t k = 0; k < chunk.length; ++k) {
      slots[pos + k] = bytes[k];
      state.unigram_[bytes[k]] += static_cast<std::int64_t>(chunk.weight);
    }
    state.total_ += chunk.length * chunk.weight;
    pos += static_cast<Pos>(chunk.length);
    slots[pos++] = kSeparator;
    if (pos >= next_poll) {
      next_poll = pos + kPollEvery * 16;
      if (stop && stop()) return Error::interrupted();
    }
  }
  state.group_end_.push_back(static_cast<Pos>(slot_count));
  state.group_weight_.push_back(0);
  for (std::int64_t c : state.unigram_) state.active_ += c > 0;
  chunks = {};

  // All initial pairs are byte pairs: count them into a dense 64 Ki table,
  // then place each pair's positions contiguously (ascending) in the arena.
  std::vector<std::uint64_t> occurrences(1 << 16, 0);
  std::vector<std::int64_t> weighted(1 << 16, 0);
  {
    WeightCursor weight(state);
    for (Pos i = 1; i + 1 < slot_count; ++i) {
      std::uint32_t x = slots[i], y = slots[i + 1];
      if (x == kSeparator || y == kSeparator) continue;
      std::uint32_t k = x << 8 | y;
      ++occurrences[k];
      weighted[k] += weight.at(i);
    }
  }
  std::vector<std::uint64_t> cursor(1 << 16, 0);
  std::uint64_t listed = 0;
  for (std::uint32_t k = 0; k < (1 << 16); ++k) {
    cursor[k] = listed;
    listed += occurrences[k];
  }
  state.arena_.resize(listed);
  for (Pos i = 1; i + 1 < slot_count; ++i) {
    std::uint32_t x = slots[i], y = slots[i + 1];
    if (x == kSeparator || y == kSeparator) continue;
    state.arena_[cursor[x << 8 | y]++] = i;
  }
  state.listed_ = listed;
  std::uint64_t begin = 0;
  for (std::uint32_t k = 0; k < (1 << 16); ++k) {
    if (occurrences[k] == 0) continue;
    std::uint64_t key = bigram_key(k >> 8, k & 0xFF);
    PairSlot& slot = state.pairs_.upsert(key);
    slot.count = weighted[k];
    slot.begin = begin;
    slot.length = occurrences[k];
    begin += occurrences[k];
    state.heap_.push_back(HeapItem{state.coverage(key, slot.count), key});
  }
  std::make_heap(state.heap_.begin(), state.heap_.end());
  return state;
}

template <class Pos>
double MergeState<Pos>::entropy() const {
  if (total_ == 0) return 0.0;
  double n = static_cast<double>(total_);
  double sum = 0.0;
  for (std::int64_t c : unigram_) {
    if (c > 0) sum += h(static_cast<double>(c) / n);
  }
  return sum;
}

template <class Pos>
std::uint64_t MergeState<Pos>::coverage(std::uint64_t key, std::int64_t count) const {
  return (length_[bigram_left(key)] + length_[bigram_right(key)]) *
         static_cast<std::uint64_t>(count);
}

template <class Pos>
bool MergeState<Pos>::settle_top() {
  while (!heap_.empty()) {
    HeapItem top = heap_.front();
    PairSlot* slot = pairs_.find(top.key);
    std::uint64_t now = slot != nullptr ? coverage(top.key, slot->count) : 0;
    if (slot != nullptr && now == top.coverage) return true;
    std::pop_heap(heap_.begin(), heap_.end());
    heap_.pop_back();
    if (slot == nullptr) continue;  // the pair is gone
    heap_.push_back(HeapItem{now, top.key});
    std::push_heap(heap_.begin(), heap_.end());
  }
  return false;
}

template <class Pos>
std::optional<PairChoice> MergeState<Pos>::best_pair(bool entropy_phase) {
  if (!entropy_phase) {
    if (!settle_top()) return std::nullopt;
    std::uint64_t key = heap_.front().key;
    std::int64_t count = pairs_.find(key)->count;
    TokenId a = bigram_left(key), b = bigram_right(key);
    double len = static_cast<double>(length_[a] + length_[b]);
    return PairChoice{a, b, count, len * static_cast<double>(count)};
  }

  // Entropy phase: visit pairs by falling coverage until the bound on the
  // score of everything left cannot beat the best score seen.
  std::optional<PairChoice> best;
  std::vector<HeapItem> visited;
  double n = static_cast<double>(total_);
  while (settle_top()) {
    HeapItem top = heap_.front();
    if (best && kMaxEntropyFactor * std::pow(static_cast<double>(top.coverage), 0.7) <= best->score)
      break;
    std::pop_heap(heap_.begin(), heap_.end());
    heap_.pop_back();
    visited.push_back(top);

    TokenId a = bigram_left(top.key), b = bigram_right(top.key);
    std::int64_t c = pairs_.find(top.key)->count;
    std::int64_t ca = unigram_[a], cb = unigram_[b];
    double n2 = n - static_cast<double>(c);
    double factor = 1.0;
    if (!(total_ == 0 || n2 <= 0)) {
      double old_h = (ca > 0 ? h(static_cast<double>(ca) / n) : 0.0) +
                     (cb > 0 ? h(static_cast<double>(cb) / n) : 0.0);
      double new_h = (ca - c > 0 ? h(static_cast<double>(ca - c) / n2) : 0.0) +
                     (cb - c > 0 ? h(static_cast<double>(cb - c) / n2) : 0.0) +
                     h(static_cast<double>(c) / n2);
      factor = (new_h - old_h) * 0.3 + 1.0;
    }
    double len = static_cast<double>(length_[a] + length_[b]);
    double score = factor * std::pow(len * static_cast<double>(c), 0.7);
    if (!best || score > best->score) best = PairChoice{a, b, c, score};
  }
  for (const HeapItem& item : visited) {
    heap_.push_back(item);
    std::push_heap(heap_.begin(), heap_.end());
  }
  return best;
}

template <class Pos>
Pos MergeState<Pos>::previous_start(Pos start) const {
  std::uint32_t v = slots_[start - 1];
  if ((v & kFlag) == 0) return start - 1;
  std::uint32_t distance = v & ~kFlag;
  if (distance == kFar) return far_starts_.find(start - 1)->second;
  return start - 1 - distance;
}

template <class Pos>
void MergeState<Pos>::mark_last(Pos last, Pos start) {
  Pos distance = last - start;
  if (distance < kFar) {
    slots_[last] = kFlag | static_cast<std::uint32_t>(distance);
  } else {
    slots_[last] = kFlag | kFar;
    far_starts_[last] = start;
  }
}

template <class Pos>
void MergeState<Pos>::decrease(TokenId left, TokenId right, std::int64_t weight) {
  PairSlot* slot = pairs_.find(bigram_key(left, right));
  if (slot == nullptr) return;  // cannot happen: every decrease removes a real occurrence
  slot->count -= weight;
  if (slot->count <= 0) {
    listed_ -= slot->length;
    pairs_.erase(slot);
  }
}

template <class Pos>
void MergeState<Pos>::increase(TokenId left, TokenId right, std::int64_t weight, Pos pos) {
  std::uint64_t key = bigram_key(left, right);
  pairs_.upsert(key).count += weight;
  fresh_.emplace_back(key, pos);
}

template <class Pos>
void MergeState<Pos>::add_unigram(TokenId id, std::int64_t delta) {
  std::int64_t before = unigram_[id];
  std::int64_t after = before + delta;
  unigram_[id] = after;
  active_ += (after > 0) - (before > 0);
}

template <class Pos>
Status MergeState<Pos>::merge(const PairChoice& pair, TokenId merged, const StopCheck& stop) {
  const TokenId a = pair.left, b = pair.right, t = merged;
  const Pos len_a = static_cast<Pos>(length_[a]), len_b = static_cast<Pos>(length_[b]);
  length_.push_back(length_[a] + length_[b]);
  unigram_.push_back(0);

  PairSlot* merging = pairs_.find(bigram_key(a, b));
  if (merging == nullptr) return {};
  const std::uint64_t begin = merging->begin, end = merging->begin + merging->length;
  fresh_.clear();
  WeightCursor weight(*this);
  for (std::uint64_t idx = begin; idx < end; ++idx) {
    if ((idx - begin) % kPollEvery == kPollEvery - 1 && stop && stop()) return Error::interrupted();
    const Pos pos = arena_[idx];
    if (slots_[pos] != a) continue;
    const Pos q = pos + len_a;
    if (slots_[q] != b) continue;
    const std::int64_t w = weight.at(pos);
    if (slots_[pos - 1] != kSeparator) {
      Pos left = previous_start(pos);
      TokenId p = slots_[left];
      decrease(p, a, w);
      increase(p, t, w, left);
    }
    const Pos r = q + len_b;
    const std::uint32_t y = slots_[r];
    if (y != kSeparator) {
      decrease(b, y, w);
      increase(t, y, w, pos);
    }
    decrease(a, b, w);
    add_unigram(a, -w);
    add_unigram(b, -w);
    add_unigram(t, w);
    total_ -= static_cast<std::uint64_t>(w);
    slots_[pos] = t;
    slots_[q] = kInside;
    mark_last(r - 1, pos);
  }
  publish_new_pairs();
  return compact_if_worthwhile(stop);
}

template <class Pos>
void MergeState<Pos>::publish_new_pairs() {
  // Positions of one pair were produced in ascending order; sorting by
  // (pair, position) groups them without disturbing that order.
  std::sort(fresh_.begin(), fresh_.end());
  for (std::size_t i = 0; i < fresh_.size();) {
    std::size_t j = i;
    std::uint64_t key = fresh_[i].first;
    while (j < fresh_.size() && fresh_[j].first == key) ++j;
    PairSlot* slot = pairs_.find(key);
    if (slot != nullptr) {
      slot->begin = arena_.size();
      slot->length = j - i;
      for (std::size_t k = i; k < j; ++k) arena_.push_back(fresh_[k].second);
      listed_ += j - i;
      heap_.push_back(HeapItem{coverage(key, slot->count), key});
      std::push_heap(heap_.begin(), heap_.end());
    }
    i = j;
  }
  fresh_.clear();
}

template <class Pos>
Status MergeState<Pos>::compact_if_worthwhile(const StopCheck& stop) {
  if (arena_.size() < (1u << 20) || arena_.size() - listed_ <= listed_) return {};
  std::vector<PairSlot*> live;
  live.reserve(pairs_.size());
  pairs_.for_each([&](PairSlot& slot) { live.push_back(&slot); });
  std::sort(live.begin(), live.end(),
            [](const PairSlot* x, const PairSlot* y) { return x->begin < y->begin; });
  std::uint64_t write = 0, since_poll = 0;
  for (PairSlot* slot : live) {
    TokenId x = bigram_left(slot->key), y = bigram_right(slot->key);
    Pos len_x = static_cast<Pos>(length_[x]);
    std::uint64_t new_begin = write;
    for (std::uint64_t idx = slot->begin; idx < slot->begin + slot->length; ++idx) {
      Pos pos = arena_[idx];
      if (slots_[pos] == x && slots_[pos + len_x] == y) arena_[write++] = pos;
    }
    since_poll += slot->length;
    slot->begin = new_begin;
    slot->length = write - new_begin;
    if (since_poll >= kPollEvery) {
      since_poll = 0;
      if (stop && stop()) return Error::interrupted();
    }
  }
  arena_.resize(write);
  listed_ = write;
  return {};
}

template <class Pos>
void MergeState<Pos>::finalize(Vocab& vocab) {
  slots_ = {};
  arena_ = {};
  heap_ = {};
  fresh_ = {};
  far_starts_ = {};
  if (total_ > 0) {
    double n = static_cast<double>(total_);
    for (Token& token : vocab.tokens) {
      std::int64_t c = token.id < unigram_.size() ? unigram_[token.id] : 0;
      token.log_prob = std::log(c > 0 ? static_cast<double>(c) / n : 0.5 / n);
    }
  }
  std::vector<std::uint64_t> row(vocab.tokens.size(), 0);
  pairs_.for_each([&](PairSlot& slot) {
    row[bigram_left(slot.key)] += static_cast<std::uint64_t>(slot.count);
  });
  vocab.bigrams.clear();
  vocab.bigrams.reserve(pairs_.size());
  pairs_.for_each([&](PairSlot& slot) {
    double c = static_cast<double>(slot.count);
    vocab.bigrams.emplace(slot.key, std::log(c / static_cast<double>(row[bigram_left(slot.key)])));
  });
  pairs_.release();
}

template class MergeState<std::uint32_t>;
template class MergeState<std::uint64_t>;

}  // namespace tarvik
