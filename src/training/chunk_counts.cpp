// Counting distinct chunks. Most chunks are a few bytes long: those of up to
// seven bytes are counted in a table keyed by the bytes themselves (one
// memory access per chunk); longer ones in a table whose entries keep their
// bytes in an arena and whose slots carry part of the hash, so a probe rarely
// compares bytes twice.
//
// Performance notes: each runner counts its part of a corpus into tables of
// its own (a shared table under locks was not worth trying at two to a few
// dozen runners), and the tables are merged afterwards. Merged into one
// counter, one after another, that merge was serial: on mixed.txt (30 MB,
// 555 K distinct chunks, 2 runners) 0.06 s of the 0.14 s, and on many cores
// it would grow with every runner. So a counter keeps its chunks in one share
// per runner, chosen by hash, and runner i merges and lays out share i of
// every counter: 2 runners count mixed.txt in 0.108-0.138 s instead of
// 0.119-0.144 s (1.36-1.67x one runner's 0.18-0.19 s, against 1.47-1.52x
// before), and 0.25 GB of files with 7.4 M distinct chunks peak at 434 MiB
// instead of 498-593 MiB. With one share a counter does what it did
// before: +5.8 % instructions on english.txt (callgrind), no change in time
// the machine's noise could show.
#include "training/chunk_counts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "common/parallel_sort.h"
#include "common/worker_pool.h"
#include "training/chunk_tables.h"

namespace tarvik::training {
namespace {

using chunk_tables::kMul1;
using chunk_tables::kMul2;
using chunk_tables::LongTable;
using chunk_tables::MediumTable;
using chunk_tables::ShortTable;

// The scan between two cancellation polls, and the smallest part of a corpus
// worth handing to a runner of its own.
constexpr std::uint64_t kSliceBytes = std::uint64_t{4} << 20;
constexpr std::uint64_t kMinPart = std::uint64_t{1} << 20;

// Index of the first whitespace byte at or after `from`, or size.
std::uint64_t next_space(const unsigned char* bytes, std::uint64_t from, std::uint64_t size) {
  while (from < size && !is_chunk_space(bytes[from])) ++from;
  return from;
}

}  // namespace

// ---------------------------------------------------------------------------
// ChunkCounts

namespace {

// A chunk with its first eight bytes in front, byte-swapped so that the
// first is the most significant: the head settles nearly every comparison
// without touching the arena, which sorting the chunks themselves read at
// random for every comparison. Zeros past the end of a short chunk sort
// below every byte, so differing heads order the strings correctly; equal
// heads fall back to the full comparison.
struct KeyedChunk {
  std::uint64_t head;
  Chunk chunk;

  static KeyedChunk of(const Chunk& chunk, std::uint64_t head) { return {head, chunk}; }
  Chunk restore() const { return chunk; }
  std::uint64_t weight() const { return chunk.weight; }
  std::uint64_t length() const { return chunk.length; }
  std::uint64_t source() const { return chunk.source; }
};

// The same in the size of a Chunk, for the usual counts (every chunk under
// 16 MiB, the arena under 1 TiB): the length and arena offset share a word,
// and an inline chunk's bytes are its head. Sorting these in place needs no
// memory beyond the records, where the wider ones grew the array by a third:
// at the start of a large training that was the peak of the whole run.
struct PackedChunk {
  static constexpr unsigned kLengthBits = 24;
  static constexpr std::uint64_t kMaxLength = (std::uint64_t{1} << kLengthBits) - 1;
  static constexpr std::uint64_t kMaxSource = (std::uint64_t{1} << (64 - kLengthBits)) - 1;

  std::uint64_t head;
  std::uint64_t weight_;
  std::uint64_t where;  // length | arena offset << kLengthBits

