// The plain types and constants shared by the library's interface.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarvik {

// Ids 0-255 are the single bytes 0-255 in every vocabulary the library trains.
using TokenId = std::uint32_t;
using TokenIds = std::vector<TokenId>;
using Offsets = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

inline constexpr std::uint64_t kDefaultVocabSize = 8192;
// Weight of the bigram term in context-weighted encoding.
inline constexpr double kDefaultContextWeight = 0.3;

// The dataset quality check's statistics, score in [0, 1] and warnings.
struct QualityReport {
  double quality_score = 0.0;
  std::uint64_t total_bytes = 0;
  std::uint64_t unique_bytes = 0;
  double byte_entropy = 0.0;
  double avg_word_len = 0.0;
  std::uint64_t unique_words = 0;
  std::uint64_t total_words = 0;
  std::vector<std::string> warnings;
};

}  // namespace tarvik
