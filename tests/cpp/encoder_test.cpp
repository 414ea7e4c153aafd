// Trie and encoder checks below the Python layer, meant to run under the
// sanitizers as well: trie walks, the three encoders against a literal
// dense-row implementation on random vocabularies, and the worker pool under
// concurrent callers and fork. The documented examples and the user-visible
// cases live in tests/test_encoding.py.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "common/cpu_count.h"
#include "common/worker_pool.h"
#include "encoder/encoder.h"
#include "trie/trie.h"

using namespace tarvik;

namespace {

using testing::check;

Token tok(TokenId id, std::string bytes, double log_prob = 0.0) {
  return Token{id, std::move(bytes), log_prob, std::nullopt};
}

Vocab base_plus(std::vector<std::pair<std::string, double>> extra) {
  Vocab v = Vocab::base();
  for (auto& [bytes, lp] : extra) {
    v.tokens.push_back(tok(static_cast<TokenId>(v.tokens.size()), bytes, lp));
  }
  v.vocab_size = v.tokens.size();
  return v;
}

Encoder make(Vocab v, double weight = 0.3) {
  Result<Encoder> e = Encoder::build(std::move(v), weight);
  if (!e.ok()) {
    std::printf("build failed: %s\n", e.error().message.c_str());
    std::abort();
  }
  return std::move(e).value();
}

std::string bytes_of(const Encoder& e, const TokenIds& ids) {
  std::string out;
  for (TokenId id : ids) out += e.vocab().tokens[id].bytes;
  return out;
}

// --- A literal implementation: one 257-entry row per node, id + 1 stored. ---
struct Reference {
  std::vector<std::array<std::uint32_t, 257>> rows;
  std::size_t max_len = 1;
  const Vocab* vocab;
  double w;

