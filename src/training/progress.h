// Console output of a training run: the verbose log lines and the progress bar.
//
// Every line is formatted in full and handed to write_stderr in one piece, so
// it reaches file descriptor 2 whole. A failed write is returned to the trainer,
// which abandons the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tarvik::training {

// Number of merges between two redraws of the progress bar for m requested merges.
std::uint64_t progress_interval(std::uint64_t merges);

// The 30-cell bar for the fraction `frac` of work done (clamped to [0, 30] cells).
std::string progress_bar(double frac);

// Seconds elapsed since `start` on the monotonic clock.
double seconds_since(std::chrono::steady_clock::time_point start);

// Formatters, exposed for tests; each returns the full line including its
// leading "\r" / "\n" and trailing line feed (if any).
std::string start_line(std::uint64_t base_tokens, std::uint64_t merges);
std::string initial_line(std::uint64_t total_tokens, double entropy);
std::string progress_line(std::uint64_t done, std::uint64_t merges, bool entropy_phase,
                          double elapsed);
std::string step_line(std::uint64_t done, std::uint64_t merges, std::string_view left,
                      std::string_view right, std::string_view merged, std::int64_t count,
                      double score, std::uint64_t total_tokens, double entropy);
std::string stop_line(std::uint64_t step);
std::string final_progress_line(std::uint64_t merges, double elapsed);
// The counting stage's bar, before the merges of the trainers that read their
// text as it comes: megabytes (10^6 bytes) read, of the total when it is known
// (files), otherwise the count alone (iterators).
std::string counting_line(std::uint64_t done, std::optional<std::uint64_t> total, double elapsed);
std::string counting_final_line(std::uint64_t done, std::optional<std::uint64_t> total,
                                double elapsed);
std::string summary_line(std::uint64_t vocab_size, std::uint64_t active_tokens,
                         std::uint64_t total_tokens, double entropy);

}  // namespace tarvik::training