  static PackedChunk of(const Chunk& chunk, std::uint64_t head) {
    const std::uint64_t offset = chunk.is_inline() ? 0 : chunk.source;
    return {head, chunk.weight, chunk.length | offset << kLengthBits};
  }
  Chunk restore() const { return Chunk{source(), length(), weight_}; }
  std::uint64_t weight() const { return weight_; }
  std::uint64_t length() const { return where & kMaxLength; }
  std::uint64_t source() const {
    return length() <= Chunk::kInlineBytes ? __builtin_bswap64(head) : where >> kLengthBits;
  }
};
static_assert(sizeof(PackedChunk) == sizeof(Chunk));

}  // namespace

template <class Record>
void ChunkCounts::sort_through(bool weight_first) {
  // The records are written over the table itself, from the last chunk down
  // (record i starts at or after the end of chunk i - 1, so no chunk is
  // overwritten before it is read), and the sorted chunks go back over the
  // records from the first one up: at a large training's start the table
  // and its records side by side were the peak of the whole run.
  const std::size_t n = chunks_.size();
  chunks_.reserve((n * sizeof(Record) + sizeof(Chunk) - 1) / sizeof(Chunk));
  auto* table = reinterpret_cast<unsigned char*>(chunks_.data());
  for (std::size_t i = n; i-- > 0;) {
    Chunk chunk;
    std::memcpy(&chunk, table + i * sizeof(Chunk), sizeof chunk);
    std::uint64_t word = chunk.source;
    if (!chunk.is_inline()) std::memcpy(&word, arena_.data() + chunk.source, 8);
    const Record record = Record::of(chunk, __builtin_bswap64(word));
    std::memcpy(table + i * sizeof(Record), &record, sizeof record);
  }
  MappedVector<Record> keyed = std::move(chunks_).template reinterpret_as<Record>(n);
  const char* const arena = arena_.data();
  parallel_sort(
      keyed.begin(), keyed.end(), [arena, weight_first](const Record& x, const Record& y) {
        if (weight_first && x.weight() != y.weight()) return x.weight() > y.weight();
        if (x.head != y.head) return x.head < y.head;
        // Equal heads: a chunk of under eight bytes is a prefix of the other.
        const std::uint64_t nx = x.length(), ny = y.length();
        if (nx <= Chunk::kInlineBytes || ny <= Chunk::kInlineBytes) return nx < ny;
        // char_traits<char> compares as unsigned char.
        return std::string_view(arena + x.source(), nx) < std::string_view(arena + y.source(), ny);
      });
  auto* out = reinterpret_cast<unsigned char*>(keyed.data());
  for (std::size_t i = 0; i < n; ++i) {
    const Chunk chunk = keyed[i].restore();
    std::memcpy(out + i * sizeof(Chunk), &chunk, sizeof chunk);
  }
  chunks_ = std::move(keyed).template reinterpret_as<Chunk>(n);
  chunks_.shrink_to_fit();
}

void ChunkCounts::sort_by(bool weight_first) {
  const bool packable = arena_.size() <= PackedChunk::kMaxSource &&
                        std::all_of(chunks_.begin(), chunks_.end(), [](const Chunk& chunk) {
                          return chunk.length <= PackedChunk::kMaxLength;
                        });
  if (packable) {
    sort_through<PackedChunk>(weight_first);
  } else {
    sort_through<KeyedChunk>(weight_first);
  }
}

void ChunkCounts::sort_by_weight() {
  sort_by(true);
}

void ChunkCounts::sort_by_bytes() {
  sort_by(false);
}

void ChunkCounts::append(std::string_view bytes, std::uint64_t weight) {
  Chunk chunk{0, bytes.size(), weight};
  if (chunk.is_inline()) {
    std::memcpy(&chunk.source, bytes.data(), bytes.size());
  } else {
    chunk.source = arena_.size();
    arena_.reserve_more(arena_.size() + bytes.size());
    arena_.resize_for_overwrite(arena_.size() + bytes.size());
    std::memcpy(arena_.data() + chunk.source, bytes.data(), bytes.size());
  }
  chunks_.push_back(chunk);
  total_bytes_ += bytes.size() * weight;
  distinct_bytes_ += bytes.size();
}

void ChunkCounts::release() {
  chunks_.release();
  arena_.release();
  total_bytes_ = distinct_bytes_ = 0;
}

// ---------------------------------------------------------------------------
// ChunkCounter

namespace {

// Which of `shares` parts a chunk's hash falls in. The bits come from a second
// mixing of the key, not from the bits that place it in its table: a share
// whose keys all agreed in their leading home bits would crowd half its table.
std::size_t share_of(std::uint64_t hash, std::size_t shares) {
  std::uint64_t h = hash * kMul2;
  h ^= h >> 29;
  h *= kMul1;
  return static_cast<std::size_t>((static_cast<unsigned __int128>(h) * shares) >> 64);
}

std::uint64_t medium_hash(std::uint64_t lo, std::uint64_t hi) { return lo * kMul1 ^ hi; }

// One share of a counter's distinct chunks: the chunks whose share_of is its
// index. Counters with as many shares as the pool has runners are merged share
// by share, each share on a runner of its own.
struct Share {
  ShortTable short_chunks;
  MediumTable medium_chunks;
  LongTable long_chunks;

