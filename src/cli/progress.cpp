// The progress bar of long file work.
#include "cli/progress.h"

#include <algorithm>
#include <string>

#include "cli/text.h"
#include "tarvik/tokenizer.h"

namespace tarvik::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr std::size_t kBarWidth = 30;

std::string megabytes(std::uint64_t bytes) { return fixed(static_cast<double>(bytes) / 1e6, 1); }

// Two digits, with a leading zero.
void append_two_digits(std::string& out, std::uint64_t value) {
  out.push_back(static_cast<char>('0' + value / 10 % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

// H:MM:SS, or M:SS under an hour.
std::string clock_time(double seconds) {
  const auto whole = static_cast<std::uint64_t>(seconds + 0.5);
  const std::uint64_t h = whole / 3600;
  std::string out;
  if (h > 0) {
    out.append(std::to_string(h));
    out.push_back(':');
    append_two_digits(out, whole / 60 % 60);
  } else {
    out.append(std::to_string(whole / 60));
  }
  out.push_back(':');
  append_two_digits(out, whole % 60);
  return out;
}

}  // namespace

ProgressBar::ProgressBar(std::uint64_t total_bytes, bool enabled)
    : total_(total_bytes), enabled_(enabled), start_(Clock::now()), last_draw_(start_) {}

Status ProgressBar::advance(std::uint64_t bytes) {
  done_ += bytes;
  if (!enabled_ || Clock::now() - last_draw_ < kRedrawInterval) return {};
  return draw(false);
}

Status ProgressBar::finish() {
  if (!enabled_) return {};
  return draw(true);
}

Status ProgressBar::draw(bool final) {
  last_draw_ = Clock::now();
  const double seconds = std::chrono::duration<double>(last_draw_ - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
  // A total that turned out too small (a file grew while read) shows as full.
  const std::uint64_t total = std::max(total_, done_);
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on chains of + on strings.
  std::string line = "\r";
  if (total_ > 0) {
    const double fraction = total > 0 ? static_cast<double>(done_) / static_cast<double>(total) : 1.0;
    const auto filled = static_cast<std::size_t>(fraction * kBarWidth);
    line.push_back('[');
    line.append(filled, '#');
    line.append(kBarWidth - filled, ' ');
    line.append("] ");
    line.append(fixed(fraction * 100.0, 0));
    line.append("% ");
    line.append(megabytes(done_));
    line.push_back('/');
    line.append(megabytes(total));
  } else {
    line.append(megabytes(done_));
  }
  line.append(" MB  ");
  line.append(fixed(rate / 1e6, 1));
  line.append(" MB/s");
  if (total_ > 0 && !final && rate > 0) {
    line.append("  ETA ");
    line.append(clock_time(static_cast<double>(total - done_) / rate));
  }
  if (final) {
    line.append("  in ");
    line.append(clock_time(seconds));
  }
  // Spaces wipe what a longer previous line left behind.
  line.append(final ? "      \n" : "      ");
  return stderr_sink()(line);
}

}  // namespace tarvik::cli
