// The in-memory vocabulary.
#include "vocab/vocab.h"

#include <algorithm>

namespace tarvik {

BigramTable BigramTable::from_entries(std::vector<Entry> entries) {
  // A least-significant-digit radix sort on 16-bit digits, skipping digits
  // that all keys share (ids below 65536 leave two of the four passes), costs
  // a third of std::sort on a trained table; being stable, it leaves the
  // entries of one key in the order given.
  constexpr std::size_t kRadixFrom = 4096;
  if (entries.size() < kRadixFrom) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& x, const Entry& y) { return x.first < y.first; });
  } else {
    std::vector<Entry> scratch(entries.size());
    std::vector<std::size_t> starts(std::size_t{1} << 16);
    for (unsigned shift = 0; shift < 64; shift += 16) {
      auto digit = [shift](const Entry& e) { return (e.first >> shift) & 0xFFFF; };
      std::fill(starts.begin(), starts.end(), 0);
      for (const Entry& e : entries) ++starts[digit(e)];
      if (starts[digit(entries.front())] == entries.size()) continue;  // one digit value: no change
      std::size_t sum = 0;
      for (std::size_t& start : starts) sum += std::exchange(start, sum);
      for (const Entry& e : entries) scratch[starts[digit(e)]++] = e;
      entries.swap(scratch);
    }
  }
  // Keep the last entry of each run of one key.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].first == entries[i].first) continue;
    entries[kept++] = entries[i];
  }
  entries.resize(kept);
  BigramTable table;
  table.entries_ = std::move(entries);
  return table;
}

const BigramTable::Entry* BigramTable::find(std::uint64_t key) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const Entry& e, std::uint64_t k) { return e.first < k; });
  return it != entries_.end() && it->first == key ? &*it : end();
}

Vocab Vocab::base() {
  Vocab vocab;
  vocab.tokens.reserve(256);
  for (unsigned b = 0; b < 256; ++b) {
    vocab.tokens.push_back(
        Token{static_cast<TokenId>(b), std::string(1, static_cast<char>(b)), 0.0, std::nullopt});
  }
  vocab.vocab_size = 256;
  return vocab;
}

TokenId Vocab::append_merged(TokenId left, TokenId right) {
  TokenId id = static_cast<TokenId>(tokens.size());
  Token token;
  token.id = id;
  token.bytes.reserve(tokens[left].bytes.size() + tokens[right].bytes.size());
  token.bytes = tokens[left].bytes;
  token.bytes += tokens[right].bytes;
  token.merge_pair = MergePair{left, right};
  tokens.push_back(std::move(token));
  ++vocab_size;
  return id;
}

Result<TokenId> Vocab::add_special_token(std::string_view name) {
  if (auto it = id_by_name.find(std::string(name)); it != id_by_name.end()) return it->second;
  // A loaded model may declare any vocab_size; the count must not wrap, and
  // the new id must be a position an id can name.
  if (vocab_size == UINT64_MAX) {
    return Error::limit("vocabulary size " + std::to_string(vocab_size) +
                        " is the largest there can be; no token can be added");
  }
  if (tokens.size() > UINT32_MAX) {
    return Error::limit("token table holds " + std::to_string(tokens.size()) +
                        " entries; ids stop at 4294967295");
  }
  TokenId id = static_cast<TokenId>(tokens.size());
  tokens.push_back(Token{id, std::string(name), 0.0, std::nullopt});
  special_tokens.push_back(SpecialToken{std::string(name), id, std::string(name)});
  id_by_name.emplace(std::string(name), id);
  ++vocab_size;
  return id;
}

std::optional<TokenId> Vocab::find_special(std::string_view name) const {
  auto it = id_by_name.find(std::string(name));
  if (it == id_by_name.end()) return std::nullopt;
  return it->second;
}

Result<std::string_view> Vocab::token_bytes(TokenId id) const {
  if (id >= tokens.size()) return Error::index_out_of_bounds(tokens.size(), id);
  return std::string_view(tokens[id].bytes);
}

Result<std::string> Vocab::decode(std::span<const TokenId> ids) const {
  std::string out;
  out.reserve(ids.size() * 4);
  for (TokenId id : ids) {
    if (id >= tokens.size()) return Error::index_out_of_bounds(tokens.size(), id);
    out += tokens[id].bytes;
  }
  return out;
}

}  // namespace tarvik
