// Vocabulary pruning.
#include "vocab/prune.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tarvik {

Result<Vocab> prune_vocab(const Vocab& vocab, std::uint64_t target_size,
                          std::span<const TokenId> greedy_ids) {
  if (target_size >= vocab.vocab_size) return vocab;

  // Usage counts by id. The encoder only yields ids inside the table, but a
  // loaded table's id fields need not be positions, so count by value.
  std::unordered_map<TokenId, std::uint64_t> usage;
  for (TokenId id : greedy_ids) ++usage[id];

  std::unordered_set<TokenId> special_ids;
  for (const auto& special : vocab.special_tokens) special_ids.insert(special.id);
  const std::uint64_t special_count = vocab.special_tokens.size();

  struct Candidate {
    TokenId id;
    std::uint64_t count;
  };
  std::vector<Candidate> candidates;
  for (const auto& token : vocab.tokens) {
    if (token.id < 256 || special_ids.count(token.id)) continue;
    auto it = usage.find(token.id);
    candidates.push_back({token.id, it == usage.end() ? 0 : it->second});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.count > b.count; });

  std::uint64_t budget = target_size >= 256 + special_count ? target_size - 256 - special_count : 0;
  std::uint64_t kept = std::min<std::uint64_t>(budget, candidates.size());
  std::unordered_set<TokenId> keep;
  for (std::uint64_t i = 0; i < kept; ++i) keep.insert(candidates[i].id);

  if (vocab.tokens.size() < 256) {
    return Error::internal("cannot prune a vocabulary of " + std::to_string(vocab.tokens.size()) +
                           " tokens: the 256 byte tokens are missing");
  }

  Vocab pruned;
  std::unordered_map<TokenId, TokenId> id_map;
  auto next_id = [&pruned] { return static_cast<TokenId>(pruned.tokens.size()); };
  pruned.tokens.reserve(256 + kept + special_count);

  for (TokenId p = 0; p < 256; ++p) {
    const Token& token = vocab.tokens[p];
    pruned.tokens.push_back(Token{p, token.bytes, token.log_prob, std::nullopt});
    id_map[p] = p;
  }
  for (const auto& token : vocab.tokens) {
    if (token.id < 256 || special_ids.count(token.id) || !keep.count(token.id)) continue;
    TokenId new_id = next_id();
    id_map[token.id] = new_id;
    Token copy{new_id, token.bytes, token.log_prob, std::nullopt};
    if (token.merge_pair) {
      auto remap = [&id_map](TokenId part) {
        auto it = id_map.find(part);
        return it == id_map.end() ? part : it->second;
      };
      copy.merge_pair = MergePair{remap(token.merge_pair->first), remap(token.merge_pair->second)};
    }
    pruned.tokens.push_back(std::move(copy));
  }
  for (const auto& special : vocab.special_tokens) {
    TokenId new_id = next_id();
    id_map[special.id] = new_id;
    pruned.tokens.push_back(Token{new_id, special.bytes, 0.0, std::nullopt});
    pruned.special_tokens.push_back(SpecialToken{special.name, new_id, special.bytes});
    pruned.id_by_name[special.name] = new_id;
  }
  for (const auto& [key, value] : vocab.bigrams) {
    auto left = id_map.find(bigram_left(key));
    auto right = id_map.find(bigram_right(key));
    if (left == id_map.end() || right == id_map.end()) continue;
    pruned.bigrams[bigram_key(left->second, right->second)] = value;
  }
  pruned.vocab_size = pruned.tokens.size();
  return pruned;
}

}  // namespace tarvik
