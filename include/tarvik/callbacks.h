// The two callbacks long work takes: where console text goes, and when to stop.
#pragma once

#include <functional>
#include <string_view>

#include "tarvik/result.h"

namespace tarvik {

// Receives console text, one whole piece (one or more complete lines, or a
// progress-bar redraw) per call. A failed write stops the work with its error.
using ConsoleSink = std::function<Status(std::string_view text)>;

// Polled between steps of long work, and when a system call is interrupted by
// a signal; returning true stops the work with ErrorKind::kInterrupted. Calls
// are cheap and frequent: an expensive check rate-limits itself.
using CancelCheck = std::function<bool()>;

}  // namespace tarvik
