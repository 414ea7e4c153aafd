// Fuzz target for the encoders.
//
// The first bytes of the input shape a small vocabulary (the 256 byte tokens,
// a few longer tokens carved from the data, optional runs of one byte long
// enough to be stored as chains in the trie, with tokens ending inside them,
// branching off them and equal to them, optional special tokens, log_probs
// and bigrams drawn from a table of ordinary and extreme values) and a context
// weight (0, negative, 0.3, large, now and then NaN or an infinity); the rest
// is the text, either raw or spliced together from tokens of the vocabulary.
//
// Checks, on every mode: ids are table positions and decode to the text,
// offsets are contiguous from 0 to the text length, encode_parallel equals
// encode_scored (the text stays below the parallel threshold), greedy takes
// the longest token at every step, dense gives the fewest tokens possible
// (hence no more than greedy or scored), and scored equals a direct rendering
// of its one forward pass.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "encoder/encoder.h"
#include "fuzz_check.h"
#include "vocab/vocab.h"

namespace {

using tarvik::TokenId;
using tarvik::TokenIds;

constexpr std::size_t kMaxText = 4096;

// Reads the input front to back; past the end every byte reads as 0.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string take(std::size_t n) {
    n = std::min(n, size_ - pos_);
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  std::string_view rest() const {
    return {reinterpret_cast<const char*>(data_ + pos_), size_ - pos_};
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

double value_of(std::uint8_t b) {
  static constexpr double kExtreme[] = {0.0,
                                        -0.0,
                                        1.5,
                                        100.0,
                                        -100.0,
                                        -1e-9,
                                        -1e300,
                                        -1e308,
                                        1e308,
                                        -std::numeric_limits<double>::denorm_min(),
                                        -std::numeric_limits<double>::min(),
                                        -std::numeric_limits<double>::max(),
                                        1e300,
                                        -12.5,
                                        -0.25,
                                        -7.0};
  if (b < 240) return -static_cast<double>(b) / 16.0;
  return kExtreme[b - 240];
}

double weight_of(std::uint8_t b) {
  static constexpr double kWeights[] = {0.0,
                                        0.3,
                                        0.3,
                                        0.3,
                                        1.0,
                                        0.5,
                                        2.5,
                                        -1.0,
                                        -0.3,
                                        1e-300,
                                        1e300,
                                        0.3,
                                        std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(),
                                        0.3};
  return kWeights[b % 16];
}

std::string list_ids(const TokenIds& ids) {
  std::string out;
  for (TokenId id : ids) out += std::to_string(id) + " ";
  return out;
}

// The vocabulary as the reference passes see it: for each byte string the id
// the trie reports (the later token of equal bytes).
struct Lookup {
  std::unordered_map<std::string_view, TokenId> by_bytes;
  std::size_t max_len = 1;

  explicit Lookup(const tarvik::Vocab& vocab) {
    for (const tarvik::Token& token : vocab.tokens) {
      if (token.bytes.empty()) continue;
      by_bytes[token.bytes] = token.id;
      max_len = std::max(max_len, token.bytes.size());
    }
  }
  // Calls visit(id, length) for each token that starts the text at `s`, shortest first.
  template <class Visit>
  void each_match(std::string_view text, std::size_t s, Visit visit) const {
    const std::size_t limit = std::min(max_len, text.size() - s);
    for (std::size_t len = 1; len <= limit; ++len) {
      auto it = by_bytes.find(text.substr(s, len));
      if (it != by_bytes.end()) visit(it->second, len);
    }
  }
};

TokenIds reference_greedy(const Lookup& lookup, std::string_view text) {
  TokenIds ids;
  std::size_t s = 0;
  while (s < text.size()) {
    TokenId id = static_cast<unsigned char>(text[s]);
    std::size_t best = 1;
    lookup.each_match(text, s, [&](TokenId t, std::size_t len) {
      id = t;
      best = len;
    });
    ids.push_back(id);
    s += best;
  }
  return ids;
}

std::size_t reference_fewest(const Lookup& lookup, std::string_view text) {
  constexpr std::size_t kUnreachable = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> count(text.size() + 1, kUnreachable);
  count[0] = 0;
  for (std::size_t s = 0; s < text.size(); ++s) {
    if (count[s] == kUnreachable) continue;
    lookup.each_match(text, s, [&](TokenId, std::size_t len) {
      count[s + len] = std::min(count[s + len], count[s] + 1);
    });
  }
  return count[text.size()];
}

// The scored pass written out directly: per position the best score, the last
// token of that path and its length; a candidate replaces only with a strictly
// greater score; the pair term looks back at the last token of the best path
// to the candidate's start.
TokenIds reference_scored(const Lookup& lookup, const tarvik::Vocab& vocab, double weight,
                          std::string_view text) {
  const std::size_t n = text.size();
  if (n == 0) return {};
  struct Cell {
    double score;
    TokenId chosen;
    std::size_t len;
  };
  constexpr double kUnreachable = -std::numeric_limits<double>::infinity();
  std::vector<Cell> cells(n + 1, Cell{kUnreachable, 0, 0});
  cells[0] = {0.0, 0, 0};
  const bool use_pairs = weight > 0;
  const double start_term = weight * 0.0;
  const double unseen_term = weight * tarvik::kUnseenPairScore;
  for (std::size_t s = 0; s < n; ++s) {
    if (s > 0 && cells[s].score == kUnreachable) continue;
    const TokenId ctx = cells[s].chosen;
    auto term = [&](TokenId t) {
      if (s == 0) return start_term;
      if (!use_pairs) return start_term;
      if (vocab.bigrams.empty()) return unseen_term;
      const auto* it = vocab.bigrams.find(tarvik::bigram_key(ctx, t));
      return it == vocab.bigrams.end() ? unseen_term : weight * it->second;
    };
    lookup.each_match(text, s, [&](TokenId t, std::size_t len) {
      const double x = cells[s].score + vocab.tokens[t].log_prob;
      const double value = x + term(t);
      if (value > cells[s + len].score) cells[s + len] = {value, t, len};
    });
  }
  if (cells[n].score == kUnreachable) return reference_greedy(lookup, text);
  TokenIds ids;
  for (std::size_t e = n; e > 0; e -= cells[e].len) ids.push_back(cells[e].chosen);
  std::reverse(ids.begin(), ids.end());
  return ids;
}

// Builds the vocabulary and weight from the head of the input and returns the text.
std::string shape(Bytes& in, tarvik::Vocab& vocab, double& weight) {
  weight = weight_of(in.next());
  const std::uint8_t flags = in.next();
  if (flags & 4) {  // base log_probs from a small multiplicative pattern
    const unsigned k = in.next() | 1u;
    const unsigned c = in.next();
    for (auto& token : vocab.tokens) {
      token.log_prob = value_of(static_cast<std::uint8_t>((token.id * k + c) % 256));
    }
  }
  const std::size_t extra = in.next() % 24;
  for (std::size_t i = 0; i < extra; ++i) {
    const std::size_t len = 1 + in.next() % 8;
    std::string bytes = in.take(len);
    if (bytes.empty()) break;
    const double log_prob = value_of(in.next());
    const TokenId id = static_cast<TokenId>(vocab.tokens.size());
    vocab.tokens.push_back(tarvik::Token{id, std::move(bytes), log_prob, std::nullopt});
    ++vocab.vocab_size;
  }
  std::string run_cut;  // a long token, for a text that ends inside it
  if (flags & 8) {
    const std::size_t runs = 1 + in.next() % 3;
    for (std::size_t r = 0; r < runs; ++r) {
      const char byte = static_cast<char>(in.next());
      std::string bytes(16 + in.next() % 48, byte);
      const std::uint8_t form = in.next();
      if (form & 1) bytes[bytes.size() / 2] ^= 1;  // two runs on one path
      std::vector<std::string> family = {bytes};
      if (form & 2) family.push_back(bytes.substr(0, 1 + in.next() % bytes.size()));
      if (form & 4) family.push_back(bytes + in.take(1 + in.next() % 4));
      if (form & 8) family.push_back(bytes);  // equal bytes: the later id is found
      for (std::string& member : family) {
        const TokenId id = static_cast<TokenId>(vocab.tokens.size());
        vocab.tokens.push_back(tarvik::Token{id, std::move(member), value_of(in.next()), std::nullopt});
        ++vocab.vocab_size;
      }
      if (run_cut.empty()) run_cut = bytes.substr(0, in.next() % bytes.size());
    }
  }
  if (flags & 2) {
    const std::size_t specials = 1 + in.next() % 3;
    for (std::size_t i = 0; i < specials; ++i) {
      std::string name = in.take(1 + in.next() % 4);
      if (name.empty()) break;
      (void)vocab.add_special_token(name);
    }
  }
  // Bigram ends: even bytes name a byte token, odd bytes one of the longer
  // tokens, 255 an id past the end of the table.
  const std::size_t table = vocab.tokens.size();
  auto end_of = [&](std::uint8_t b) -> TokenId {
    if (b == 255) return static_cast<TokenId>(table + 5);
    if ((b & 1) && table > 256) return static_cast<TokenId>(256 + (b >> 1) % (table - 256));
    return b;
  };
  std::vector<tarvik::BigramTable::Entry> bigrams;
  for (std::size_t i = in.next() % 32; i > 0; --i) {
    const TokenId left = end_of(in.next());
    const TokenId right = end_of(in.next());
    bigrams.emplace_back(tarvik::bigram_key(left, right), value_of(in.next()));
  }
  vocab.bigrams = tarvik::BigramTable::from_entries(std::move(bigrams));
  if (!(flags & 1)) {
    std::string text(in.rest().substr(0, kMaxText));
    text += run_cut;
    if (text.size() > kMaxText) text.resize(kMaxText);
    return text;
  }
  // Text spliced from tokens: each byte picks one (two bytes for the longer ones).
  std::string text;
  while (text.size() < kMaxText && !in.rest().empty()) {
    const std::uint8_t b = in.next();
    TokenId id = b;
    if (b >= 192 && table > 256) id = static_cast<TokenId>(256 + in.next() % (table - 256));
    text += vocab.tokens[id].bytes;
  }
  text += run_cut;
  if (text.size() > kMaxText) text.resize(kMaxText);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  Bytes in(data, size);
  Vocab vocab = Vocab::base();
  double weight = 0.0;
  const std::string text = shape(in, vocab, weight);
  const std::size_t table = vocab.tokens.size();
  const Lookup lookup(vocab);
  const TokenIds want_scored = reference_scored(lookup, vocab, weight, text);
  const TokenIds want_greedy = reference_greedy(lookup, text);
  const std::size_t fewest = reference_fewest(lookup, text);

  Result<Encoder> built = Encoder::build(vocab, weight);
  TARVIK_FUZZ_CHECK(built.ok(), built.error().message);
  const Encoder& encoder = *built;
  TARVIK_FUZZ_CHECK(encoder.vocab() == vocab, "the encoder changed its vocabulary");

  static constexpr const char* kModes[] = {"greedy", "scored", "parallel", "dense"};
  auto encode = [&](std::size_t mode) {
    switch (mode) {
      case 0:
        return encoder.encode_greedy(text);
      case 1:
        return encoder.encode_scored(text);
      case 2:
        return encoder.encode_parallel(text);
      default:
        return encoder.encode_dense(text);
    }
  };
  TokenIds got[4];
  for (std::size_t m = 0; m < 4; ++m) {
    const std::string name = kModes[m];
    Result<TokenIds> ids = encode(m);
    TARVIK_FUZZ_CHECK(ids.ok(), name + ": " + ids.error().message);
    for (TokenId id : *ids) {
      TARVIK_FUZZ_CHECK(id < table, name + ": id " + std::to_string(id) + " past the table");
    }
    Result<std::string> decoded = vocab.decode(*ids);
    TARVIK_FUZZ_CHECK(decoded.ok(), name + ": " + decoded.error().message);
    TARVIK_FUZZ_CHECK(*decoded == text, name + ": does not decode to the text");

    Result<Offsets> offsets = encoder.offsets(*ids);
    TARVIK_FUZZ_CHECK(offsets.ok(), name + ": " + offsets.error().message);
    TARVIK_FUZZ_CHECK(offsets->size() == ids->size(), name + ": one offset pair per id");
    std::uint64_t at = 0;
    for (const auto& [start, end] : *offsets) {
      TARVIK_FUZZ_CHECK(start == at && end > start,
                        name + ": offsets not contiguous at " + std::to_string(at));
      at = end;
    }
    TARVIK_FUZZ_CHECK(at == text.size(), name + ": offsets end at " + std::to_string(at));
    got[m] = std::move(ids).value();
  }
  const TokenIds& greedy = got[0];
  const TokenIds& scored = got[1];
  const TokenIds& parallel = got[2];
  const TokenIds& dense = got[3];

  TARVIK_FUZZ_CHECK(text.size() <= kParallelThreshold, "text past the parallel threshold");
  TARVIK_FUZZ_CHECK(parallel == scored, "parallel differs from scored below the threshold");
  TARVIK_FUZZ_CHECK(greedy == want_greedy,
                    "greedy: got " + list_ids(greedy) + "\n want " + list_ids(want_greedy));
  TARVIK_FUZZ_CHECK(dense.size() == fewest, "dense: " + std::to_string(dense.size()) +
                                                " tokens, fewest " + std::to_string(fewest));
  TARVIK_FUZZ_CHECK(dense.size() <= greedy.size() && dense.size() <= scored.size(),
                    "dense gives more tokens than another mode");
  TARVIK_FUZZ_CHECK(scored == want_scored,
                    "scored: got " + list_ids(scored) + "\n want " + list_ids(want_scored));

  // A second pass reuses the thread's scratch cells: same answer.
  Result<TokenIds> again = encoder.encode_scored(text);
  TARVIK_FUZZ_CHECK(again.ok() && *again == scored, "scored differs on a second call");
  return 0;
}
