// Counting the distinct chunks of training text: the stage that every way of
// training (one corpus in memory, many texts, files, merged count blobs)
// shares before the merge loop.
//
// A chunk is the run of non-whitespace bytes at the very start of a text, or
// one whitespace byte (tab, line feed, carriage return, space) followed by the
// maximal run of non-whitespace bytes after it. Every text is its own: its
// first chunk starts at its first byte, and no chunk spans two texts. An empty
// text has no chunks.
//
// ChunkCounts owns the distinct chunks and their weights (occurrences); the
// bytes of chunks longer than seven bytes live in its own arena, so nothing
// refers back to the text they came from and memory follows the distinct
// chunk bytes, not the input. A ChunkCounter builds one from text fed in
// blocks of any size: the result never depends on where the blocks are cut.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "common/text.h"
#include "tarvik/callbacks.h"
#include "training/mapped_vector.h"

namespace tarvik::training {

// One distinct chunk. Chunks of up to kInlineBytes bytes carry their bytes in
// `source` (first byte lowest, so on this little-endian platform the bytes
// sit in memory order); longer ones their offset in ChunkCounts::arena().
struct Chunk {
  static constexpr std::uint64_t kInlineBytes = 7;

  std::uint64_t source;
  std::uint64_t length;
  std::uint64_t weight;

  bool is_inline() const { return length <= kInlineBytes; }
};

class ChunkCounts {
 public:
  ChunkCounts() = default;
  ChunkCounts(ChunkCounts&&) noexcept = default;
  ChunkCounts& operator=(ChunkCounts&&) noexcept = default;

  const MappedVector<Chunk>& chunks() const { return chunks_; }
  std::string_view arena() const { return {arena_.data(), arena_.size()}; }
  std::string_view bytes(const Chunk& chunk) const {
    return chunk.is_inline()
               ? std::string_view(reinterpret_cast<const char*>(&chunk.source), chunk.length)
               : std::string_view(arena_.data() + chunk.source, chunk.length);
  }

  // Sum of length x weight: the bytes of all texts counted.
  std::uint64_t total_bytes() const { return total_bytes_; }
  // Sum of the distinct chunks' lengths.
  std::uint64_t distinct_bytes() const { return distinct_bytes_; }
  bool empty() const { return chunks_.empty(); }

  // Weight descending, then bytes ascending: the order the merge loop lays
  // chunks out in, so that training is a function of the counts alone.
  void sort_by_weight();
  // Bytes ascending: the order of a count blob.
  void sort_by_bytes();

  // Appends a chunk known not to be present yet (weight > 0, non-empty).
  void append(std::string_view bytes, std::uint64_t weight);

  // Gives back the memory of the chunk records [first, last), which must
  // not be read again (see MappedVector::discard).
  void discard_chunks(std::size_t first, std::size_t last) { chunks_.discard(first, last); }

  // Frees everything.
  void release();

 private:
  friend class ChunkCounter;
  void sort_by(bool weight_first);
  template <class Record>
  void sort_through(bool weight_first);
  MappedVector<Chunk> chunks_;
  MappedVector<char> arena_;
  std::uint64_t total_bytes_ = 0;
  std::uint64_t distinct_bytes_ = 0;
};

// Counts the chunks of any number of texts, each fed in blocks. One counter
// belongs to one thread at a time; parallel counting gives each runner its own
// and merges them with merge(), on the worker pool: a counter keeps its
// distinct chunks in as many shares (by hash) as the pool has runners, and
// each runner merges and lays out one share.
class ChunkCounter {
 public:
  // Shares as many as the worker pool has runners, or `shares` (at least 1).
  ChunkCounter();
  explicit ChunkCounter(std::size_t shares);

  // `count` counters that together count about `bytes` of text, each in one
  // share per runner for every 128 MiB, at least one and at most eight. The
  // merge and the layout at the end of counting hold every table at once,
  // and each share adds the transient of its growth and layout; more,
  // smaller shares, only a runner's worth of them in flight at a time, keep
  // the end of counting from being the peak of a large training. Small
  // counts keep one share per runner: sixteen counted mixed.txt (30 MB)
  // about 15 % slower on two runners.
  static std::vector<ChunkCounter> for_text_of(std::size_t count, std::uint64_t bytes);
  ~ChunkCounter();
  ChunkCounter(ChunkCounter&&) noexcept;
  ChunkCounter& operator=(ChunkCounter&&) noexcept;

  // The next block of the current text. A chunk still open at the block's end
  // is carried into the next block.
  void feed(std::string_view block);
  // Ends the current text (counts its last chunk); the next feed starts a new
  // one. Harmless when no text is open.
  void finish_text();
  // feed(text) then finish_text().
  void add_text(std::string_view text) {
    feed(text);
    finish_text();
  }

  // Adds the counts of `other` (whose open text, if any, is ended first).
  void absorb(ChunkCounter& other);

  // The counts so far, in no particular order; ends an open text and leaves
  // the counter empty.
  ChunkCounts take();

  // The counts of everything the counters counted (each one's open text
  // ended), in no particular order; leaves every counter empty.
  static ChunkCounts merge(std::vector<ChunkCounter>& counters);

  struct Tables;

 private:
  void count(const char* bytes, std::uint64_t length, bool padded);

  std::unique_ptr<Tables> tables_;
  std::string pending_;  // the open chunk's bytes from earlier blocks
  bool in_text_ = false;
};

// Counts one corpus held in memory on all runners of the worker pool: the
// corpus is cut just before whitespace bytes (which leaves its chunks as they
// are) into one part per runner, each part is counted into its own table, and
// the tables are merged. `cancel` is polled every few megabytes.
Result<ChunkCounts> count_corpus(std::string_view corpus, const CancelCheck& cancel = {});

// Counts many texts (each its own) on all runners.
Result<ChunkCounts> count_texts(const std::vector<std::string_view>& texts,
                                const CancelCheck& cancel = {});

}  // namespace tarvik::training
