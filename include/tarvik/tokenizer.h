// tarvik::Tokenizer: a trained tokenizer and every workflow on it.
//
// A Tokenizer owns an immutable compiled model (vocabulary, trie, bigram
// scores), shared read-only between copies, plus its ordered list of
// pre-tokenization filters. Copying a Tokenizer is cheap and yields an
// independent tokenizer: the changing operations (add_special_token,
// add_filter, prune) build a new model and swap it in, never touching one
// another copy may be reading. Const members may be called from any number of
// threads at once; a changing member needs the caller's exclusive use. A
// moved-from Tokenizer may only be assigned to or destroyed.
//
// Text is bytes throughout: a str from any language binding is its UTF-8, and
// every length and offset counts bytes. Failures come back as values
// (tarvik/result.h); console output (progress bar, log lines, reports) goes to
// the ConsoleSink given, and long work polls the CancelCheck.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvik/callbacks.h"
#include "tarvik/result.h"
#include "tarvik/types.h"

namespace tarvik {

namespace training {
class ChunkCounts;
}

// The sink that writes to file descriptor 2, one piece at a time under a
// process-wide lock.
ConsoleSink stderr_sink();

enum class EncodeMode : std::uint8_t {
  kScored,  // context-weighted (the default); long inputs in chunks on the worker pool
  kGreedy,  // longest match at every position
  kDense,   // fewest tokens
};

// The ids of many texts in one array: item i is ids[offsets[i], offsets[i + 1]).
struct FlatIds {
  TokenIds ids;
  std::vector<std::uint64_t> offsets;  // one more than the texts; offsets[0] == 0
};

// Where a batch's ids go: one array that only grows at its end, in input order.
class IdSink {
 public:
  virtual ~IdSink() = default;
  // Room for `count` more ids at the end, which the caller then fills; the
  // memory stays valid until the next call. May throw std::bad_alloc.
  virtual TokenId* extend(std::size_t count) = 0;
  // A hint before the first extend(): at most `most` ids follow in all (a
  // batch never yields more ids than its input has bytes). A sink may set
  // room aside for them, so that it never grows by copying.
  virtual void expect(std::size_t most) { (void)most; }
};

// A growable id array for batch results: a few hundred KiB on the heap, then
// pages mapped from the system that grow by remapping instead of copying, so
// a large result is never held twice. Move-only; a moved-from MappedIds may
// only be assigned to or destroyed.
class MappedIds final : public IdSink {
 public:
  MappedIds();
  MappedIds(MappedIds&&) noexcept;
  MappedIds& operator=(MappedIds&&) noexcept;
  ~MappedIds() override;

  TokenId* extend(std::size_t count) override;
  // Maps room for `most` ids at once when they would not fit on the heap:
  // pages that are never written cost address space only.
  void expect(std::size_t most) override;
  // nullptr while empty.
  TokenId* data() const;
  std::size_t size() const;

 private:
  struct Memory;
  std::unique_ptr<Memory> memory_;
};

struct TrainOptions {
  std::uint64_t vocab_size = kDefaultVocabSize;
  double context_weight = kDefaultContextWeight;
  bool verbose = false;
  bool show_progress = true;
  // Added after training in this order; a repeated name adds nothing.
  std::vector<std::string> special_tokens;
  // Runs the quality check first and writes its report when it holds warnings.
  bool check_quality = true;
  // When set, no merge makes a token longer than this many bytes.
  std::optional<std::uint64_t> max_token_bytes;
};

// Texts handed over one at a time (each its own text: no chunk spans two),
// counted in batches on the worker pool. Only the distinct chunks are kept
// once a batch is counted. Feed with add(); when full(), call count() (which
// may take a while: the binding releases its lock around it). Then hand the
// counter to Tokenizer::train_from_texts or Tokenizer::count_chunks.
class TextCounter {
 public:
  // `progress`, when set, receives the counting bar after every batch.
  explicit TextCounter(ConsoleSink progress = {});
  TextCounter(TextCounter&&) noexcept;
  TextCounter& operator=(TextCounter&&) noexcept;
  ~TextCounter();

  // Copies one whole text in.
  void add(std::string_view text);
  // The next block of a text that arrives in pieces; end it with end_text().
  void feed(std::string_view block);
  void end_text();
  // True when a batch waits to be counted.
  bool full() const;
  // Counts the waiting batch (the progress bar is redrawn after it).
  Status count(const CancelCheck& cancel = {});
  std::uint64_t bytes_added() const;

