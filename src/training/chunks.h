// Cutting a training corpus into whitespace-led chunks.
//
// A chunk is the run of non-whitespace bytes at the very start of the corpus,
// or one whitespace byte (tab, line feed, carriage return, space) followed by
// the maximal run of non-whitespace bytes after it. Identical chunks are kept
// once, with the number of times they occur as their weight.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tarvik {

struct Chunk {
  std::uint64_t offset;  // of one occurrence in the corpus
  std::uint64_t length;
  std::uint64_t weight;  // occurrences
};

inline bool is_chunk_space(unsigned char byte) {
  return byte == 0x09 || byte == 0x0A || byte == 0x0D || byte == 0x20;
}

// The distinct chunks of `corpus` in unspecified order; empty for an empty
// corpus. `poll` is called every few hundred thousand bytes; when it returns
// true the split stops early and `*stopped` is set.
template <class Poll>
std::vector<Chunk> split_chunks(std::string_view corpus, Poll&& poll, bool* stopped);

// The hashing loop, separated from the polling for reuse by the template.
class ChunkCounter {
 public:
  explicit ChunkCounter(std::string_view corpus);
  void add(std::uint64_t offset, std::uint64_t length);
  std::vector<Chunk> take();

 private:
  void grow();
  std::uint64_t hash(std::string_view bytes) const;

  std::string_view corpus_;
  std::vector<Chunk> chunks_;
  std::vector<std::uint64_t> hashes_;  // of each chunk, to grow without rehashing
  std::vector<std::uint32_t> slots_;   // chunk index + 1, 0 = empty
  std::uint64_t mask_ = 0;
  std::uint64_t seed_;
};

template <class Poll>
std::vector<Chunk> split_chunks(std::string_view corpus, Poll&& poll, bool* stopped) {
  *stopped = false;
  ChunkCounter counter(corpus);
  const auto* bytes = reinterpret_cast<const unsigned char*>(corpus.data());
  std::uint64_t n = corpus.size();
  std::uint64_t start = 0;
  constexpr std::uint64_t kPollBytes = 1 << 20;
  std::uint64_t next_poll = kPollBytes;
  for (std::uint64_t i = 1; i < n; ++i) {
    if (is_chunk_space(bytes[i])) {
      counter.add(start, i - start);
      start = i;
      if (i >= next_poll) {
        next_poll = i + kPollBytes;
        if (poll()) {
          *stopped = true;
          return {};
        }
      }
    }
  }
  if (n > 0) counter.add(start, n - start);
  return counter.take();
}

}  // namespace tarvik
