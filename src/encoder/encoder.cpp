// The three encoders over the byte trie, and chunked encoding on the pool.
//
// Both dynamic-programming passes keep, per input position, one cell of
// (score or count, last token, length of the last token). The start of the
// last token is the end minus its length, and the previous token of a path is
// the last token of the cell it starts from, so no separate "back" or "last"
// array is needed: the scored pass uses 16 bytes per position, the dense pass
// 12. Cells live in a per-thread scratch buffer reused across calls.
//
// Lossless whatever the vocabulary: when a pass cannot reach the end of its
// input (a non-finite context weight makes every candidate NaN; a loaded
// vocabulary may have a byte with a trie entry but no single-byte token), the
// greedy segmentation of that input is returned instead.
//
// Cancellation: every pass polls the caller's check between blocks of start
// positions (greedy: of tokens). A block is as many positions as make
// kPollWork trie steps if each walked max_token_len steps, the most it can:
// ordinary text pays one call per tens of thousands of positions, and a
// vocabulary holding a 100 000-byte token is still polled every few
// milliseconds. Counting by bound instead of by step keeps the walks as they
// are.
//
// Performance notes (context-weighted pass; 8192-token model trained on
// mixed.txt, heldout/mixed.txt, one thread):
// - Where the time goes (perf): about 40 % of the samples sit on the loads of
//   the pair table (a quarter on the row entry, an eighth on the filter word),
//   8 % on the trie's check word. The table's rows (342 643 pairs, ~9 MB) live
//   in the last-level cache, and the lookup at one position decides the cell
//   the next position reads its previous token from, so the misses are on
//   the critical path.
// - The number of lookups is already at its floor. Counted over the file:
//   3.33 M reachable positions, 6.94 M candidates, 3.67 M lookups past the
//   row bound, and 3.56 M of those change their cell (most are the first
//   candidate to reach a fresh cell). Every position's winning candidate
//   needs its exact pair term before the position can start, so at least
//   3.33 M lookups are unavoidable: skipping more can gain at most 10 %.
// - A per-right-token bound (the greatest term any left token gives it),
//   taken with the row bound: would skip 705 of the 3.67 M lookups. Rejected.
// - Dropping the row bound (always look up, no unpredictable branch before
//   the filter): about 20 % slower. The bound stays.
// - Each row's filter words and entries in one block, so that a pair that
//   passes the filter is in the same or the next cache line: simulated
//   misses unchanged (callgrind, a 1 MiB last level: 958 K vs 957 K read
//   misses on 1 MB of input), no gain the machine's noise could show. Not
//   kept.
// - 4-byte entries (a 16-bit right id and a 16-bit index into a table of the
//   distinct terms, 47 887 of them here) instead of 12: the rows still do
//   not fit the second-level cache and the term table adds reads, so
//   simulated misses rose (callgrind, a 1 MiB last level, 2 x 1 MB of input:
//   1.585 M -> 1.645 M read misses) and no speed-up showed. Not kept.
// - Speculation on the next position's last token (its cell rarely changes
//   after the offers of the position before): walking the trie one position
//   ahead, buffering its candidates and prefetching their filter words and
//   row slots was about 17 % slower (median 23.3 -> 19.4 MB/s, one thread,
//   ten alternating runs); prefetching only that row's first filter line
//   changed nothing (23.7 vs 22.9). Not kept.
// - Ceilings, measured by answering lookups wrongly on purpose (one thread,
//   best of seven): a lookup that stops after the filter (no row entry
//   read) gives 28 MB/s against 23; no lookup at all (a constant term
//   behind the row bound) 34.5 MB/s. The trie walks and the cells alone
//   cost about two thirds of the time, so no layout of the table can make
//   this pass three times a 12.8 MB/s encoder.
// - Two independent inputs in one pass, a position of each in turn (two
//   65536-byte pieces of a long input, or two texts of a batch), so that one
//   input's lookups could wait while the other's run: 41 -> 28 MB/s on one
//   thread (identical ids). Each mispredicted branch of one input throws
//   away the other's work in flight too. Not kept.
// - A lookup whose entry read is chosen by a conditional move on the filter
//   bit instead of a branch (a free entry read when the bit is clear): 2 to
//   5 % slower against tiktoken in the same sitting. Not kept.
// - The previous token's row (its filter and entry offsets, masks and bound)
//   copied into the cell by the winning offer, so that a position reads it
//   from its own cell instead of the row table: 40-byte cells, 45 -> 41.7
//   MB/s (one thread, five alternations). Prefetching the winner's row
//   instead changed nothing. The row read is not what the chain waits on.
// - The pass turned around: each end position takes the best of the tokens
//   that end there (found by a trie of the reversed tokens over the reversed
//   input) in registers and writes its cell once, with no read-modify-write
//   of cells ahead. Identical ids, but 45-47 -> 35-38 MB/s (three
//   alternations), with or without the row bound: each candidate then has
//   its own previous token, so its own row to read.
// - Tried before and rejected: prefetching the rows, decoupling the trie walk
//   from the scoring, a ring buffer of scores, variants of the filter.
// - Polling for cancellation between blocks of positions leaves the inner
//   loops as they were: +0.6 % instructions in this pass, +2.7 % in the
//   dense one, -2.8 % in greedy (callgrind, 1 MB of heldout/mixed.txt).
#include "encoder/encoder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "encoder/pair_table.h"
#include "common/worker_pool.h"
#include "common/mapped_memory.h"
#include "trie/trie.h"