  std::uint64_t size() const {
    return short_chunks.size() + medium_chunks.size() + long_chunks.size();
  }
  // Arena bytes of its chunks longer than Chunk::kInlineBytes.
  std::uint64_t arena_bytes() const { return medium_chunks.bytes() + long_chunks.arena_bytes(); }

  // Adds each of its chunks to the share place(hash of the chunk) names, and
  // leaves it empty. Long entries are kept in the order they were first
  // seen, which their hashes do not follow.
  template <class Place>
  void move_into(Place&& place) {
    // Each add is a miss once the tables outgrow the cache, so entries go in
    // a batch behind their slots' prefetch, as counting does.
    constexpr std::size_t kBatch = 16;
    struct Pending {
      std::uint64_t lo, hi, weight;  // hi == 0: a short chunk
      Share* to;
    };
    Pending batch[kBatch];
    std::size_t batched = 0;
    auto flush = [&] {
      for (std::size_t k = 0; k < batched; ++k) {
        const Pending& entry = batch[k];
        if (entry.hi == 0) {
          entry.to->short_chunks.add(entry.lo, entry.weight);
        } else {
          entry.to->medium_chunks.add(entry.lo, entry.hi, entry.weight);
        }
      }
      batched = 0;
    };
    short_chunks.for_each([&](std::uint64_t key, std::uint64_t weight) {
      Share& to = place(key);
      to.short_chunks.prefetch(key);
      batch[batched++] = {key, 0, weight, &to};
      if (batched == kBatch) flush();
    });
    medium_chunks.for_each([&](std::uint64_t lo, std::uint64_t hi, std::uint64_t weight) {
      Share& to = place(medium_hash(lo, hi));
      to.medium_chunks.prefetch(lo, hi);
      batch[batched++] = {lo, hi, weight, &to};
      if (batched == kBatch) flush();
    });
    flush();
    const char* arena = long_chunks.arena();
    for (const Chunk& entry : long_chunks.entries()) {
      const char* bytes = arena + entry.source;
      const std::uint64_t h = LongTable::hash(bytes, entry.length);
      place(h).long_chunks.add(h, bytes, entry.length, entry.weight);
    }
    clear();
  }

  // Adds the chunks of `other`, a share of the same index in another
  // counter, and leaves it empty. Unlike move_into, each table is rebuilt
  // once at the size of both, reading the two front to back and giving
  // their pages back behind (see rebuilt_slots): at the end of counting a
  // large corpus, the merge's tables growing beside both counters' full
  // ones were the peak of the whole training.
  void absorb(Share& other) {
    short_chunks.absorb(other.short_chunks);
    medium_chunks.absorb(other.medium_chunks);
    const char* arena = other.long_chunks.arena();
    for (const Chunk& entry : other.long_chunks.entries()) {
      const char* bytes = arena + entry.source;
      long_chunks.add(LongTable::hash(bytes, entry.length), bytes, entry.length, entry.weight);
    }
    other.clear();
  }

