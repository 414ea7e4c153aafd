// Counting text that arrives a piece at a time (files read in blocks, items of
// a Python iterator), in batches on all runners of the worker pool.
//
// The producer copies text in with feed()/finish_text(); once full() it calls
// count(), which counts every complete chunk buffered so far on the pool and
// keeps only the chunk still open at the end of an unfinished text. Each
// buffered stretch starts where a chunk starts (a text's first byte or a
// whitespace byte) and ends where one ends, so the runners can count any
// stretch as a text of its own and the counts are those of the texts as fed,
// however the blocks were cut. Memory is one batch plus the open chunk, plus
// each runner's table of distinct chunks.
//
// count() polls `cancel` on the calling thread between slices of a few
// megabytes (the calling thread is one of the runners, and every part is
// small), so a stop request is seen within one slice's work.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"
#include "tarvik/callbacks.h"
#include "training/chunk_counts.h"

namespace tarvik::training {

class BatchCounter {
 public:
  static constexpr std::uint64_t kDefaultBatch = std::uint64_t{16} << 20;

  // `expected_bytes`, when known, sizes the counters' shares (see
  // ChunkCounter::for_text_of); 0 counts as small.
  explicit BatchCounter(std::uint64_t batch_bytes = kDefaultBatch,
                        std::uint64_t expected_bytes = 0);

  // The next bytes of the current text (a new text when none is open).
  void feed(std::string_view block);
  // Ends the current text; harmless when none is open.
  void finish_text();
  // add_text(t) is feed(t) then finish_text().
  void add_text(std::string_view text) {
    feed(text);
    finish_text();
  }

  // True when a batch's worth of text waits for count().
  bool full() const { return buffer_.size() - carried_ >= batch_bytes_; }
  // Bytes fed so far.
  std::uint64_t bytes_fed() const { return fed_; }

  // Counts the complete chunks buffered so far.
  Status count(const CancelCheck& cancel = {});
  // Ends an open text, counts the rest and returns the counts of everything fed.
  Result<ChunkCounts> finish(const CancelCheck& cancel = {});

 private:
  std::uint64_t batch_bytes_;
  std::string buffer_;
  // Complete stretches of buffer_, as (begin, end) offsets.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> stretches_;
  bool in_text_ = false;
  std::uint64_t open_start_ = 0;  // where the open text's uncounted bytes begin
  std::uint64_t scanned_ = 0;     // bytes of the open stretch known to hold no whitespace
  std::uint64_t carried_ = 0;     // bytes kept from the previous batch
  std::uint64_t fed_ = 0;
  std::vector<ChunkCounter> counters_;  // one per runner, kept across batches
};

// How far counting files has got: the bytes read so far, and the total when
// every input is a regular file (not a pipe); `finished` once they are all
// counted.
struct CountingProgress {
  std::uint64_t done = 0;
  std::optional<std::uint64_t> total;
  bool finished = false;
};
using CountingObserver = std::function<Status(const CountingProgress&)>;

// Counts files read in blocks, in batches on the worker pool: each its own
// text, or with `joined` one text of them all (the chunks of their
// concatenation). Every path is checked (and sized) before anything is read
// or observed, so a missing or unreadable file fails at once, as kIo with the
// errno and the path. `observe`, when set, is told the progress once the
// paths are checked, after every block and at the end; an error it returns
// stops the count.
Result<ChunkCounts> count_files(const std::vector<std::string>& paths, bool joined,
                                const CountingObserver& observe = {},
                                const CancelCheck& cancel = {});

}  // namespace tarvik::training
