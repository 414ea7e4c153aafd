// Vocabulary pruning.
//
// Keeps the base tokens (positions 0-255), the learned tokens used most in
// `greedy_ids` (the greedy encoding of a corpus) up to the budget that
// `target_size` leaves after the base and special tokens, and the special
// tokens, renumbered densely in that order; carries merge pairs and bigrams
// over to the new ids. When target_size >= vocab_size the vocabulary is
// returned unchanged. A table of fewer than 256 tokens is an internal fault.
#pragma once

#include <cstdint>
#include <span>

#include "common/result.h"
#include "vocab/vocab.h"

namespace tarvik {

Result<Vocab> prune_vocab(const Vocab& vocab, std::uint64_t target_size,
                          std::span<const TokenId> greedy_ids);

}  // namespace tarvik
