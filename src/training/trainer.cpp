// The merge trainer: straightforward version over per-chunk id vectors.
#include "training/trainer.h"

#include <chrono>
#include <cmath>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/console.h"
#include "training/progress.h"

namespace tarvik {
namespace {

bool is_space(unsigned char c) {
  return c == 0x09 || c == 0x0A || c == 0x0D || c == 0x20;
}

struct Sequence {
  std::vector<TokenId> ids;
  std::uint64_t weight;
};

std::vector<Sequence> split_corpus(std::string_view corpus) {
  std::unordered_map<std::string_view, std::uint64_t> counts;
  std::size_t start = 0;
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    if (is_space(static_cast<unsigned char>(corpus[i])) && i > start) {
      ++counts[corpus.substr(start, i - start)];
      start = i;
    }
  }
  if (!corpus.empty()) ++counts[corpus.substr(start)];
  std::vector<Sequence> out;
  for (auto& [chunk, weight] : counts) {
    Sequence seq{{}, weight};
    for (unsigned char c : chunk) seq.ids.push_back(c);
    out.push_back(std::move(seq));
  }
  return out;
}

double h(double x) {
  return -x * std::log2(x);
}

struct State {
  std::vector<Sequence> sequences;
  std::unordered_map<std::uint64_t, std::int64_t> pairs;
  std::unordered_map<TokenId, std::int64_t> unigrams;

  void recount() {
    pairs.clear();
    unigrams.clear();
    for (auto& seq : sequences) {
      auto w = static_cast<std::int64_t>(seq.weight);
      for (std::size_t i = 0; i < seq.ids.size(); ++i) {
        unigrams[seq.ids[i]] += w;
        if (i + 1 < seq.ids.size()) pairs[bigram_key(seq.ids[i], seq.ids[i + 1])] += w;
      }
    }
  }

  std::uint64_t total() const {
    std::uint64_t n = 0;
    for (auto& [id, c] : unigrams) n += static_cast<std::uint64_t>(c);
    return n;
  }

  double entropy() const {
    std::uint64_t n = total();
    if (n == 0) return 0.0;
    double e = 0;
    for (auto& [id, c] : unigrams) {
      if (c > 0) e += h(static_cast<double>(c) / static_cast<double>(n));
    }
    return e;
  }
};

}  // namespace

