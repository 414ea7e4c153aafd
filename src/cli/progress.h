// The progress bar of long file work on standard error: bytes done of the
// total, throughput and time left, redrawn in place at most a few times a
// second. A total of 0 means unknown (standard input, a pipe): the bar then
// shows bytes and throughput only. A disabled bar writes nothing.
#pragma once

#include <chrono>
#include <cstdint>

#include "tarvik/result.h"

namespace tarvik::cli {

class ProgressBar {
 public:
  ProgressBar(std::uint64_t total_bytes, bool enabled);
  // Adds bytes done; redraws when the last redraw is old enough.
  Status advance(std::uint64_t bytes);
  // Draws the final state and ends the line.
  Status finish();

 private:
  Status draw(bool final);

  using Clock = std::chrono::steady_clock;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  bool enabled_;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

}  // namespace tarvik::cli
