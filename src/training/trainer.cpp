// The merge trainer: the loop over merges, its console output and the choice
// of position width. The indexed state that makes each step cheap is in
// merge_state.h.
#include "training/trainer.h"

#include <chrono>

#include "training/chunks.h"
#include "training/merge_state.h"
#include "training/progress.h"

namespace tarvik {

using namespace training;

namespace {

template <class Layout>
Result<Vocab> run(std::string_view corpus, MappedVector<Chunk> chunks, const MergeOptions& options,
                  const ConsoleSink& console, const StopCheck& stop,
                  std::chrono::steady_clock::time_point start) {
  Vocab vocab = Vocab::base();
  auto built = MergeState<Layout>::build(corpus, std::move(chunks), stop);
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
    // floor(9 * merges / 10) without overflow.
    const std::uint64_t boundary = merges / 10 * 9 + merges % 10 * 9 / 10;
    const std::uint64_t interval = progress_interval(merges);
    std::uint64_t step = 0;
    for (; step < merges; ++step) {
      if (stop && stop()) return Error::interrupted();
      const bool entropy_phase = step >= boundary;
      // Token ids must stay below the flag bit of the slot layout.
      if (vocab.tokens.size() >= Layout::kMaxTokens) break;
      std::optional<PairChoice> best = state.best_pair(entropy_phase);
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

}  // namespace

Result<Vocab> train(std::string_view corpus, const MergeOptions& options,
                    const ConsoleSink& console, const CancelCheck& cancel) {
  const auto start = std::chrono::steady_clock::now();
  StopCheck stop;
  if (cancel) stop = [&cancel] { return cancel(); };
  bool stopped = false;
  MappedVector<Chunk> chunks = split_chunks(corpus, stop, &stopped);
  if (stopped) return Error::interrupted();

  std::uint64_t slots = 1;
  for (const Chunk& chunk : chunks) slots += chunk.length + 1;
  if (options.target_vocab_size <= NarrowLayout::kMaxTokens &&
      corpus.size() < NarrowLayout::kMaxCorpus && slots < NarrowLayout::kMaxSlots) {
    return run<NarrowLayout>(corpus, std::move(chunks), options, console, stop, start);
  }
  return run<WideLayout>(corpus, std::move(chunks), options, console, stop, start);
}

}  // namespace tarvik