  struct State;

 private:
  friend class Tokenizer;
  std::unique_ptr<State> state_;
};

class Tokenizer {
 public:
  // Trains on one corpus held in memory: quality report (when asked), chunk
  // counting, merges, special tokens, then the compiled model.
  static Result<Tokenizer> train(std::string_view corpus, const TrainOptions& options,
                                 const ConsoleSink& console = stderr_sink(),
                                 const CancelCheck& cancel = {});

  // Trains on files, each its own text, read in blocks (never whole) and
  // counted on the worker pool. Every path is opened before any counting, so
  // a missing, unreadable or directory path fails at once (kIo with the errno
  // and path) with nothing written. With show_progress, a counting bar
  // (megabytes read of the files' total) comes before the merge bar. The
  // quality report is that of the concatenation when each file after the
  // first starts with a whitespace byte; so is the model.
  static Result<Tokenizer> train_from_files(const std::vector<std::string>& paths,
                                            const TrainOptions& options,
                                            const ConsoleSink& console = stderr_sink(),
                                            const CancelCheck& cancel = {});
  // Trains on the texts a TextCounter was fed (it is left empty).
  static Result<Tokenizer> train_from_texts(TextCounter& texts, const TrainOptions& options,
                                            const ConsoleSink& console = stderr_sink(),
                                            const CancelCheck& cancel = {});
  // The distinct-chunk counts of the fed texts as a count blob (see
  // training/count_blob.h for its layout), for merging and training elsewhere.
  static Result<std::string> count_chunks(TextCounter& texts, const CancelCheck& cancel = {});
  // The blob of the summed counts of `blobs`; kInvalidArgument names a damaged one.
  static Result<std::string> merge_chunk_counts(const std::vector<std::string_view>& blobs,
                                                const CancelCheck& cancel = {});
  // Trains on the counts a blob holds: the same model and report as training
  // on the texts that were counted.
  static Result<Tokenizer> train_from_counts(std::string_view blob, const TrainOptions& options,
                                             const ConsoleSink& console = stderr_sink(),
                                             const CancelCheck& cancel = {});

  // Reads a model file (filters saved with it are restored, in order).
  // `on_interrupt` is called when a signal interrupts a read; true stops with
  // kInterrupted. File errors are kIo, without a prefix.
  static Result<Tokenizer> load(const std::string& path,
                                double context_weight = kDefaultContextWeight,
                                const CancelCheck& on_interrupt = {});
  // The same from a model document held in memory.
  static Result<Tokenizer> from_document(std::string_view document,
                                         double context_weight = kDefaultContextWeight);

  // Writes the model file; a failed save leaves any existing file as it was.
  // `on_interrupt` as for load.
  Status save(const std::string& path, const CancelCheck& on_interrupt = {}) const;
  // The model document exactly as save writes it.
  std::string to_document() const;
  // Hands the same document to `write` in one piece, valid during the call,
  // without copying it into a string (the document of a large model is
  // larger than the model); returns what `write` returns.
  Status write_document(const std::function<Status(std::string_view)>& write) const;

  // ---- Special tokens and filters (changing members) ----

  // Adds a special token whose bytes are the name's bytes, or returns the id
  // the name already has. Encoding produces it from the next call on.
  Result<TokenId> add_special_token(std::string_view name);
  // Appends the filter an accepted name selects; kInvalidArgument otherwise.
  Status add_filter(std::string_view name);
  // Keeps the base bytes, the learned tokens used most by the greedy encoding
  // of `corpus` and the special tokens; writes the "Pruned vocab" line.
  // The greedy pass polls `cancel`.
  Status prune(std::uint64_t target_size, std::string_view corpus,
               const ConsoleSink& console = stderr_sink(), const CancelCheck& cancel = {});

  // ---- Inspection ----

  std::uint64_t vocab_size() const;
  // Entries of the token table (ids below it have bytes).
  std::size_t table_size() const;
  double context_weight() const;
  std::optional<TokenId> special_token_id(std::string_view name) const;
  // (name, id) in order of addition.
  std::vector<std::pair<std::string, TokenId>> special_tokens() const;
  bool has_filters() const;
  // The names the active filters report, in order.
  std::vector<std::string> filter_names() const;
  // The bytes of one token; kInvalidArgument when the id is outside the table.
  Result<std::string_view> token_bytes(TokenId id) const;
  // The id whose bytes are exactly `bytes`, by the encoders' rule: when
  // several tokens share them, the later one in the table. Empty bytes have none.
  std::optional<TokenId> token_id(std::string_view bytes) const;

