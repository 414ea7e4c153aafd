// Vocabulary pruning.
#include "vocab/prune.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvik {
namespace {

// A map keyed by token id. Ids of a vocabulary the system built are positions,
// so a flat array serves them; the ids of a loaded file can be anything and
// those beyond the table go to a hash map.
template <class T>
class IdTable {
 public:
  IdTable(std::size_t table_size, T absent) : dense_(table_size, absent), absent_(absent) {}

  T& operator[](TokenId id) {
    return id < dense_.size() ? dense_[id] : sparse_.try_emplace(id, absent_).first->second;
  }
  T get(TokenId id) const {
    if (id < dense_.size()) return dense_[id];
    auto it = sparse_.find(id);
    return it == sparse_.end() ? absent_ : it->second;
  }

 private:
  std::vector<T> dense_;
  std::unordered_map<TokenId, T> sparse_;
  T absent_;
};

// No new id can be this: a table never holds 2^32 tokens.
constexpr TokenId kNoId = 0xFFFFFFFF;

}  // namespace

Result<Vocab> prune_vocab(const Vocab& vocab, std::uint64_t target_size,
                          std::span<const TokenId> greedy_ids) {
  if (target_size >= vocab.vocab_size) return vocab;
  const std::size_t table_size = vocab.tokens.size();

  IdTable<std::uint64_t> usage(table_size, 0);
  for (TokenId id : greedy_ids) ++usage[id];

  IdTable<unsigned char> special(table_size, 0);
  for (const auto& entry : vocab.special_tokens) special[entry.id] = 1;
  const std::uint64_t special_count = vocab.special_tokens.size();
  auto learned = [&special](const Token& token) {
    return token.id >= 256 && !special.get(token.id);
  };

  struct Candidate {
    TokenId id;
    std::uint64_t count;
  };
  std::vector<Candidate> candidates;
  for (const auto& token : vocab.tokens) {
    if (learned(token)) candidates.push_back({token.id, usage.get(token.id)});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.count > b.count; });

  std::uint64_t budget = target_size >= 256 + special_count ? target_size - 256 - special_count : 0;
  std::uint64_t kept = std::min<std::uint64_t>(budget, candidates.size());
  IdTable<unsigned char> keep(table_size, 0);
  for (std::uint64_t i = 0; i < kept; ++i) keep[candidates[i].id] = 1;

  if (table_size < 256) {
    return Error::internal("cannot prune a vocabulary of " + std::to_string(table_size) +
                           " tokens: the 256 byte tokens are missing");
  }

  Vocab pruned;
  IdTable<TokenId> id_map(table_size, kNoId);
  auto next_id = [&pruned] { return static_cast<TokenId>(pruned.tokens.size()); };
  pruned.tokens.reserve(256 + kept + special_count);

  for (TokenId p = 0; p < 256; ++p) {
    const Token& token = vocab.tokens[p];
    pruned.tokens.push_back(Token{p, token.bytes, token.log_prob, std::nullopt});
    id_map[p] = p;
  }
  for (const auto& token : vocab.tokens) {
    if (!learned(token) || !keep.get(token.id)) continue;
    TokenId new_id = next_id();
    id_map[token.id] = new_id;
    Token copy{new_id, token.bytes, token.log_prob, std::nullopt};
    if (token.merge_pair) {
      // A part that is not (yet) mapped keeps its old id.
      auto remap = [&id_map](TokenId part) {
        TokenId mapped = id_map.get(part);
        return mapped == kNoId ? part : mapped;
      };
      copy.merge_pair = MergePair{remap(token.merge_pair->first), remap(token.merge_pair->second)};
    }
    pruned.tokens.push_back(std::move(copy));
  }
  for (const auto& entry : vocab.special_tokens) {
    TokenId new_id = next_id();
    id_map[entry.id] = new_id;
    pruned.tokens.push_back(Token{new_id, entry.bytes, 0.0, std::nullopt});
    pruned.special_tokens.push_back(SpecialToken{entry.name, new_id, entry.bytes});
    pruned.id_by_name[entry.name] = new_id;
  }
  std::vector<BigramTable::Entry> bigrams;
  bigrams.reserve(vocab.bigrams.size());
  for (const auto& [key, value] : vocab.bigrams) {
    TokenId left = id_map.get(bigram_left(key));
    TokenId right = id_map.get(bigram_right(key));
    if (left != kNoId && right != kNoId) bigrams.emplace_back(bigram_key(left, right), value);
  }
  pruned.bigrams = BigramTable::from_entries(std::move(bigrams));
  pruned.vocab_size = pruned.tokens.size();
  return pruned;
}

}  // namespace tarvik