  // Writes its chunks to chunks[0, size()) and their out-of-line bytes to
  // arena[0, arena_bytes()), where arena_at is that arena position's offset in
  // the whole arena. Returns (total bytes, distinct bytes) and leaves it empty.
  std::pair<std::uint64_t, std::uint64_t> emit(Chunk* chunks, char* arena, std::uint64_t arena_at) {
    Chunk* out = chunks;
    const std::uint64_t long_bytes = long_chunks.arena_bytes();
    if (long_bytes > 0) std::memcpy(arena, long_chunks.arena(), long_bytes);
    for (const Chunk& entry : long_chunks.entries()) {
      *out++ = Chunk{arena_at + entry.source, entry.length, entry.weight};
    }
    std::uint64_t at = long_bytes;
    long_chunks.clear();
    short_chunks.for_each([&](std::uint64_t key, std::uint64_t weight) {
      *out++ = Chunk{key & ((std::uint64_t{1} << 56) - 1), key >> 56, weight};
    });
    short_chunks.clear();
    medium_chunks.for_each([&](std::uint64_t lo, std::uint64_t hi, std::uint64_t weight) {
      const std::uint64_t length = hi >> 56;
      std::memcpy(arena + at, &lo, 8);
      std::memcpy(arena + at + 8, &hi, length - 8);
      *out++ = Chunk{arena_at + at, length, weight};
      at += length;
    });
    medium_chunks.clear();
    std::uint64_t total = 0, distinct = 0;
    for (const Chunk* chunk = chunks; chunk != out; ++chunk) {
      total += chunk->length * chunk->weight;
      distinct += chunk->length;
    }
    return {total, distinct};
  }

  void clear() {
    short_chunks.clear();
    medium_chunks.clear();
    long_chunks.clear();
  }
};

std::size_t default_shares() { return std::max<std::size_t>(1, WorkerPool::shared().size()); }

}  // namespace

struct ChunkCounter::Tables {
  std::vector<Share> shares;