Result<Vocab> train(std::string_view corpus, const TrainOptions& options,
                    const CancelCheck& cancel) {
  auto start = std::chrono::steady_clock::now();
  Vocab vocab = Vocab::base();
  State st;
  st.sequences = split_corpus(corpus);
  st.recount();
  std::uint64_t m = options.target_vocab_size > vocab.vocab_size
                        ? options.target_vocab_size - vocab.vocab_size
                        : 0;
  if (options.verbose) {
    TARVIK_TRY(write_stderr(start_line(vocab.vocab_size, m)));
    TARVIK_TRY(write_stderr(initial_line(st.total(), st.entropy())));
  }
  if (m > 0) {
    std::uint64_t boundary = m / 10 * 9 + (m % 10) * 9 / 10;
    std::uint64_t interval = progress_interval(m);
    std::uint64_t i = 0;
    for (; i < m; ++i) {
      if (cancel && cancel()) return Error::interrupted();
      bool entropy_phase = i >= boundary;
      if (st.pairs.empty()) break;
      std::optional<std::uint64_t> best;
      double best_score = 0;
      std::int64_t best_count = 0;
      double n = static_cast<double>(st.total());
      for (auto& [key, c] : st.pairs) {
        if (c <= 0) continue;
        TokenId a = bigram_left(key), b = bigram_right(key);
        double len =
            static_cast<double>(vocab.tokens[a].bytes.size() + vocab.tokens[b].bytes.size());
        double score;
        if (!entropy_phase) {
          score = len * static_cast<double>(c);
        } else {
          std::int64_t ca = st.unigrams.count(a) ? st.unigrams[a] : 0;
          std::int64_t cb = st.unigrams.count(b) ? st.unigrams[b] : 0;
          double factor = 1.0;
          double n2 = n - static_cast<double>(c);
          if (!(n == 0 || n2 <= 0)) {
            double old = (ca > 0 ? h(static_cast<double>(ca) / n) : 0) +
                         (cb > 0 ? h(static_cast<double>(cb) / n) : 0);
            double nw = (ca - c > 0 ? h(static_cast<double>(ca - c) / n2) : 0) +
                        (cb - c > 0 ? h(static_cast<double>(cb - c) / n2) : 0) +
                        h(static_cast<double>(c) / n2);
            factor = (nw - old) * 0.3 + 1.0;
          }
          score = factor * std::pow(len * static_cast<double>(c), 0.7);
        }
        if (!best || score > best_score) {
          best = key;
          best_score = score;
          best_count = c;
        }
      }
      if (!best) break;
      TokenId a = bigram_left(*best), b = bigram_right(*best);
      TokenId t = vocab.append_merged(a, b);
      std::unordered_map<std::uint64_t, std::int64_t> pd;
      std::unordered_map<TokenId, std::int64_t> ud;
      for (auto& seq : st.sequences) {
        auto w = static_cast<std::int64_t>(seq.weight);
        auto& x = seq.ids;
        std::size_t n_ids = x.size();
        std::vector<TokenId> out;
        bool replaced = false;
        for (std::size_t k = 0; k < n_ids;) {
          if (k + 1 < n_ids && x[k] == a && x[k + 1] == b) {
            if (!out.empty()) {
              pd[bigram_key(out.back(), a)] -= w;
              pd[bigram_key(out.back(), t)] += w;
            }
            if (k + 2 < n_ids) {
              pd[bigram_key(b, x[k + 2])] -= w;
              pd[bigram_key(t, x[k + 2])] += w;
            }
            pd[bigram_key(a, b)] -= w;
            ud[a] -= w;
            ud[b] -= w;
            ud[t] += w;
            out.push_back(t);
            k += 2;
            replaced = true;
          } else {
            out.push_back(x[k]);
            k += 1;
          }
        }
        if (replaced) x = std::move(out);
      }
      for (auto& [key, d] : pd) {
        auto v = st.pairs[key] + d;
        if (v <= 0)
          st.pairs.erase(key);
        else
          st.pairs[key] = v;
      }
      for (auto& [id, d] : ud) {
        auto v = st.unigrams[id] + d;
        if (v <= 0)
          st.unigrams.erase(id);
        else
          st.unigrams[id] = v;
      }
      std::uint64_t s = i + 1;
      if (options.show_progress && s % interval == 0) {
        TARVIK_TRY(write_stderr(progress_line(s, m, entropy_phase, seconds_since(start))));
      }
      if (options.verbose && s % 100 == 0) {
        TARVIK_TRY(write_stderr(step_line(s, m, vocab.tokens[a].bytes, vocab.tokens[b].bytes,
                                          vocab.tokens[t].bytes, best_count, best_score, st.total(),
                                          st.entropy())));
      }
    }
    if (i < m && options.verbose) TARVIK_TRY(write_stderr(stop_line(i)));
    if (options.show_progress)
      TARVIK_TRY(write_stderr(final_progress_line(m, seconds_since(start))));
  }
  st.recount();
  std::uint64_t n = st.total();
  if (n > 0) {
    for (auto& tok : vocab.tokens) {
      auto it = st.unigrams.find(tok.id);
      double c = it != st.unigrams.end() ? static_cast<double>(it->second) : 0.5;
      tok.log_prob = std::log(c / static_cast<double>(n));
    }
  }
  vocab.bigrams.clear();
  std::unordered_map<TokenId, std::int64_t> rows;
  for (auto& [key, c] : st.pairs) rows[bigram_left(key)] += c;
  for (auto& [key, c] : st.pairs) {
    if (c != 0) {
      vocab.bigrams[key] =
          std::log(static_cast<double>(c) / static_cast<double>(rows[bigram_left(key)]));
    }
  }
  if (options.verbose) {
    TARVIK_TRY(write_stderr(summary_line(vocab.vocab_size, st.unigrams.size(), n, st.entropy())));
  }
  return vocab;
}

}  // namespace tarvik