namespace tarvik {

namespace {

constexpr double kUnreachableScore = -std::numeric_limits<double>::infinity();

// Trie steps between two polls of the cancellation check, at most.
constexpr std::size_t kPollWork = std::size_t{1} << 20;

std::size_t positions_per_poll(std::size_t span) {
  return std::max<std::size_t>(1, kPollWork / std::max<std::size_t>(span, 1));
}

bool stop_requested(const CancelCheck& cancel) {
  return cancel && cancel();
}

// Raw per-thread working memory for the passes. Buffers up to kKeepBytes stay
// with the thread for the next call (and are freed when the thread ends);
// larger ones are freed on return. Big buffers come advised for huge pages:
// a fresh one is faulted in 2 MiB at a time instead of 4 KiB, which makes a
// whole-input pass over megabytes markedly faster. A nested use on the same
// thread gets its own buffer.
class Scratch {
 public:
  explicit Scratch(std::size_t bytes) {
    Store& store = store_;
    if (!store.busy && bytes <= kKeepBytes) {
      if (store.capacity < bytes) {
        release_huge_page_memory(store.buffer, store.capacity);
        store.buffer = nullptr;
        store.capacity = 0;
        const std::size_t capacity = std::max(bytes, kMinBytes);
        store.buffer = allocate_huge_page_memory(capacity);
        store.capacity = capacity;
      }
      data_ = store.buffer;
      store.busy = true;
      borrowed_ = true;
    } else {
      data_ = allocate_huge_page_memory(bytes);
      bytes_ = bytes;
    }
  }
  ~Scratch() {
    if (borrowed_) {
      store_.busy = false;
    } else {
      release_huge_page_memory(data_, bytes_);
    }
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  template <class Cell>
  Cell* as() const {
    return static_cast<Cell*>(data_);
  }

 private:
  static constexpr std::size_t kKeepBytes = std::size_t{4} << 20;
  static constexpr std::size_t kMinBytes = 4096;
  struct Store {
    void* buffer = nullptr;
    std::size_t capacity = 0;
    bool busy = false;
    ~Store() { release_huge_page_memory(buffer, capacity); }
  };
  static thread_local Store store_;
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
  bool borrowed_ = false;
};

thread_local Scratch::Store Scratch::store_;

struct ScoredCell {
  double score;
  TokenId chosen;
  std::uint32_t len;  // length of `chosen`; the path's previous cell is at end - len
};

template <class Count>
struct DenseCell {
  Count count;
  TokenId chosen;
  std::uint32_t len;
};

// Follows the cells back from `n` and returns the chosen ids in input order.
template <class Cell>
TokenIds reconstruct(const Cell* cells, std::size_t n) {
  std::size_t tokens = 0;
  for (std::size_t e = n; e > 0; e -= cells[e].len) ++tokens;
  TokenIds ids(tokens);
  for (std::size_t e = n; e > 0; e -= cells[e].len) ids[--tokens] = cells[e].chosen;
  return ids;
}

const unsigned char* bytes_of(std::string_view input) {
  return reinterpret_cast<const unsigned char*>(input.data());
}

}  // namespace

struct Encoder::Impl {
  Vocab vocab;
  double context_weight = 0.3;
  Trie trie;
  std::size_t max_token_len = 1;
  // log_prob by table position.
  std::vector<double> log_probs;
  // Shared with the encoders derived by with_special_token: a special token
  // has no bigrams, so the rows stay valid (its id is past them and takes
  // the slow lookup, which finds no pair).
  std::shared_ptr<const PairTable> pairs;
  bool use_pairs = false;    // context_weight > 0
  double start_term = 0.0;   // context_weight x 0.0: no previous token, or weight <= 0
  double unseen_term = 0.0;  // context_weight x kUnseenPairScore
  bool bigrams_empty = true;
  // Every id a walk can report, and every byte value, is a position of the
  // token table: the context-weighted pass needs no bounds checks.
  bool ids_in_table = false;
  // The trie's special-token names of two bytes or more: a piece boundary
  // must not cut one.
  std::vector<std::string> special_names;
  // The special-token-free variant, made by Encoder::ordinary() on first use.
  std::once_flag ordinary_once;
  std::unique_ptr<Encoder> ordinary;
  std::optional<Error> ordinary_error;

