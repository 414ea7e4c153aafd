// The merge trainer.
//
// train() cuts the corpus into whitespace-led chunks, grows the base
// vocabulary by merging the best-scoring adjacent pair until the target size
// is reached or no pair is left, then sets every token's log_prob and the
// bigram table. Console output (progress bar, verbose log) goes to `console`,
// which must be set. Fails only when a console write fails or when the
// cancellation check asks to stop (kInterrupted).
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "common/result.h"
#include "tarvik/callbacks.h"
#include "vocab/vocab.h"

namespace tarvik {

struct MergeOptions {
  std::uint64_t target_vocab_size = 8192;
  bool verbose = false;
  bool show_progress = true;
};

Result<Vocab> train(std::string_view corpus, const MergeOptions& options,
                    const ConsoleSink& console, const CancelCheck& cancel = {});

}  // namespace tarvik
