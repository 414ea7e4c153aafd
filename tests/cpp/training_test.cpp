// Tests of the trainer's console lines, its cancellation and its output
// failures. Results of training are checked against the Python reference in
// tests/test_training.py.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "check.h"
#include "common/console.h"
#include "training/pair_counts.h"
#include "training/progress.h"
#include "training/trainer.h"

using namespace tarvik;
using namespace tarvik::training;

namespace {

using testing::check;
using testing::check_eq;

std::string repeat(std::string_view piece, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += piece;
  return out;
}

const std::string kFull = "\xE2\x96\x88", kLight = "\xE2\x96\x91";

void test_progress_interval() {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {1, 1}, {50, 1}, {100, 1}, {101, 5}, {500, 25}, {1000, 50}, {1001, 10}, {7936, 79}};
  for (auto [merges, interval] : cases) {
    check(progress_interval(merges) == interval, "interval for " + std::to_string(merges));
  }
}

void test_lines() {
  // m = 8 after the first merge: 0.125 * 30 = 3.75 cells, 12.5 % shown as 12.
  check_eq(progress_line(1, 8, false, 0.25),
           "\r  [" + repeat(kFull, 3) + repeat(kLight, 27) +
               "] 12% | 1/8 merges | compress | 0.2s elapsed | ETA 1.8s  ",
           "progress line");
  check_eq(progress_line(3, 4, true, 3.0),
           "\r  [" + repeat(kFull, 22) + repeat(kLight, 8) +
               "] 75% | 3/4 merges | entropy | 3.0s elapsed | ETA 1.0s  ",
           "progress line, entropy phase");
  check_eq(progress_bar(-0.5), repeat(kLight, 30), "negative fraction");
  check_eq(final_progress_line(50, 1.25),
           "\r  [" + repeat(kFull, 30) + "] 100% | 50/50 merges | done | 1.2s total          \n",
           "final progress line");
  check_eq(step_line(100, 7936, "a", "\xE2", "a\xE2", 42, 2.375, 17, 1.23456),
           "\nStep 100/7936: merged a + \xEF\xBF\xBD -> a\xEF\xBF\xBD (count=42, score=2.38, "
           "tokens=17, H=1.2346)\n",
           "step line with a lone 0xE2");
  check_eq(start_line(256, 2), "Starting training: 256 base tokens, target 2 merges\n", "start");
  check_eq(initial_line(5, 1.5219280948873623), "Initial: 5 total tokens, entropy = 1.5219 bits\n",
           "initial");
  check_eq(stop_line(5), "No more merges available at step 5\n", "stop");
  check_eq(summary_line(258, 2, 2, 1.0),
           "Training complete: vocab_size=258, active_tokens=2, total_tokens=2, entropy=1.0000 "
           "bits\n",
           "summary");
}

// Training a long run of one byte polls the check inside its single merge,
// and stops with kInterrupted whichever poll says so.
void test_cancellation() {
  const std::string corpus(4'000'000, 'a');
  const MergeOptions options{257, false, false, {}};
  int calls = 0;
  auto counted = train(corpus, options, write_stderr, [&] { return ++calls, false; });
  check(counted.ok() && counted->vocab_size == 257, "uncancelled run completes");
  check(calls > 10, "polled inside the long steps (" + std::to_string(calls) + " polls)");
  for (int stop_at : {1, 2, calls / 2, calls}) {
    int seen = 0;
    auto result = train(corpus, options, write_stderr, [&] { return ++seen >= stop_at; });
    check(!result.ok() && result.error().kind == ErrorKind::kInterrupted,
          "interrupted at poll " + std::to_string(stop_at));
  }
}

// A write to standard error that fails abandons training with the internal fault.
void test_failed_output() {
  int full = ::open("/dev/full", O_WRONLY);
  if (full < 0) return;  // no /dev/full here
  int saved = ::dup(2);
  ::dup2(full, 2);
  auto verbose = train("ab ab", {258, true, false, {}}, write_stderr);
  auto progress = train("ab ab", {258, false, true, {}}, write_stderr);
  auto silent = train("ab ab", {258, false, false, {}}, write_stderr);
  ::dup2(saved, 2);
  ::close(saved);
  ::close(full);
  for (auto* result : {&verbose, &progress}) {
    check(!result->ok() && result->error().kind == ErrorKind::kInternal &&
              result->error().message.rfind("failed printing to stderr: ", 0) == 0,
          "failed write is an internal fault");
  }
  check(silent.ok(), "nothing written, nothing failed");
}

