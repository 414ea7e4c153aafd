// The in-memory vocabulary: token table, special tokens, bigram table.
//
// Ids are resolved by position: the token with id i is tokens[i]. Ids 0-255 are
// the single bytes in every vocabulary the system builds. A Vocab loaded from a
// model file may break that (ids that are not positions, fewer than 256
// tokens, vocab_size different from the table length); every reader checks
// positions and reports an internal fault instead of reading out of bounds.
//
// The bigram table maps (left, right) to ln P(right | left), keyed by
// bigram_key(left, right), and holds its entries in key order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/result.h"
#include "tarvik/types.h"

namespace tarvik {

using MergePair = std::pair<TokenId, TokenId>;

struct Token {
  TokenId id = 0;
  std::string bytes;
  double log_prob = 0.0;
  std::optional<MergePair> merge_pair;

  bool operator==(const Token&) const = default;
};

struct SpecialToken {
  std::string name;
  TokenId id = 0;
  std::string bytes;

  bool operator==(const SpecialToken&) const = default;
};

constexpr std::uint64_t bigram_key(TokenId left, TokenId right) {
  return (static_cast<std::uint64_t>(left) << 32) | right;
}
constexpr TokenId bigram_left(std::uint64_t key) {
  return static_cast<TokenId>(key >> 32);
}
constexpr TokenId bigram_right(std::uint64_t key) {
  return static_cast<TokenId>(key);
}

// One entry a key, in key order, that is in (left, right) order: a flat array
// costs a fraction of a node-based map to build, copy, walk and write, and a
// lookup (only off the encoder's prebuilt rows) is a binary search.
class BigramTable {
 public:
  using Entry = std::pair<std::uint64_t, double>;

  BigramTable() = default;
  // The table of entries given in any order; where a key comes more than
  // once, the last value given holds.
  static BigramTable from_entries(std::vector<Entry> entries);

  // The entry of `key`, or end().
  const Entry* find(std::uint64_t key) const;
  const Entry* begin() const { return entries_.data(); }
  const Entry* end() const { return entries_.data() + entries_.size(); }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  bool operator==(const BigramTable&) const = default;

 private:
  std::vector<Entry> entries_;
};

struct Vocab {
  std::vector<Token> tokens;
  std::vector<SpecialToken> special_tokens;
  BigramTable bigrams;
  std::unordered_map<std::string, TokenId> id_by_name;
  std::uint64_t vocab_size = 0;

  // The 256 single-byte tokens and nothing else.
  static Vocab base();

  // Appends the merge of two existing tokens (positions the caller guarantees)
  // and returns its id, the new table length.
  TokenId append_merged(TokenId left, TokenId right);

  // Adds a special token named `name` (its bytes are the name's UTF-8) unless
  // that name is already one; returns the name's id either way. kLimit when
  // vocab_size or the id space has no room left.
  Result<TokenId> add_special_token(std::string_view name);

  std::optional<TokenId> find_special(std::string_view name) const;

  // The bytes of the token at position `id`, or the index-out-of-bounds fault.
  Result<std::string_view> token_bytes(TokenId id) const;

  // Concatenated bytes of the tokens, or the fault of the first bad id.
  Result<std::string> decode(std::span<const TokenId> ids) const;

  bool operator==(const Vocab&) const = default;
};

}  // namespace tarvik
