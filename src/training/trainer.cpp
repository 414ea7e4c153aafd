// The merge trainer: the loop over merges, its console output and the choice
// of position width. The indexed state that makes each step cheap is in
// merge_state.h.
#include "training/trainer.h"

#include <chrono>

#include "training/chunk_counts.h"
#include "training/merge_state.h"
#include "training/progress.h"

namespace tarvik {

using namespace training;

namespace {

template <class Layout>
Result<Vocab> run(ChunkCounts counts, const MergeOptions& options, const ConsoleSink& console,
                  const CancelCheck& stop, std::chrono::steady_clock::time_point start) {
  Vocab vocab = Vocab::base();
  auto built = MergeState<Layout>::build(
      std::move(counts), options.max_token_bytes.value_or(UINT64_MAX), options.heap_keep, stop);
  if (!built.ok()) return std::move(built).error();
  MergeState<Layout>& state = built.value();

  const std::uint64_t merges = options.target_vocab_size > vocab.vocab_size
                                   ? options.target_vocab_size - vocab.vocab_size
                                   : 0;
  if (options.verbose) {
    TARVIK_TRY(console(start_line(vocab.vocab_size, merges)));
    TARVIK_TRY(console(initial_line(state.total_tokens(), state.entropy())));
  }
  if (merges > 0) {
    const std::uint64_t boundary = compress_phase_end(merges);
    const std::uint64_t interval = progress_interval(merges);
    std::uint64_t step = 0;
    for (; step < merges; ++step) {
      if (stop && stop()) return Error::interrupted();
      const bool entropy_phase = step >= boundary;
      // Token ids must stay below the flag bit of the slot layout.
      if (vocab.tokens.size() >= Layout::kMaxTokens) break;
      auto chosen = state.best_pair(entropy_phase, stop);
      if (!chosen.ok()) return std::move(chosen).error();
      const std::optional<PairChoice> best = *chosen;
      if (!best) break;
      const TokenId merged = vocab.append_merged(best->left, best->right);
      TARVIK_TRY(state.merge(*best, merged, stop));

      const std::uint64_t done = step + 1;
      if (options.show_progress && done % interval == 0) {
        TARVIK_TRY(console(progress_line(done, merges, entropy_phase, seconds_since(start))));
      }
      if (options.verbose && done % 100 == 0) {
        TARVIK_TRY(console(step_line(done, merges, vocab.tokens[best->left].bytes,
                                          vocab.tokens[best->right].bytes,
                                          vocab.tokens[merged].bytes, best->count, best->score,
                                          state.total_tokens(), state.entropy())));
      }
    }
    if (step < merges && options.verbose) TARVIK_TRY(console(stop_line(step)));
    if (options.show_progress) {
      TARVIK_TRY(console(final_progress_line(merges, seconds_since(start))));
    }
  }

  const std::uint64_t active = state.active_tokens();
  const std::uint64_t total = state.total_tokens();
  const double entropy = state.entropy();
  TARVIK_TRY(state.finalize(vocab, stop));
  if (options.verbose) {
    TARVIK_TRY(console(summary_line(vocab.vocab_size, active, total, entropy)));
  }
  return vocab;
}

// The layout is chosen from the counts alone, so it too is the same for every
// way of counting them.
Result<Vocab> train_counted(ChunkCounts counts, const MergeOptions& options,
                            const ConsoleSink& console, const CancelCheck& cancel,
                            std::chrono::steady_clock::time_point start) {
  if (counts.total_bytes() > kMaxTrainedBytes) {
    return Error::limit("too much text to train on: " + std::to_string(counts.total_bytes()) +
                        " bytes, at most " + std::to_string(kMaxTrainedBytes));
  }
  const std::uint64_t slots = counts.distinct_bytes() + counts.chunks().size() + 1;
  if (options.target_vocab_size <= NarrowLayout::kMaxTokens &&
      counts.total_bytes() < NarrowLayout::kMaxCorpus && slots < NarrowLayout::kMaxSlots) {
    return run<NarrowLayout>(std::move(counts), options, console, cancel, start);
  }
  return run<WideLayout>(std::move(counts), options, console, cancel, start);
}

}  // namespace

Result<Vocab> train(std::string_view corpus, const MergeOptions& options,
                    const ConsoleSink& console, const CancelCheck& cancel) {
  const auto start = std::chrono::steady_clock::now();
  auto counts = count_corpus(corpus, cancel);
  if (!counts.ok()) return std::move(counts).error();
  return train_counted(std::move(counts).value(), options, console, cancel, start);
}

Result<Vocab> train_from_counts(ChunkCounts counts, const MergeOptions& options,
                                const ConsoleSink& console, const CancelCheck& cancel) {
  return train_counted(std::move(counts), options, console, cancel,
                       std::chrono::steady_clock::now());
}

Result<Vocab> train_from_counts(ChunkCounts counts, const MergeOptions& options,
                                const ConsoleSink& console, const CancelCheck& cancel,
                                std::chrono::steady_clock::time_point started) {
  return train_counted(std::move(counts), options, console, cancel, started);
}

}  // namespace tarvik
