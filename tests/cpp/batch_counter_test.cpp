// Tests of counting text fed a piece at a time in batches: whatever the batch
// size and wherever the blocks are cut, the counts are those of the texts, and
// a stop request ends count() with kInterrupted.
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "common/text.h"
#include "training/batch_counter.h"

using namespace tarvik;
using namespace tarvik::training;

namespace {

using testing::check;
using Multiset = std::map<std::string, std::uint64_t>;

void reference_chunks(std::string_view text, Multiset& out) {
  std::string current;
  for (char c : text) {
    if (is_chunk_space(static_cast<unsigned char>(c)) && !current.empty()) {
      ++out[current];
      current.clear();
    }
    current.push_back(c);
  }
  if (!current.empty()) ++out[current];
}

Multiset as_multiset(const ChunkCounts& counts) {
  Multiset out;
  for (const Chunk& chunk : counts.chunks()) out[std::string(counts.bytes(chunk))] += chunk.weight;
  return out;
}

std::string random_text(std::mt19937_64& rng, std::size_t length) {
  // Mostly letters, some whitespace, now and then a long run without any.
  static const std::string alphabet = "abcab \n\t\r x";
  std::string text;
  while (text.size() < length) {
    if (rng() % 50 == 0) {
      text.append(rng() % 300, 'z');
    } else {
      text.push_back(alphabet[rng() % alphabet.size()]);
    }
  }
  return text;
}

void test_any_batch_and_block_size() {
  std::mt19937_64 rng(7);
  for (std::uint64_t batch : {1u, 7u, 64u, 1000u, 1u << 20}) {
    for (int round = 0; round < 4; ++round) {
      std::vector<std::string> texts;
      Multiset expected;
      for (int t = 0; t < 12; ++t) {
        texts.push_back(random_text(rng, rng() % 3000));
        reference_chunks(texts.back(), expected);
      }
      BatchCounter counter(batch);
      for (const std::string& text : texts) {
        std::size_t pos = 0;
        if (text.empty()) counter.feed({});
        while (pos < text.size()) {
          const std::size_t block = 1 + rng() % 97;
          counter.feed(std::string_view(text).substr(pos, block));
          pos += block;
          if (counter.full()) check(counter.count().ok(), "count");
        }
        counter.finish_text();
      }
      Result<ChunkCounts> counts = counter.finish();
      check(counts.ok(), "finish");
      check(as_multiset(*counts) == expected,
            "counts equal the texts' chunks at batch " + std::to_string(batch));
    }
  }
}

void test_one_long_chunk_over_many_batches() {
  BatchCounter counter(16);
  Multiset expected;
  const std::string text = "start " + std::string(5000, 'q') + "\nend";
  reference_chunks(text, expected);
  for (std::size_t pos = 0; pos < text.size(); pos += 10) {
    counter.feed(std::string_view(text).substr(pos, 10));
    if (counter.full()) check(counter.count().ok(), "count");
  }
  Result<ChunkCounts> counts = counter.finish();
  check(counts.ok() && as_multiset(*counts) == expected, "a chunk longer than many batches");
}

void test_stop_request() {
  BatchCounter counter;
  counter.add_text(std::string(std::size_t{8} << 20, 'a') + " b");
  Status stopped = counter.count([] { return true; });
  check(!stopped.ok() && stopped.error().kind == ErrorKind::kInterrupted, "count stops");
}

}  // namespace

int main() {
  test_any_batch_and_block_size();
  test_one_long_chunk_over_many_batches();
  test_stop_request();
  return testing::finish();
}
