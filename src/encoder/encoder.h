// The Encoder: a Vocab, the trie built over it and the context weight.
//
// Modes (all take the filtered input bytes, never fail on any byte string with
// a vocabulary the system built, and always return ids that decode to the
// input):
//   encode_greedy   - longest match at every position.
//   encode_scored   - one forward pass maximising the sum of token log_probs
//                     plus context_weight x the bigram value against the best
//                     path's previous token.
//   encode_parallel - encode_scored, with inputs above kParallelThreshold cut
//                     into pieces of kChunkSize bytes (see piece_end) encoded
//                     on the worker pool.
//   encode_dense    - fewest tokens.
// Every mode takes an optional cancellation check (tarvik/callbacks.h),
// polled every few milliseconds of work, counted in trie steps a position may
// take, so a vocabulary with very long tokens is polled as often as any other;
// when it returns true the call ends with kInterrupted. encode_parallel polls
// it on the calling thread only and stops every chunk.
// Immutable once built: a changed vocabulary makes a new Encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"
#include "tarvik/callbacks.h"
#include "vocab/vocab.h"

namespace tarvik {

class PairTable;

constexpr std::size_t kParallelThreshold = 131072;
constexpr std::size_t kChunkSize = 65536;
constexpr double kUnseenPairScore = -10.0;


class Encoder {
 public:
  static Result<Encoder> build(Vocab vocab, double context_weight);
  // A new Encoder over this vocabulary plus the special token `name` (see
  // Vocab::add_special_token), sharing this one's bigram rows instead of
  // rebuilding them: a special token takes part in no bigram. The rvalue
  // form hands this Encoder's vocabulary on instead of copying it, leaving
  // this one unusable on success and unchanged on failure.
  Result<Encoder> with_special_token(std::string_view name) const&;
  Result<Encoder> with_special_token(std::string_view name) &&;

  Encoder(Encoder&&) noexcept;
  Encoder& operator=(Encoder&&) noexcept;
  ~Encoder();

  Result<TokenIds> encode_greedy(std::string_view input, const CancelCheck& cancel = {}) const;
  Result<TokenIds> encode_scored(std::string_view input, const CancelCheck& cancel = {}) const;
  Result<TokenIds> encode_parallel(std::string_view input, const CancelCheck& cancel = {}) const;
  Result<TokenIds> encode_dense(std::string_view input, const CancelCheck& cancel = {}) const;

  // This encoder with the special tokens left out of the trie (their names
  // are then ordinary text), sharing the pair table; built on first use,
  // once, and kept with this one. *this when there are no special tokens.
  // Only for encoding: its vocab() has the special tokens' bytes blanked.
  Result<const Encoder*> ordinary() const;

  // Where the piece of a long input that starts at `start` ends, for
  // encode_parallel and the batch runner: start + kChunkSize (at most the
  // input's end), moved back to the start of a special token's name that
  // would otherwise cross it, so that the name is found whole in the next
  // piece (never back to `start` itself: a piece is never empty).
  std::size_t piece_end(std::string_view input, std::size_t start) const;
  // How far past start + kChunkSize piece_end may look: the longest such
  // name's length less one.
  std::size_t piece_lookahead() const;

  // (start, end) byte offsets of each id, by the running sum of token lengths.
  Result<Offsets> offsets(std::span<const TokenId> ids) const;

  const Vocab& vocab() const;
  double context_weight() const;
  std::size_t max_token_len() const;

 private:
  struct Impl;
  explicit Encoder(std::unique_ptr<Impl> impl);
  // Builds the trie and log-prob array; builds the bigram rows unless given.
  static Result<Encoder> assemble(Vocab&& vocab, double context_weight,
                                  std::shared_ptr<const PairTable> pairs);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarvik
