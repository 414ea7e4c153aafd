// The merge trainer.
//
// Training is two stages: counting the distinct whitespace-led chunks of the
// text (chunk_counts.h), then the merge loop on those counts, which grows the
// base vocabulary by merging the best-scoring adjacent pair until the target
// size is reached or no pair is left, and finally sets every token's log_prob
// and the bigram table. The result is a function of the multiset of (chunk
// bytes, weight) alone: chunks are laid out in a canonical order, equally
// scored pairs go to the smallest (left, right), and every floating-point sum
// runs in id order. So any way of counting the same chunks (one corpus, its
// parts as separate texts, merged count blobs) trains the same vocabulary.
//
// Console output (progress bar, verbose log) goes to `console`, which must be
// set. Fails only when a console write fails, when the cancellation check
// asks to stop (kInterrupted) or on more text than it can count (kLimit).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/result.h"
#include "tarvik/callbacks.h"
#include "training/chunk_counts.h"
#include "vocab/vocab.h"

namespace tarvik {

struct MergeOptions {
  std::uint64_t target_vocab_size = 8192;
  bool verbose = false;
  bool show_progress = true;
  // When set, no merge makes a token longer than this many bytes.
  std::optional<std::uint64_t> max_token_bytes;
  // The merge heap is cut back to about this many entries (8 bytes each)
  // when it holds twice as many; the choices never depend on it.
  std::size_t heap_keep = std::size_t{1} << 20;
};

// The most text (the sum of weight times length over the chunks) the merge
// loop can count: it keeps token counts in signed 64 bits and pair coverages,
// at most twice the text, in unsigned ones. More is a kLimit error.
inline constexpr std::uint64_t kMaxTrainedBytes = (std::uint64_t{1} << 63) - 1;

// Counts `corpus` on the worker pool and trains on the counts.
Result<Vocab> train(std::string_view corpus, const MergeOptions& options,
                    const ConsoleSink& console, const CancelCheck& cancel = {});

// The merge loop on counted chunks. Takes the counts by value because it
// frees them as soon as they are laid out; std::move them in when they are no
// longer needed.
Result<Vocab> train_from_counts(training::ChunkCounts counts, const MergeOptions& options,
                                const ConsoleSink& console, const CancelCheck& cancel = {});
// The same, with the progress bar's times counted from `started` (when the
// caller's run began, its counting included).
Result<Vocab> train_from_counts(training::ChunkCounts counts, const MergeOptions& options,
                                const ConsoleSink& console, const CancelCheck& cancel,
                                std::chrono::steady_clock::time_point started);

}  // namespace tarvik
