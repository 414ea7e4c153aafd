// Dataset quality check: statistics, a score in [0, 1] and plain-language
// warnings about a training corpus. A pure function of the corpus bytes.
#pragma once

#include <string>
#include <string_view>

#include "tarvik/types.h"

namespace tarvik {

QualityReport check_quality(std::string_view corpus);

// The block the constructor prints when the report holds warnings; empty when
// it holds none.
std::string format_quality_report(const QualityReport& report);

}  // namespace tarvik