  Impl(Vocab v, double weight, Trie t)
      : vocab(std::move(v)), context_weight(weight), trie(std::move(t)) {}

  Result<TokenIds> greedy(const unsigned char* in, std::size_t n, const CancelCheck& cancel) const;
  Result<TokenIds> scored(const unsigned char* in, std::size_t n, const CancelCheck& cancel) const;
  // The forward pass over cells[0..n]: kFault with `fault` set when a token
  // id is outside the token table, kStopped when `cancel` asked to stop.
  enum class PassEnd { kDone, kFault, kStopped };
  template <bool kChecked>
  PassEnd scored_pass(const unsigned char* in, std::size_t n, ScoredCell* cells, TokenId& fault,
                      const CancelCheck& cancel) const;
  // Offers every token that matches at `start` to the cell where it ends.
  template <bool kChecked, class Pair>
  bool relax(const unsigned char* start, const unsigned char* limit, ScoredCell* from,
             const Pair& pair, TokenId& fault) const;
  Result<TokenIds> dense(const unsigned char* in, std::size_t n, const CancelCheck& cancel) const;
  template <class Count>
  Result<TokenIds> dense_with(const unsigned char* in, std::size_t n,
                              const CancelCheck& cancel) const;

  // log_prob of the token at position t; nothing when t is outside the table.
  std::optional<double> slow_log_prob(TokenId t) const {
    if (t < vocab.tokens.size()) return vocab.tokens[t].log_prob;
    return std::nullopt;
  }
  // The weighted pair term for a previous token outside the prebuilt rows.
  double slow_pair_term(TokenId left, TokenId right) const {
    const auto* it = vocab.bigrams.find(bigram_key(left, right));
    return it == vocab.bigrams.end() ? unseen_term : context_weight * it->second;
  }
};

Encoder::Encoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Encoder::Encoder(Encoder&&) noexcept = default;
Encoder& Encoder::operator=(Encoder&&) noexcept = default;
Encoder::~Encoder() = default;

namespace {

// The context-weighted pass reads every id a walk can report, and every byte
// value, as a position of the token table without bounds checks when this
// holds.
bool all_ids_in_table(const std::vector<Token>& tokens) {
  return tokens.size() >= 256 && std::all_of(tokens.begin(), tokens.end(), [&](const Token& t) {
           return t.bytes.empty() || t.id < tokens.size();
         });
}

// The special tokens' ids, ascending, for binary searches over the table.
std::vector<TokenId> sorted_special_ids(const Vocab& vocab) {
  std::vector<TokenId> ids;
  ids.reserve(vocab.special_tokens.size());
  for (const SpecialToken& special : vocab.special_tokens) ids.push_back(special.id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace

// Everything that can fail or throw happens before `vocab` is moved from, so
// a failed assemble leaves the caller's vocabulary as it was.
Result<Encoder> Encoder::assemble(Vocab&& vocab, double context_weight,
                                  std::shared_ptr<const PairTable> pairs) {
  Result<Trie> built = Trie::build(vocab.tokens);
  if (!built.ok()) return std::move(built).error();
  Trie trie = std::move(built).value();
  if (trie.max_token_len() > std::numeric_limits<std::uint32_t>::max()) {
    return Error::internal("token longer than 4294967295 bytes");
  }
  const std::vector<Token>& tokens = vocab.tokens;
  std::vector<double> log_probs(tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) log_probs[i] = tokens[i].log_prob;
  const bool use_pairs = context_weight > 0;
  const double unseen_term = context_weight * kUnseenPairScore;
  if (!pairs && use_pairs && !vocab.bigrams.empty()) {
    Result<PairTable> table =
        PairTable::build(vocab.bigrams, tokens.size(), context_weight, unseen_term);
    if (!table.ok()) return std::move(table).error();
    pairs = std::make_shared<const PairTable>(std::move(table).value());
  }
  if (!pairs) pairs = std::make_shared<const PairTable>();
  const bool ids_in_table = all_ids_in_table(tokens);
  const std::vector<TokenId> special_ids = sorted_special_ids(vocab);
  std::vector<std::string> special_names;
  for (const Token& token : tokens) {
    if (token.bytes.size() >= 2 &&
        std::binary_search(special_ids.begin(), special_ids.end(), token.id)) {
      special_names.push_back(token.bytes);
    }
  }
  std::sort(special_names.begin(), special_names.end());
  special_names.erase(std::unique(special_names.begin(), special_names.end()), special_names.end());
  auto impl = std::make_unique<Impl>(std::move(vocab), context_weight, std::move(trie));
  impl->max_token_len = impl->trie.max_token_len();
  impl->log_probs = std::move(log_probs);
  impl->use_pairs = use_pairs;
  impl->start_term = context_weight * 0.0;
  impl->unseen_term = unseen_term;
  impl->bigrams_empty = impl->vocab.bigrams.empty();
  impl->pairs = std::move(pairs);
  impl->ids_in_table = ids_in_table;
  impl->special_names = std::move(special_names);
  return Encoder(std::move(impl));
}

Result<Encoder> Encoder::build(Vocab vocab, double context_weight) {
  return assemble(std::move(vocab), context_weight, nullptr);
}

Result<Encoder> Encoder::with_special_token(std::string_view name) const& {
  Vocab vocab = impl_->vocab;
  TARVIK_TRY(vocab.add_special_token(name));
  return assemble(std::move(vocab), impl_->context_weight, impl_->pairs);
}

Result<Encoder> Encoder::with_special_token(std::string_view name) && {
  Vocab& vocab = impl_->vocab;
  const std::size_t tokens = vocab.tokens.size();
  const std::size_t specials = vocab.special_tokens.size();
  const std::uint64_t size = vocab.vocab_size;
  const bool known = vocab.id_by_name.count(std::string(name)) != 0;
  // Puts the vocabulary back as it was, for a failure before it is handed on.
  auto restore = [&] {
    vocab.tokens.resize(tokens);
    vocab.special_tokens.resize(specials);
    if (!known) vocab.id_by_name.erase(std::string(name));
    vocab.vocab_size = size;
  };
  try {
    Result<TokenId> added = vocab.add_special_token(name);
    if (!added.ok()) return std::move(added).error();
    Result<Encoder> built = assemble(std::move(vocab), impl_->context_weight, impl_->pairs);
    if (!built.ok()) restore();
    return built;
  } catch (...) {
    restore();
    throw;
  }
}

Result<TokenIds> Encoder::Impl::greedy(const unsigned char* in, std::size_t n,
                                      const CancelCheck& cancel) const {
  TokenIds ids;
  if (n == 0) return ids;
  ids.reserve(n / 2);
  const std::size_t span = max_token_len;
  const std::size_t per_poll = positions_per_poll(span);
  std::size_t until_poll = per_poll;
  std::size_t pos = 0;
  while (pos < n) {
    if (--until_poll == 0) {
      if (stop_requested(cancel)) return Error::interrupted();
      until_poll = per_poll;
    }
    const unsigned char* limit = in + (n - pos > span ? pos + span : n);
    const Trie::Longest match = trie.longest(in + pos, limit);
    if (match.found) {
      ids.push_back(match.id);
      pos = static_cast<std::size_t>(match.end - in);
    } else {
      ids.push_back(in[pos]);
      ++pos;
    }
  }
  return ids;
}

namespace {

// Pair terms for one start position. may_win(x, stored) is false only when
// x + term(t) cannot exceed `stored` for any t, so term() need not be asked.
struct ConstantTerm {
  double value;
  static bool may_win(double, double) { return true; }
  double term(TokenId) const { return value; }
};

struct TableTerm {
  PairTable::Cursor cursor;
  bool may_win(double x, double stored) const {
    // Rounding is monotonic, so x + term(t) <= x + bound() for every t.
    return x + cursor.bound() > stored;
  }
  double term(TokenId t) const { return cursor.term(t); }
};

template <class Lookup>
struct SlowTerm {
  Lookup lookup;
  static bool may_win(double, double) { return true; }
  double term(TokenId t) const { return lookup(t); }
};

}  // namespace

template <bool kChecked, class Pair>
bool Encoder::Impl::relax(const unsigned char* start, const unsigned char* limit, ScoredCell* from,
                          const Pair& pair, TokenId& fault) const {
  const double base = from->score;
  const double* lp = log_probs.data();
  bool ok = true;
  auto offer = [&](TokenId t, std::uint32_t len) {
    double x;
    if constexpr (kChecked) {
      if (t < log_probs.size()) {
        x = base + lp[t];
      } else if (const std::optional<double> slow = slow_log_prob(t)) {
        x = base + *slow;
      } else {
        if (ok) fault = t;
        ok = false;
        return;
      }
    } else {
      x = base + lp[t];
    }
    ScoredCell& cell = from[len];
    if (!pair.may_win(x, cell.score)) return;
    // Only a strictly greater value replaces (never a NaN).
    const double value = x + pair.term(t);
    if (value > cell.score) cell = {value, t, len};
  };
  const bool stepped = trie.walk(start, limit, [&](TokenId t, const unsigned char* end) {
    offer(t, static_cast<std::uint32_t>(end - start));
  });
  // The single-byte fallback applies only when no token starts with the byte.
  if (!stepped) offer(*start, 1);
  return ok;
}

template <bool kChecked>
Encoder::Impl::PassEnd Encoder::Impl::scored_pass(const unsigned char* in, std::size_t n,
                                                  ScoredCell* cells, TokenId& fault,
                                                  const CancelCheck& cancel) const {
  const std::size_t span = max_token_len;
  auto limit_of = [&](std::size_t s) { return in + (n - s > span ? s + span : n); };
  // The first token has no previous token.
  if (!relax<kChecked>(in, limit_of(0), cells, ConstantTerm{start_term}, fault)) {
    return PassEnd::kFault;
  }

  const std::size_t per_poll = positions_per_poll(span);
  auto each_reachable = [&](auto&& visit) {
    for (std::size_t block = 1; block < n;) {
      const std::size_t block_end = n - block > per_poll ? block + per_poll : n;
      for (std::size_t s = block; s < block_end; ++s) {
        if (cells[s].score == kUnreachableScore) continue;
        if (!visit(in + s, limit_of(s), cells + s)) return PassEnd::kFault;
      }
      block = block_end;
      if (block < n && stop_requested(cancel)) return PassEnd::kStopped;
    }
    return PassEnd::kDone;
  };
  const PairTable& pair_table = *pairs;
  if (!use_pairs || bigrams_empty) {
    const ConstantTerm pair{use_pairs ? unseen_term : start_term};
    return each_reachable(
        [&](const unsigned char* start, const unsigned char* limit, ScoredCell* from) {
          return relax<kChecked>(start, limit, from, pair, fault);
        });
  }
  return each_reachable(
      [&](const unsigned char* start, const unsigned char* limit, ScoredCell* from) {
        const TokenId ctx = from->chosen;  // the last token of the best path to here
        if (ctx < pair_table.rows()) [[likely]] {
          return relax<kChecked>(start, limit, from, TableTerm{pair_table.cursor(ctx)}, fault);
        }
        auto lookup = [this, ctx](TokenId t) { return slow_pair_term(ctx, t); };
        return relax<kChecked>(start, limit, from, SlowTerm<decltype(lookup)>{lookup}, fault);
      });
}

Result<TokenIds> Encoder::Impl::scored(const unsigned char* in, std::size_t n,
                                      const CancelCheck& cancel) const {
  if (n == 0) return TokenIds{};
  Scratch scratch((n + 1) * sizeof(ScoredCell));
  ScoredCell* cells = scratch.as<ScoredCell>();
  cells[0] = {0.0, 0, 0};
  for (std::size_t i = 1; i <= n; ++i) cells[i] = {kUnreachableScore, 0, 0};

  TokenId fault = 0;
  const PassEnd end = ids_in_table ? scored_pass<false>(in, n, cells, fault, cancel)
                                   : scored_pass<true>(in, n, cells, fault, cancel);
  if (end == PassEnd::kFault) return Error::index_out_of_bounds(vocab.tokens.size(), fault);
  if (end == PassEnd::kStopped) return Error::interrupted();
  if (cells[n].score == kUnreachableScore) return greedy(in, n, cancel);
  return reconstruct(cells, n);
}

template <class Count>
Result<TokenIds> Encoder::Impl::dense_with(const unsigned char* in, std::size_t n,
                                           const CancelCheck& cancel) const {
  using Cell = DenseCell<Count>;
  constexpr Count kUnreachable = std::numeric_limits<Count>::max();
  Scratch scratch((n + 1) * sizeof(Cell));
  Cell* cells = scratch.as<Cell>();
  cells[0] = {0, 0, 0};
  for (std::size_t i = 1; i <= n; ++i) cells[i] = {kUnreachable, 0, 0};
  const std::size_t span = max_token_len;
  const std::size_t per_poll = positions_per_poll(span);
  for (std::size_t block = 0; block < n;) {
    const std::size_t block_end = n - block > per_poll ? block + per_poll : n;
    for (std::size_t s = block; s < block_end; ++s) {
      if (cells[s].count == kUnreachable) continue;
      const Count c = cells[s].count + 1;
      Cell* from = cells + s;
      const unsigned char* start = in + s;
      const unsigned char* limit = in + (n - s > span ? s + span : n);
      const bool stepped = trie.walk(start, limit, [&](TokenId t, const unsigned char* end) {
        const std::uint32_t len = static_cast<std::uint32_t>(end - start);
        if (c < from[len].count) from[len] = {c, t, len};
      });
      if (!stepped && c < from[1].count) from[1] = {c, in[s], 1};
    }
    block = block_end;
    if (block < n && stop_requested(cancel)) return Error::interrupted();
  }
  if (cells[n].count == kUnreachable) return greedy(in, n, cancel);
  return reconstruct(cells, n);
}

Result<TokenIds> Encoder::Impl::dense(const unsigned char* in, std::size_t n,
                                     const CancelCheck& cancel) const {
  if (n == 0) return TokenIds{};
  // 32-bit counts hold any count below n + 1 while n stays under the
  // unreachable marker.
  if (n < std::numeric_limits<std::uint32_t>::max()) {
    return dense_with<std::uint32_t>(in, n, cancel);
  }
  return dense_with<std::uint64_t>(in, n, cancel);
}

Result<TokenIds> Encoder::encode_greedy(std::string_view input, const CancelCheck& cancel) const {
  return impl_->greedy(bytes_of(input), input.size(), cancel);
}

Result<TokenIds> Encoder::encode_scored(std::string_view input, const CancelCheck& cancel) const {
  return impl_->scored(bytes_of(input), input.size(), cancel);
}

Result<TokenIds> Encoder::encode_dense(std::string_view input, const CancelCheck& cancel) const {
  return impl_->dense(bytes_of(input), input.size(), cancel);
}

std::size_t Encoder::piece_end(std::string_view input, std::size_t start) const {
  const std::size_t n = input.size();
  if (n - start <= kChunkSize) return n;
  std::size_t end = start + kChunkSize;
  // A name longer than a piece that starts the piece is kept whole in it,
  // and the end is never moved back inside it.
  std::size_t keep = start + 1;
  for (const std::string& name : impl_->special_names) {
    if (name.size() > kChunkSize && input.substr(start, name.size()) == name) {
      keep = std::max(keep, start + name.size());
    }
  }
  end = std::max(end, keep);
  if (end >= n) return n;
  // Moving the end back to a name's start can put it inside an earlier
  // name, so look again until no name crosses it.
  for (bool moved = true; moved;) {
    moved = false;
    for (const std::string& name : impl_->special_names) {
      // A crossing occurrence starts in (end - name.size(), end).
      const std::size_t from = std::max(keep, end - std::min(end, name.size() - 1));
      const std::size_t found = input.substr(0, end + name.size() - 1).find(name, from);
      if (found < end) {
        end = found;
        moved = true;
      }
    }
  }
  return end;
}

std::size_t Encoder::piece_lookahead() const {
  std::size_t longest = 1;
  for (const std::string& name : impl_->special_names) longest = std::max(longest, name.size());
  return longest - 1;
}

Result<TokenIds> Encoder::encode_parallel(std::string_view input,
                                          const CancelCheck& cancel) const {
  const std::size_t n = input.size();
  if (n == 0) return TokenIds{};
  if (n <= kParallelThreshold) return encode_scored(input, cancel);

  std::vector<std::size_t> cuts{0};
  while (cuts.back() < n) cuts.push_back(piece_end(input, cuts.back()));
  const std::size_t chunks = cuts.size() - 1;
  struct Slot {
    TokenIds ids;
    std::optional<Error> error;
    bool out_of_memory = false;
  };
  std::vector<Slot> slots(chunks);
  const Impl& impl = *impl_;
  // Only the calling thread asks `cancel`; a stop reaches the chunks in
  // progress through `stop` at their next poll, and the ones not yet begun
  // end at once.
  std::atomic<bool> stop{false};
  const std::thread::id caller = std::this_thread::get_id();
  auto poll_caller = [&] {
    if (stop.load(std::memory_order_relaxed)) return true;
    if (!stop_requested(cancel)) return false;
    stop.store(true, std::memory_order_relaxed);
    return true;
  };
  const CancelCheck on_caller = cancel ? CancelCheck(poll_caller) : CancelCheck();
  const CancelCheck on_worker = [&] { return stop.load(std::memory_order_relaxed); };
  auto task = [&](std::size_t k) {
    Slot& slot = slots[k];
    const std::size_t start = cuts[k];
    const std::size_t len = cuts[k + 1] - start;
    try {
      if (stop.load(std::memory_order_relaxed)) {
        slot.error = Error::interrupted();
        return;
      }
      const bool on_calling_thread = std::this_thread::get_id() == caller;
      Result<TokenIds> ids =
          impl.scored(bytes_of(input) + start, len, on_calling_thread ? on_caller : on_worker);
      if (ids.ok()) {
        slot.ids = std::move(ids).value();
      } else {
        slot.error = std::move(ids).error();
      }
    } catch (const std::bad_alloc&) {
      slot.out_of_memory = true;
    } catch (...) {
      slot.error = Error::internal("unexpected failure while encoding a chunk");
    }
  };
  if (cancel) {
    WorkerPool::shared().run(chunks, task, poll_caller);
  } else {
    WorkerPool::shared().run(chunks, task);
  }

  // The first failed chunk in input order decides, whatever the scheduling.
  std::size_t total = 0;
  for (Slot& slot : slots) {
    if (slot.out_of_memory) throw std::bad_alloc();
    if (slot.error) return std::move(*slot.error);
    total += slot.ids.size();
  }
  TokenIds joined;
  joined.reserve(total);
  for (Slot& slot : slots) {
    joined.insert(joined.end(), slot.ids.begin(), slot.ids.end());
    TokenIds().swap(slot.ids);
  }
  return joined;
}

Result<const Encoder*> Encoder::ordinary() const {
  if (impl_->vocab.special_tokens.empty()) return this;
  Impl& impl = *impl_;
  // call_once leaves the flag unset when the build throws (out of memory),
  // so a later call tries again.
  std::call_once(impl.ordinary_once, [&impl] {
    Vocab vocab = impl.vocab;
    const std::vector<TokenId> special_ids = sorted_special_ids(vocab);
    // A token with empty bytes is never in the trie; the learned token whose
    // bytes a special token shadowed is found again.
    for (Token& token : vocab.tokens) {
      if (std::binary_search(special_ids.begin(), special_ids.end(), token.id)) token.bytes.clear();
    }
    Result<Encoder> built = assemble(std::move(vocab), impl.context_weight, impl.pairs);
    if (built.ok()) {
      impl.ordinary = std::make_unique<Encoder>(std::move(built).value());
    } else {
      impl.ordinary_error = std::move(built).error();
    }
  });
  if (impl.ordinary_error) return *impl.ordinary_error;
  return impl.ordinary.get();
}

Result<Offsets> Encoder::offsets(std::span<const TokenId> ids) const {
  const std::vector<Token>& tokens = impl_->vocab.tokens;
  Offsets out;
  out.reserve(ids.size());
  std::uint64_t total = 0;
  for (TokenId id : ids) {
    if (id >= tokens.size()) return Error::index_out_of_bounds(tokens.size(), id);
    const std::uint64_t end = total + tokens[id].bytes.size();
    out.emplace_back(total, end);
    total = end;
  }
  return out;
}

const Vocab& Encoder::vocab() const {
  return impl_->vocab;
}
double Encoder::context_weight() const {
  return impl_->context_weight;
}
std::size_t Encoder::max_token_len() const {
  return impl_->max_token_len;
}

}  // namespace tarvik
