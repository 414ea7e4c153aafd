// Dataset quality check: statistics, a score in [0, 1] and plain-language
// warnings about a training corpus. A pure function of the corpus bytes.
#pragma once

#include <string>
#include <string_view>

#include "tarvik/types.h"

namespace tarvik {

namespace training {
class ChunkCounts;
}

QualityReport check_quality(std::string_view corpus);

// The same report from the chunk counts of the texts: the byte histogram and
// the words follow from them, a word being a chunk without its leading
// whitespace byte. Equals check_quality() on the texts' concatenation when no
// chunk spans two texts there (each text after the first starts with
// whitespace).
QualityReport check_quality(const training::ChunkCounts& counts);

// The block the constructor prints when the report holds warnings; empty when
// it holds none.
std::string format_quality_report(const QualityReport& report);

}  // namespace tarvik
