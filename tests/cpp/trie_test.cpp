// Trie walks against a map of the token byte strings, on random vocabularies
// made to produce long single-child runs: long tokens, long shared prefixes,
// tokens ending inside another token's run, equal byte strings under
// different ids, empty tokens. Inputs are spliced from the tokens and cut or
// changed anywhere, so walks end inside runs, at their ends and just past
// them, and limits fall anywhere. Run under the sanitizers as well: a walk
// that read past its limit would be reported there.
#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "trie/trie.h"

using namespace tarvik;

namespace {

using testing::check;
using Reports = std::vector<std::pair<TokenId, std::size_t>>;

// What every walk must report: each token (the later of equal byte strings)
// whose bytes are the input from the start up to some end <= limit, shortest
// first; and whether any token starts with the first byte.
struct Reference {
  std::map<std::string, TokenId> ids;
  bool starts[256] = {};

  explicit Reference(const std::vector<Token>& tokens) {
    for (const Token& t : tokens) {
      if (t.bytes.empty()) continue;
      ids[t.bytes] = t.id;
      starts[static_cast<unsigned char>(t.bytes[0])] = true;
    }
  }
  bool walk(const std::string& in, std::size_t p, std::size_t limit, Reports& out) const {
    for (std::size_t e = p + 1; e <= limit; ++e) {
      auto it = ids.find(in.substr(p, e - p));
      if (it != ids.end()) out.emplace_back(it->second, e);
    }
    return starts[static_cast<unsigned char>(in[p])];
  }
};

Token tok(TokenId id, std::string bytes) {
  return Token{id, std::move(bytes), 0.0, std::nullopt};
}

Trie build(const std::vector<Token>& tokens) {
  Result<Trie> trie = Trie::build(tokens);
  if (!trie.ok()) {
    std::printf("build failed: %s\n", trie.error().message.c_str());
    std::abort();
  }
  return std::move(trie).value();
}

std::string random_bytes(std::mt19937& rng, std::size_t len, const std::string& alphabet) {
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string s;
  for (std::size_t i = 0; i < len; ++i) s += alphabet[pick(rng)];
  return s;
}

// Stems of up to 300 bytes (so runs far past the chain threshold), extended
// into families that share them, cut into prefixes that end inside runs, and
// repeated under other ids; now and then an empty token or the largest id.
std::vector<Token> random_tokens(std::mt19937& rng, bool with_bytes) {
  std::vector<Token> tokens;
  if (with_bytes) {
    for (unsigned b = 0; b < 256; ++b) tokens.push_back(tok(b, std::string(1, static_cast<char>(b))));
  }
  const std::string alphabet = rng() % 2 ? "ab" : "abc\xff";
  std::uniform_int_distribution<std::size_t> stem_len(1, 300), count(1, 6), extra(0, 40);
  std::uniform_int_distribution<TokenId> any_id(0, 5000);
  auto add = [&](std::string bytes) {
    const TokenId id = rng() % 50 == 0 ? 0xFFFFFFFFu : any_id(rng);
    tokens.push_back(tok(id, std::move(bytes)));
  };
  for (std::size_t s = count(rng); s > 0; --s) {
    const std::string stem = rng() % 3 == 0 ? std::string(stem_len(rng), 'a')
                                            : random_bytes(rng, stem_len(rng), alphabet);
    add(stem);
    for (std::size_t k = count(rng); k > 0; --k) add(stem + random_bytes(rng, extra(rng), alphabet));
    for (std::size_t k = count(rng) - 1; k > 0; --k) add(stem.substr(0, rng() % stem.size() + 1));
  }
  for (std::size_t k = rng() % 4; k > 0; --k) add(tokens[rng() % tokens.size()].bytes);
  if (rng() % 4 == 0) add("");
  std::shuffle(tokens.begin() + (with_bytes ? 256 : 0), tokens.end(), rng);
  return tokens;
}

// Token bytes glued together, each whole or cut short, with a few bytes
// changed so that some runs match only in part.
std::string random_input(std::mt19937& rng, const std::vector<Token>& tokens) {
  std::string in;
  for (std::size_t k = rng() % 5 + 1; k > 0; --k) {
    const std::string& bytes = tokens[rng() % tokens.size()].bytes;
    in += rng() % 3 == 0 ? bytes.substr(0, rng() % (bytes.size() + 1)) : bytes;
  }
  for (std::size_t k = rng() % 3; k > 0 && !in.empty(); --k) in[rng() % in.size()] ^= 1;
  if (in.empty()) in.assign(1, 'a');
  return in;
}

void test_against_reference() {
  std::mt19937 rng(20261208);
  int mismatches = 0;
  std::size_t chains = 0, walks = 0;
  for (int round = 0; round < 300; ++round) {
    const std::vector<Token> tokens = random_tokens(rng, round % 2 == 0);
    const Trie trie = build(tokens);
    const Reference ref(tokens);
    chains += trie.chain_count();
    for (int k = 0; k < 20; ++k) {
      const std::string in = random_input(rng, tokens);
      auto bytes = reinterpret_cast<const unsigned char*>(in.data());
      for (std::size_t p = 0; p < in.size(); p += 1 + rng() % 7) {
        // The encoders' limit (max_token_len), or one anywhere after p.
        std::size_t limit = std::min(in.size(), p + trie.max_token_len());
        if (rng() % 2) limit = p + 1 + rng() % (in.size() - p);
        Reports want, got;
        const bool want_step = ref.walk(in, p, limit, want);
        const bool got_step =
            trie.walk(bytes + p, bytes + limit, [&](TokenId id, const unsigned char* end) {
              got.emplace_back(id, static_cast<std::size_t>(end - bytes));
            });
        const Trie::Longest longest = trie.longest(bytes + p, bytes + limit);
        const bool longest_ok =
            want.empty() ? !longest.found && longest.end == bytes + p
                         : longest.found && longest.id == want.back().first &&
                               static_cast<std::size_t>(longest.end - bytes) == want.back().second;
        ++walks;
        if ((got != want || got_step != want_step || !longest_ok) && ++mismatches <= 5) {
          std::printf("  mismatch: round %d, input of %zu bytes, p %zu, limit %zu: %zu reports,"
                      " want %zu\n", round, in.size(), p, limit, got.size(), want.size());
        }
      }
    }
  }
  check(mismatches == 0, "walk and longest equal the map of token bytes on " +
                             std::to_string(walks) + " walks");
  // Otherwise the comparison above would say nothing about chains.
  check(chains > 300, "the random vocabularies make chains (" + std::to_string(chains) + ")");
}

// Runs just below, at and just above the chain threshold, ending at a
// terminal, at a branch and at a leaf; walks cut one byte before, at and one
// byte after each run's end.
void test_chain_threshold() {
  int mismatches = 0;
  for (std::size_t run = Trie::kMinChain - 2; run <= Trie::kMinChain + 2; ++run) {
    std::string stem(run + 1, 'r');
    stem[0] = 'x';
    const std::vector<Token> tokens = {
        tok(1, "x"), tok(2, stem), tok(3, stem + "y" + std::string(run, 's')),
        tok(4, stem + "z"), tok(5, stem + "y" + std::string(run, 's') + "t")};
    const Trie trie = build(tokens);
    const Reference ref(tokens);
    for (const Token& t : tokens) {
      for (std::size_t cut = t.bytes.size() - 1; cut <= t.bytes.size() + 1; ++cut) {
        std::string in = t.bytes + "t";
        in.resize(std::min(cut, in.size()));
        auto bytes = reinterpret_cast<const unsigned char*>(in.data());
        Reports want, got;
        ref.walk(in, 0, in.size(), want);
        trie.walk(bytes, bytes + in.size(), [&](TokenId id, const unsigned char* end) {
          got.emplace_back(id, static_cast<std::size_t>(end - bytes));
        });
        if (got != want && ++mismatches <= 5) {
          std::printf("  mismatch: run %zu, input '%s'\n", run, in.c_str());
        }
      }
    }
    check(trie.node_count() == 1 + 1 + run + 1 + run + 1 + 1,
          "node count includes the nodes inside chains (run " + std::to_string(run) + ")");
  }
  check(mismatches == 0, "walks around the chain threshold");
}

void test_long_token_memory() {
  // One 100,000-byte token over the byte tokens: its run costs a label, not a
  // slot per byte, and a walk over the whole input reports both ends.
  std::vector<Token> tokens;
  for (unsigned b = 0; b < 256; ++b) tokens.push_back(tok(b, std::string(1, static_cast<char>(b))));
  tokens.push_back(tok(256, std::string(100000, 'a')));
  const Trie trie = build(tokens);
  check(trie.node_count() == 257 + 99999 && trie.max_token_len() == 100000,
        "node count and max len of a 100,000-byte token");
  check(trie.memory_bytes() < 100000 + 4 * 257 * 12,
        "a 100,000-byte token costs about its bytes (" + std::to_string(trie.memory_bytes()) +
            " bytes)");
  const std::string in(100001, 'a');
  auto bytes = reinterpret_cast<const unsigned char*>(in.data());
  Reports got;
  trie.walk(bytes, bytes + in.size(), [&](TokenId id, const unsigned char* end) {
    got.emplace_back(id, static_cast<std::size_t>(end - bytes));
  });
  check(got == Reports{{'a', 1}, {256, 100000}}, "the walk crosses the long run");
}

}  // namespace

int main() {
  test_against_reference();
  test_chain_threshold();
  test_long_token_memory();
  return testing::finish();
}