// The pair table against a std::unordered_map through growth (which moves
// entries in place, wrapping clusters included) and backward-shift erasure.
void test_pair_counts() {
  std::mt19937 rng(7);
  bool all_found = true, counts_match = true, sizes_match = true;
  for (int trial = 0; trial < 40; ++trial) {
    PairCounts<std::uint32_t, std::uint32_t, std::uint32_t> table;
    std::unordered_map<std::uint32_t, std::uint32_t> model;
    for (int op = 0; op < 6000; ++op) {
      std::uint32_t key = rng() % 5000;
      if (rng() % 4 == 0) {
        if (auto* slot = table.find(key)) table.erase(slot);
        model.erase(key);
      } else {
        table.upsert(key).count += 1;
        model[key] += 1;
      }
    }
    sizes_match &= table.size() == model.size();
    for (auto [key, count] : model) {
      auto* slot = table.find(key);
      all_found &= slot != nullptr;
      counts_match &= slot != nullptr && slot->count == count;
    }
    for (std::uint32_t key = 5000; key < 5100; ++key) all_found &= table.find(key) == nullptr;
  }
  check(sizes_match, "pair table size");
  check(all_found, "pair table finds exactly its keys");
  check(counts_match, "pair table counts");
}

// The merge heap keeps only the pairs above a floor that rises as it fills
// and falls when it runs dry, and new pairs below that floor are left out of
// the pair table until the choice reaches them. Whatever the cut-back size,
// every merge and every score must come out as with a heap that holds every
// pair: cut-backs of a few entries force the floor up and down thousands of
// times, in both scoring phases and with a length limit that keeps some pairs
// out; at 400 and 1000 the left-out pairs are thousands when the choice
// reaches them, and at 2000 only the bigram table's final count finds them.
void test_heap_floor() {
  std::mt19937 rng(11);
  std::string corpus;
  std::vector<std::string> words;
  for (int w = 0; w < 3000; ++w) {
    std::string word;
    const int length = 2 + static_cast<int>(rng() % 7);
    for (int i = 0; i < length; ++i) word += static_cast<char>('a' + rng() % 12);
    words.push_back(word);
  }
  // Roughly Zipf: word k is drawn about 1 / (k + 1) as often as the first.
  std::discrete_distribution<int> pick(words.size(), 0, 1, [](double x) { return 1.0 / (x + 1); });
  for (int i = 0; i < 60000; ++i) corpus += words[pick(rng)] + (rng() % 9 == 0 ? "\n" : " ");
  for (std::optional<std::uint64_t> limit : {std::optional<std::uint64_t>{}, {std::uint64_t{5}}}) {
    MergeOptions whole{1500, false, false, limit};
    whole.heap_keep = std::size_t{1} << 40;
    auto expected = train(corpus, whole, write_stderr);
    check(expected.ok(), "training with an unbounded heap");
    for (std::size_t keep : {1, 3, 64, 400, 1000, 2000}) {
      MergeOptions cut = whole;
      cut.heap_keep = keep;
      auto got = train(corpus, cut, write_stderr);
      const std::string what =
          "heap cut back to " + std::to_string(keep) + (limit ? " with a length limit" : "");
      check(got.ok() && expected.ok() && got->tokens == expected->tokens,
            what + ": the same tokens and log_probs");
      bool same_bigrams =
          got.ok() && expected.ok() && got->bigrams.size() == expected->bigrams.size();
      for (const auto& entry : expected->bigrams) {
        if (!same_bigrams) break;
        const auto* found = got->bigrams.find(entry.first);
        same_bigrams = found != got->bigrams.end() && found->second == entry.second;
      }
      check(same_bigrams, what + ": the same bigrams");
    }
  }
}

}  // namespace

int main() {
  test_pair_counts();
  test_heap_floor();
  test_progress_interval();
  test_lines();
  test_cancellation();
  test_failed_output();
  return testing::finish();
}
