// Console output on standard error.
//
// Everything the module prints (progress bar, training log, quality report,
// pruning line, fault diagnostics) goes through write_stderr: straight to file
// descriptor 2 with write(2), no buffering, one whole piece of text at a time
// under a process-wide lock so lines from different threads never interleave.
// A closed descriptor 2 counts as written. Any other failure, or a write that
// accepts no bytes, is an internal fault "failed printing to stderr: {}".
#pragma once

#include <string_view>

#include "common/result.h"

namespace tarvik {

Status write_stderr(std::string_view text);

}  // namespace tarvik