  explicit Tables(std::size_t count) : shares(count) {}
  Share& share(std::uint64_t hash) {
    return shares.size() == 1 ? shares[0] : shares[share_of(hash, shares.size())];
  }
};

ChunkCounter::ChunkCounter() : ChunkCounter(default_shares()) {}

std::vector<ChunkCounter> ChunkCounter::for_text_of(std::size_t count, std::uint64_t bytes) {
  constexpr std::uint64_t kBytesPerShare = std::uint64_t{1} << 27;
  constexpr std::uint64_t kMostPerRunner = 8;
  const std::uint64_t per_runner =
      std::clamp<std::uint64_t>(bytes / kBytesPerShare, 1, kMostPerRunner);
  const std::size_t shares = default_shares() * static_cast<std::size_t>(per_runner);
  std::vector<ChunkCounter> counters;
  counters.reserve(count);
  for (std::size_t i = 0; i < count; ++i) counters.emplace_back(shares);
  return counters;
}

ChunkCounter::ChunkCounter(std::size_t shares)
    : tables_(std::make_unique<Tables>(std::max<std::size_t>(1, shares))) {}
ChunkCounter::~ChunkCounter() = default;
ChunkCounter::ChunkCounter(ChunkCounter&&) noexcept = default;
ChunkCounter& ChunkCounter::operator=(ChunkCounter&&) noexcept = default;

void ChunkCounter::count(const char* bytes, std::uint64_t length, bool padded) {
  if (length <= Chunk::kInlineBytes) {
    std::uint64_t word = 0;
    if (padded) {
      std::memcpy(&word, bytes, 8);
      word &= (std::uint64_t{1} << (8 * length)) - 1;
    } else {
      std::memcpy(&word, bytes, length);
    }
    const std::uint64_t key = word | length << 56;
    tables_->share(key).short_chunks.add(key, 1);
  } else if (length <= MediumTable::kMaxBytes) {
    std::uint64_t lo, hi = 0;
    std::memcpy(&lo, bytes, 8);
    std::memcpy(&hi, bytes + 8, length - 8);
    hi |= length << 56;
    tables_->share(medium_hash(lo, hi)).medium_chunks.add(lo, hi, 1);
  } else {
    const std::uint64_t h = LongTable::hash(bytes, length);
    tables_->share(h).long_chunks.add(h, bytes, length, 1);
  }
}

void ChunkCounter::feed(std::string_view block) {
  const std::uint64_t n = block.size();
  if (n == 0) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
  std::uint64_t start = 0;
  if (in_text_) {
    // The open chunk runs on to the first whitespace byte of this block.
    std::uint64_t end = next_space(bytes, 0, n);
    pending_.append(block.data(), end);
    if (end == n) return;
    count(pending_.data(), pending_.size(), false);
    pending_.clear();
    start = end;
  }
  in_text_ = true;
  // Chunks of up to 15 bytes (nearly all of them in text) are keyed by their
  // bytes and counted a batch behind their discovery, their table slots
  // prefetched meanwhile: once a table outgrows the cache nearly every count
  // is a cache miss, and a table of arena offsets costs three of them.
  constexpr std::size_t kBatch = 16;
  struct Key {
    std::uint64_t lo, hi;  // hi == 0: a short chunk keyed by lo alone
    Share* share;
  };
  Key keys[kBatch];
  std::size_t batched = 0;
  auto flush = [&] {
    for (std::size_t k = 0; k < batched; ++k) {
      if (keys[k].hi == 0) {
        keys[k].share->short_chunks.add(keys[k].lo, 1);
      } else {
        keys[k].share->medium_chunks.add(keys[k].lo, keys[k].hi, 1);
      }
    }
    batched = 0;
  };
  auto mask = [](std::uint64_t word, std::uint64_t length) {
    return length == 0 ? 0 : word & (~std::uint64_t{0} >> (64 - 8 * length));
  };
  for (std::uint64_t i = start + 1; i < n; ++i) {
    if (!is_chunk_space(bytes[i])) continue;
    const std::uint64_t length = i - start;
    if (length <= MediumTable::kMaxBytes && start + 16 <= n) {
      std::uint64_t lo, hi;
      std::memcpy(&lo, bytes + start, 8);
      std::memcpy(&hi, bytes + start + 8, 8);
      Key& key = keys[batched];
      if (length <= Chunk::kInlineBytes) {
        key.lo = mask(lo, length) | length << 56;
        key.hi = 0;
        key.share = &tables_->share(key.lo);
        key.share->short_chunks.prefetch(key.lo);
      } else {
        key.lo = lo;
        key.hi = mask(hi, length - 8) | length << 56;
        key.share = &tables_->share(medium_hash(key.lo, key.hi));
        key.share->medium_chunks.prefetch(key.lo, key.hi);
      }
      if (++batched == kBatch) flush();
    } else {
      count(block.data() + start, length, false);
    }
    start = i;
  }
  flush();
  pending_.assign(block.data() + start, n - start);
}

void ChunkCounter::finish_text() {
  if (!in_text_) return;
  count(pending_.data(), pending_.size(), false);
  pending_.clear();
  in_text_ = false;
}

void ChunkCounter::absorb(ChunkCounter& other) {
  other.finish_text();
  std::vector<Share>& theirs = other.tables_->shares;
  // Every key is placed by its hash: between counters of the same share
  // count that is the share of the same index, and it also holds for
  // counters made around a change of the pool's size.
  for (Share& share : theirs) {
    share.move_into([&](std::uint64_t hash) -> Share& { return tables_->share(hash); });
  }
  other.tables_ = std::make_unique<Tables>(theirs.size());
}

ChunkCounts ChunkCounter::take() {
  std::vector<ChunkCounter> one;
  one.push_back(std::move(*this));
  ChunkCounts counts = merge(one);
  *this = std::move(one[0]);
  return counts;
}

ChunkCounts ChunkCounter::merge(std::vector<ChunkCounter>& counters) {
  ChunkCounts counts;
  if (counters.empty()) return counts;
  for (ChunkCounter& counter : counters) counter.finish_text();
  ChunkCounter& into = counters[0];
  std::vector<Share>& shares = into.tables_->shares;
  WorkerPool& pool = WorkerPool::shared();
  // Share by share on the pool when the counters agree on their shares (they
  // do unless the pool changed size between them); one by one otherwise.
  const bool by_share = std::all_of(counters.begin(), counters.end(), [&](ChunkCounter& c) {
    return c.tables_->shares.size() == shares.size();
  });
  if (by_share) {
    pool.run(shares.size(), [&](std::size_t i) {
      for (std::size_t r = 1; r < counters.size(); ++r) {
        shares[i].absorb(counters[r].tables_->shares[i]);
      }
    });
  } else {
    for (std::size_t r = 1; r < counters.size(); ++r) into.absorb(counters[r]);
  }
  for (std::size_t r = 1; r < counters.size(); ++r) counters[r] = ChunkCounter();

  // Laid out share after share: its long chunks, short ones, medium ones. The
  // first share's long entries and bytes become the start of the arrays
  // without a copy (growing a mapping keeps its pages).
  const std::size_t n = shares.size();
  std::vector<std::uint64_t> chunk_at(n + 1, 0), arena_at(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    chunk_at[i + 1] = chunk_at[i] + shares[i].size();
    arena_at[i + 1] = arena_at[i] + shares[i].arena_bytes();
  }
  const std::uint64_t first_long = shares[0].long_chunks.size();
  const std::uint64_t first_long_bytes = shares[0].long_chunks.arena_bytes();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sums(n);
  {
    LongTable& first = shares[0].long_chunks;
    MappedVector<Chunk> entries;
    MappedVector<char> arena;
    first.drain(entries, arena);
    counts.chunks_ = std::move(entries);
    counts.arena_ = std::move(arena);
    for (std::uint64_t k = 0; k < first_long; ++k) {
      sums[0].first += counts.chunks_[k].length * counts.chunks_[k].weight;
      sums[0].second += counts.chunks_[k].length;
    }
  }
  counts.chunks_.reserve(chunk_at[n]);
  counts.chunks_.resize_for_overwrite(chunk_at[n]);
  counts.arena_.reserve(arena_at[n]);
  counts.arena_.resize_for_overwrite(arena_at[n]);
  pool.run(n, [&](std::size_t i) {
    // The first share's long part is in place (its table is empty now).
    const std::uint64_t chunk = chunk_at[i] + (i == 0 ? first_long : 0);
    const std::uint64_t at = arena_at[i] + (i == 0 ? first_long_bytes : 0);
    auto [total, distinct] =
        shares[i].emit(counts.chunks_.data() + chunk, counts.arena_.data() + at, at);
    sums[i].first += total;
    sums[i].second += distinct;
  });
  for (const auto& [total, distinct] : sums) {
    counts.total_bytes_ += total;
    counts.distinct_bytes_ += distinct;
  }
  return counts;
}

// ---------------------------------------------------------------------------
// Counting on the worker pool

namespace {

// Runs `work(counter, item)` for items [0, count) on every runner of the pool,
// each runner counting into its own counter, then merges the counters. Only
// the calling thread polls `cancel` (it may need the caller's context); the
// others watch the flag it sets. `work` returns false to stop everything.
template <class Work>
Result<ChunkCounts> count_on_pool(std::size_t count, std::uint64_t bytes, const CancelCheck& cancel,
                                  Work&& work) {
  WorkerPool& pool = WorkerPool::shared();
  const std::size_t runners = std::max<std::size_t>(1, std::min(pool.size(), count));
  std::vector<ChunkCounter> counters = ChunkCounter::for_text_of(runners, bytes);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<Error> errors;
  std::vector<std::size_t> error_items;
  std::mutex errors_lock;
  auto poll = [&]() -> bool {
    if (stop.load(std::memory_order_relaxed)) return true;
    if (cancel && std::this_thread::get_id() == caller && cancel()) {
      stop.store(true);
      std::lock_guard<std::mutex> guard(errors_lock);
      errors.push_back(Error::interrupted());
      error_items.push_back(0);
      return true;
    }
    return false;
  };
  auto fail = [&](std::size_t item, Error error) {
    stop.store(true);
    // An interruption is recorded by the poll that asked for it; the other
    // runners merely stop.
    if (error.kind == ErrorKind::kInterrupted) return;
    std::lock_guard<std::mutex> guard(errors_lock);
    errors.push_back(std::move(error));
    error_items.push_back(item);
  };
  pool.run(
      runners,
      [&](std::size_t runner) {
        for (;;) {
          std::size_t item = next.fetch_add(1);
          if (item >= count || poll()) return;
          Status status = work(counters[runner], item, poll);
          if (!status.ok()) {
            fail(item, std::move(status).error());
            return;
          }
        }
      },
      // The calling thread, once out of items, keeps asking while it
      // waits, so a stop reaches the runners still counting.
      [&] { poll(); });
  if (!errors.empty()) {
    // The failure of the earliest item, so that the report does not depend
    // on scheduling (an interruption counts as the earliest).
    std::size_t first = 0;
    for (std::size_t i = 1; i < errors.size(); ++i) {
      if (error_items[i] < error_items[first]) first = i;
    }
    return std::move(errors[first]);
  }
  return ChunkCounter::merge(counters);
}

// Feeds `text` in slices, polling between them.
template <class Poll>
Status feed_polled(ChunkCounter& counter, std::string_view text, Poll& poll) {
  while (!text.empty()) {
    std::string_view slice = text.substr(0, kSliceBytes);
    counter.feed(slice);
    text.remove_prefix(slice.size());
    if (poll()) return Error::interrupted();
  }
  return {};
}

}  // namespace

Result<ChunkCounts> count_corpus(std::string_view corpus, const CancelCheck& cancel) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(corpus.data());
  const std::uint64_t n = corpus.size();
  // Parts of at least kMinPart bytes, a few per runner so that an uneven
  // split still keeps every runner busy; each cut moves forward to the next
  // whitespace byte, where the part after it starts a chunk anyway.
  const std::uint64_t runners = WorkerPool::shared().size();
  const std::uint64_t parts = std::max<std::uint64_t>(1, std::min(runners * 4, n / kMinPart));
  std::vector<std::uint64_t> cuts{0};
  for (std::uint64_t k = 1; k < parts; ++k) {
    std::uint64_t cut = next_space(bytes, std::max(n / parts * k, cuts.back() + 1), n);
    if (cut >= n) break;
    cuts.push_back(cut);
  }
  cuts.push_back(n);
  return count_on_pool(cuts.size() - 1, n, cancel,
                       [&](ChunkCounter& counter, std::size_t part, auto& poll) -> Status {
                         std::string_view text = corpus.substr(cuts[part], cuts[part + 1] - cuts[part]);
                         TARVIK_TRY(feed_polled(counter, text, poll));
                         counter.finish_text();
                         return {};
                       });
}

Result<ChunkCounts> count_texts(const std::vector<std::string_view>& texts,
                                const CancelCheck& cancel) {
  std::uint64_t bytes = 0;
  for (std::string_view text : texts) bytes += text.size();
  return count_on_pool(texts.size(), bytes, cancel,
                       [&](ChunkCounter& counter, std::size_t i, auto& poll) -> Status {
                         TARVIK_TRY(feed_polled(counter, texts[i], poll));
                         counter.finish_text();
                         return {};
                       });
}

}  // namespace tarvik::training
