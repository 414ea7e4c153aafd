// Dataset quality check: statistics, a score in [0, 1] and plain-language
// warnings about a training corpus. A pure function of the corpus bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

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

QualityReport check_quality(std::string_view corpus);

// The block the constructor prints when the report holds warnings; empty when
// it holds none.
std::string format_quality_report(const QualityReport& report);

}  // namespace tarvik