  Reference(const Vocab& v, double weight) : vocab(&v), w(weight) {
    rows.push_back({});
    if (!v.tokens.empty()) max_len = v.tokens[0].bytes.size();
    for (const Token& t : v.tokens) {
      max_len = std::max(max_len, t.bytes.size());
      std::size_t node = 0;
      for (unsigned char b : t.bytes) {
        if (rows[node][b] == 0) {
          rows.push_back({});
          rows[node][b] = static_cast<std::uint32_t>(rows.size());
        }
        node = rows[node][b] - 1;
      }
      rows[node][256] = t.id + 1;
    }
  }
  // Returns false when the first step fails.
  bool walk(const std::string& in, std::size_t p,
            const std::function<void(TokenId, std::size_t)>& f) const {
    std::size_t limit = std::min(in.size(), p + max_len), node = 0;
    for (std::size_t q = p; q < limit; ++q) {
      std::uint32_t c = rows[node][static_cast<unsigned char>(in[q])];
      if (c == 0) return q != p;
      node = c - 1;
      if (rows[node][256]) f(rows[node][256] - 1, q + 1);
    }
    return true;
  }
  TokenIds greedy(const std::string& in) const {
    TokenIds out;
    for (std::size_t pos = 0; pos < in.size();) {
      TokenId id = static_cast<unsigned char>(in[pos]);
      std::size_t len = 1;
      walk(in, pos, [&](TokenId t, std::size_t e) { id = t, len = e - pos; });
      out.push_back(id);
      pos += len;
    }
    return out;
  }
  TokenIds scored(const std::string& in) const {
    std::size_t n = in.size();
    if (n == 0) return {};
    std::vector<double> score(n + 1, -INFINITY);
    std::vector<TokenId> chosen(n + 1), last(n + 1);
    std::vector<std::size_t> back(n + 1);
    score[0] = 0;
    for (std::size_t s = 0; s < n; ++s) {
      if (score[s] == -INFINITY) continue;
      TokenId ctx = last[s];
      auto offer = [&](TokenId t, std::size_t e) {
        double pair = 0.0;
        if (w > 0 && ctx != 0) {
          const auto* it = vocab->bigrams.find(bigram_key(ctx - 1, t));
          pair = it == vocab->bigrams.end() ? kUnseenPairScore : it->second;
        }
        double v = score[s] + vocab->tokens.at(t).log_prob;
        v += w * pair;
        if (v > score[e]) score[e] = v, chosen[e] = t, back[e] = s, last[e] = t + 1;
      };
      if (!walk(in, s, offer)) offer(static_cast<unsigned char>(in[s]), s + 1);
    }
    if (score[n] == -INFINITY) return greedy(in);  // the lossless mend
    TokenIds out;
    for (std::size_t e = n; e > 0; e = back[e]) out.push_back(chosen[e]);
    return TokenIds(out.rbegin(), out.rend());
  }
  TokenIds dense(const std::string& in) const {
    std::size_t n = in.size();
    if (n == 0) return {};
    std::vector<std::uint32_t> count(n + 1, 0xFFFFFFFFu);
    std::vector<TokenId> chosen(n + 1);
    std::vector<std::size_t> back(n + 1);
    count[0] = 0;
    for (std::size_t s = 0; s < n; ++s) {
      if (count[s] == 0xFFFFFFFFu) continue;
      std::uint32_t c = count[s] + 1;
      auto offer = [&](TokenId t, std::size_t e) {
        if (c < count[e]) count[e] = c, chosen[e] = t, back[e] = s;
      };
      if (!walk(in, s, offer)) offer(static_cast<unsigned char>(in[s]), s + 1);
    }
    if (count[n] == 0xFFFFFFFFu) return greedy(in);
    TokenIds out;
    for (std::size_t e = n; e > 0; e = back[e]) out.push_back(chosen[e]);
    return TokenIds(out.rbegin(), out.rend());
  }
};

// A vocabulary over a small alphabet, so tokens overlap a lot; log_probs on a
// coarse grid, so ties are frequent. A compact one holds the five letters of
// the inputs instead of all 256 bytes (the bounds-checked path).
Vocab random_vocab(std::mt19937& rng, bool with_bigrams, bool compact) {
  const std::string alphabet = "abcd";
  Vocab v = Vocab::base();
  if (compact) {
    v.tokens.clear();
    for (char c : std::string("abcde")) v.tokens.push_back(tok(v.tokens.size(), std::string(1, c)));
  }
  std::uniform_int_distribution<int> count(0, 40), len(1, 5), letter(0, 3), grid(-12, 0);
  for (int i = count(rng); i > 0; --i) {
    std::string bytes;
    for (int k = len(rng); k > 0; --k) bytes += alphabet[letter(rng)];
    v.tokens.push_back(tok(static_cast<TokenId>(v.tokens.size()), bytes, grid(rng) * 0.5));
  }
  for (auto& t : v.tokens) {
    if (t.bytes.size() == 1) t.log_prob = grid(rng) * 0.5;
  }
  if (with_bigrams) {
    std::uniform_int_distribution<TokenId> id(0, static_cast<TokenId>(v.tokens.size() - 1));
    std::vector<BigramTable::Entry> bigrams;
    for (int i = 0; i < 200; ++i)
      bigrams.emplace_back(bigram_key(id(rng) % 300, id(rng)), grid(rng) * 0.25);
    // One crowded row, so lookups also cross filters of several words.
    const TokenId a = compact ? 0 : 'a';
    for (int i = 0; i < 150; ++i) bigrams.emplace_back(bigram_key(a, id(rng)), grid(rng) * 0.25);
    v.bigrams = BigramTable::from_entries(std::move(bigrams));
  }
  v.vocab_size = v.tokens.size();
  return v;
}

std::string random_input(std::mt19937& rng, std::size_t max_len) {
  std::uniform_int_distribution<std::size_t> len(0, max_len);
  std::uniform_int_distribution<int> letter(0, 4);
  std::string s;
  for (std::size_t i = len(rng); i > 0; --i) s += "abcde"[letter(rng)];
  return s;
}

void test_trie_walks() {
  Vocab v;
  v.tokens = {tok(0, "a"), tok(1, "ab"), tok(2, "abc")};
  Trie t = Trie::build(v.tokens).value();
  const std::string in = "abcd";
  auto p = reinterpret_cast<const unsigned char*>(in.data());
  std::vector<std::pair<TokenId, long>> seen;
  auto rec = [&](TokenId id, const unsigned char* e) { seen.emplace_back(id, e - p); };
  check(t.walk(p, p + 4, rec) &&
            seen == std::vector<std::pair<TokenId, long>>{{0, 1}, {1, 2}, {2, 3}},
        "walk reports a, ab, abc in order and stops before d");
  seen.clear();
  t.walk(p, p + 2, rec);
  check(seen.size() == 2, "walk respects its limit");
  check(!t.walk(p + 3, p + 4, rec), "first step failure is reported");
  check(t.node_count() == 4 && t.max_token_len() == 3, "node count and max len");

  Trie base = Trie::build(Vocab::base().tokens).value();
  check(base.node_count() == 257 && base.max_token_len() == 1, "base vocabulary: 257 nodes, len 1");

  // Later duplicate wins; ids are the stored field; the all-ones id survives;
  // the empty token is never reported.
  v.tokens = {tok(7, "x"), tok(0xFFFFFFFFu, "xy"), tok(9, "x"), tok(5, "")};
  t = Trie::build(v.tokens).value();
  const std::string xy = "xy";
  auto q = reinterpret_cast<const unsigned char*>(xy.data());
  seen.clear();
  t.walk(q, q + 2, [&](TokenId id, const unsigned char* e) { seen.emplace_back(id, e - q); });
  check(seen == std::vector<std::pair<TokenId, long>>{{9, 1}, {0xFFFFFFFFu, 2}},
        "later duplicate wins, id 4294967295 kept");
  Vocab empty;
  check(Trie::build(empty.tokens)->max_token_len() == 1, "empty table: max len 1");
}

void test_against_reference() {
  std::mt19937 rng(12345);
  int mismatches = 0;
  for (int round = 0; round < 400; ++round) {
    Vocab v = random_vocab(rng, (round / 4) % 2 == 0, round % 3 == 2);
    double weights[] = {0.0, 0.3, 1.5, -0.5};
    double w = weights[round % 4];
    Reference ref(v, w);
    Encoder e = make(v, w);
    for (int k = 0; k < 20; ++k) {
      std::string in = random_input(rng, 40);
      Result<TokenIds> g = e.encode_greedy(in), s = e.encode_scored(in), d = e.encode_dense(in);
      bool ok = g.ok() && s.ok() && d.ok() && *g == ref.greedy(in) && *s == ref.scored(in) &&
                *d == ref.dense(in) && bytes_of(e, *s) == in && bytes_of(e, *d) == in &&
                d->size() <= g->size() && d->size() <= s->size();
      if (!ok && ++mismatches < 5)
        std::printf("  mismatch: round %d input '%s'\n", round, in.c_str());
    }
  }
  check(mismatches == 0, "encoders equal the literal implementation on random vocabularies");
}

// The variables are read in order and a value that is not a positive count
// passes to the next; the machine's count is the fallback, and it never
// exceeds the processors this process may run on.
void test_pool_size_from_environment() {
  const std::string names[] = {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"};
  std::optional<std::string> saved[2];
  for (int i = 0; i < 2; ++i) {
    if (const char* value = std::getenv(names[i].c_str())) saved[i] = value;
  }
  auto set = [&](const char* first, const char* second) {
    const char* values[] = {first, second};
    for (int i = 0; i < 2; ++i) {
      if (values[i]) {
        setenv(names[i].c_str(), values[i], 1);
      } else {
        unsetenv(names[i].c_str());
      }
    }
    return configured_pool_size();
  };

  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  check(sched_getaffinity(0, sizeof allowed, &allowed) == 0, "affinity set readable");
  const std::size_t machine = available_processors();
  check(machine >= 1 && machine <= static_cast<std::size_t>(CPU_COUNT(&allowed)),
        "processor count within the affinity set");

  check(set("3", "5") == 3, "RAYON_NUM_THREADS first");
  check(set("0", "5") == 5 && set("x", "5") == 5 && set(nullptr, "5") == 5,
        "RAYON_RS_NUM_CPUS when RAYON_NUM_THREADS holds no positive count");
  check(set("0", "-2") == machine && set(nullptr, nullptr) == machine,
        "the machine when neither variable holds a positive count");

  for (int i = 0; i < 2; ++i) {
    if (saved[i]) {
      setenv(names[i].c_str(), saved[i]->c_str(), 1);
    } else {
      unsetenv(names[i].c_str());
    }
  }
}

void test_pool() {
  test_pool_size_from_environment();

  Encoder e = make(base_plus({{"ab", -1}, {"abc", -1}}), 0.3);
  std::string in(1 << 20, 'a');
  for (std::size_t i = 0; i < in.size(); i += 3) in[i] = "abc"[i % 7 % 3];
  Result<TokenIds> parent = e.encode_parallel(in);
  pid_t child = fork();
  if (child == 0) {
    Result<TokenIds> again = e.encode_parallel(in);
    _exit(again.ok() && *again == *parent ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a forked child encodes on a fresh pool");

  // Many concurrent callers sharing the pool.
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int k = 0; k < 5; ++k) {
        Result<TokenIds> ids = e.encode_parallel(in);
        if (!ids.ok() || *ids != *parent) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  check(wrong == 0, "concurrent callers get identical results");
}

// Every mode polls the cancellation check: one that says stop ends the call
// with kInterrupted, one that never does is still asked and changes nothing.
// A long token makes every start position of the run of 'a' walk 2 000 trie
// steps, which is what the polling must count; the run of 'b' is many short
// tokens, what the greedy mode counts.
void test_cancel() {
  Encoder e = make(base_plus({{"aa", -1}, {std::string(2000, 'a'), -2}}), 0.3);
  const std::string in = std::string(20000, 'a') + std::string(120000, 'b');
  using Mode = Result<TokenIds> (Encoder::*)(std::string_view, const CancelCheck&) const;
  const std::pair<const char*, Mode> modes[] = {{"greedy", &Encoder::encode_greedy},
                                                {"scored", &Encoder::encode_scored},
                                                {"parallel", &Encoder::encode_parallel},
                                                {"dense", &Encoder::encode_dense}};
  // The chunked mode asks only on the calling thread, which may run few of
  // the chunks: give it enough of them that it asks several times whatever
  // the scheduling.
  std::string many_chunks;
  for (int i = 0; i < 20; ++i) many_chunks += in;
  for (const auto& [name, mode] : modes) {
    const std::string what = std::string(name) + ": ";
    const std::string& text = mode == &Encoder::encode_parallel ? many_chunks : in;
    int asked = 0;
    Result<TokenIds> stopped = (e.*mode)(text, [&] {
      ++asked;
      return true;
    });
    check(!stopped.ok() && stopped.error().kind == ErrorKind::kInterrupted,
          what + "a check that says stop ends the call with kInterrupted");
    check(asked >= 1, what + "the check was asked");

    asked = 0;
    Result<TokenIds> polled = (e.*mode)(text, [&] {
      ++asked;
      return false;
    });
    Result<TokenIds> plain = (e.*mode)(text, {});
    check(polled.ok() && plain.ok() && *polled == *plain,
          what + "a check that never stops leaves the ids as they are");
    check(asked > 1, what + "a long call asks the check more than once");

    int after = 0;
    Result<TokenIds> late = (e.*mode)(text, [&] { return ++after > 3; });
    check(!late.ok() && late.error().kind == ErrorKind::kInterrupted,
          what + "a stop asked for part way through ends the call");
  }
}

}  // namespace

int main() {
  test_trie_walks();
  test_against_reference();
  test_pool();
  test_cancel();
  return testing::finish();
}