  // ---- Encoding and decoding ----

  // The text after the active filters, in order (a copy when there are none).
  std::string apply_filters(std::string_view text) const;
  // Encodes text that has already been filtered. With `special` false the
  // names of special tokens are ordinary text and no special id comes out.
  // `cancel` is polled every few milliseconds of work (from the calling
  // thread only); true stops every mode with kInterrupted.
  Result<TokenIds> encode_filtered(std::string_view bytes, EncodeMode mode, bool special = true,
                                   const CancelCheck& cancel = {}) const;
  // apply_filters, then encode_filtered.
  Result<TokenIds> encode(std::string_view text, EncodeMode mode = EncodeMode::kScored,
                          bool special = true, const CancelCheck& cancel = {}) const;
  // Encodes many texts that have already been filtered, on the worker pool;
  // item i is exactly encode_filtered(texts[i], mode, special). `cancel` is
  // polled on the calling thread only, every 50 ms or so; a stop returns
  // kInterrupted soon after. The first failing item in input order decides
  // the error. `meanwhile`, when set, is called at most once, on the calling
  // thread, once the pool's other threads have started on the texts, and the
  // calling thread joins them when it returns: work of the caller's own, such
  // as preparing the next batch or handing on the last one's ids, then runs
  // beside the encoding instead of between batches. It is not called for an
  // empty batch; on a pool of one thread, or when the first texts are too
  // few to share, it runs before the encoding. What it throws comes out of
  // this call once the pool's threads are done. If it forks and returns in
  // the child, the child's call fails (kInternal) instead of waiting for
  // threads the child does not have.
  Result<FlatIds> encode_batch(std::span<const std::string_view> texts, EncodeMode mode,
                               bool special = true, const CancelCheck& cancel = {},
                               const std::function<void()>& meanwhile = {}) const;
  // The same, appending the ids to `out` (which sees them once, item after
  // item) and writing texts.size() + 1 boundaries, counted from the first id
  // this call appends, to `offsets`. On failure `out` holds a prefix.
  Status encode_batch(std::span<const std::string_view> texts, EncodeMode mode, bool special,
                      IdSink& out, std::span<std::uint64_t> offsets, const CancelCheck& cancel = {},
                      const std::function<void()>& meanwhile = {}) const;
  // How the default mode cuts a filtered text of over 131072 bytes into
  // pieces that it encodes independently (with special tokens): the piece
  // that starts at `start` ends 65536 bytes later (at most at the text's
  // end), or earlier, where a special token's name that would cross that
  // point starts. Which end it is depends only on the bytes before
  // start + 65536 + piece_lookahead(), so a stream can cut as it reads.
  std::size_t piece_end(std::string_view bytes, std::size_t start) const;
  std::size_t piece_lookahead() const;
  // (start, end) byte offsets of each id by the running sum of token lengths.
  Result<Offsets> offsets(std::span<const TokenId> ids) const;
  // The joined token bytes; the index-out-of-bounds fault for an id outside the table.
  Result<std::string> decode(std::span<const TokenId> ids) const;

  // ---- Corpus tools ----

  static QualityReport check_quality(std::string_view corpus);
  // The report of the files' concatenation (a chunk may span two files),
  // read in blocks and counted on the worker pool, so memory follows the
  // distinct chunks, not the files. Paths are checked as train_from_files
  // checks them.
  static Result<QualityReport> check_quality_of_files(const std::vector<std::string>& paths,
                                                      const CancelCheck& cancel = {});
  // The block printed before training when the report holds warnings; empty otherwise.
  static std::string format_quality_report(const QualityReport& report);

  Tokenizer(const Tokenizer&);
  Tokenizer& operator=(const Tokenizer&);
  Tokenizer(Tokenizer&&) noexcept;
  Tokenizer& operator=(Tokenizer&&) noexcept;
  ~Tokenizer();

  struct State;

 private:
  explicit Tokenizer(std::unique_ptr<State> state);
  // Quality report, merges, special tokens and the compiled model: the tail
  // every way of training shares once its text is counted.
  static Result<Tokenizer> train_counted(
      training::ChunkCounts counts, const TrainOptions& options, const ConsoleSink& console,
      const CancelCheck& cancel, std::optional<std::chrono::steady_clock::time_point> started);
  std::unique_ptr<State> state_;
};

}  // namespace tarvik
