// The in-memory vocabulary.
#include "vocab/vocab.h"

namespace tarvik {

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
