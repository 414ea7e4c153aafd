// Cutting a training corpus into whitespace-led chunks.
//
// A chunk is the run of non-whitespace bytes at the very start of the corpus,
// or one whitespace byte (tab, line feed, carriage return, space) followed by
// the maximal run of non-whitespace bytes after it. Identical chunks are kept
// once, with the number of times they occur as their weight.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

#include "training/mapped_vector.h"

namespace tarvik::training {

// One distinct chunk. Chunks of up to kInlineBytes bytes carry their bytes in
// `source` (first byte lowest); longer ones the offset of an occurrence.
struct Chunk {
  static constexpr std::uint64_t kInlineBytes = 7;

  std::uint64_t source;
  std::uint64_t length;
  std::uint64_t weight;

  bool is_inline() const { return length <= kInlineBytes; }
  // Calls f(byte) for each of the chunk's bytes in order.
  template <class F>
  void for_each_byte(std::string_view corpus, F&& f) const {
    if (is_inline()) {
      for (std::uint64_t i = 0; i < length; ++i) f(static_cast<unsigned char>(source >> (8 * i)));
    } else {
      const auto* bytes = reinterpret_cast<const unsigned char*>(corpus.data() + source);
      for (std::uint64_t i = 0; i < length; ++i) f(bytes[i]);
    }
  }
};

inline bool is_chunk_space(unsigned char byte) {
  return byte == 0x09 || byte == 0x0A || byte == 0x0D || byte == 0x20;
}

// The distinct chunks of `corpus` in unspecified order; none for an empty
// corpus. `stop` is polled every megabyte or so; when it returns true the
// split is abandoned and `*stopped` set.
MappedVector<Chunk> split_chunks(std::string_view corpus, const std::function<bool()>& stop,
                                 bool* stopped);

}  // namespace tarvik::training
