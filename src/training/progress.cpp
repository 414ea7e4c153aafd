// Console output of a training run.
#include "training/progress.h"

#include "common/text.h"

namespace tarvik::training {
namespace {

constexpr int kBarCells = 30;
constexpr std::string_view kFullBlock = "\xE2\x96\x88";   // U+2588
constexpr std::string_view kLightShade = "\xE2\x96\x91";  // U+2591

std::string str(std::uint64_t value) {
  return std::to_string(value);
}

}  // namespace

std::uint64_t progress_interval(std::uint64_t merges) {
  if (merges <= 100) return 1;
  if (merges <= 1000) return merges / 20;
  return merges / 100;
}

std::string progress_bar(double frac) {
  double cells = frac * kBarCells;
  // Truncation towards zero; a negative (or NaN) product shows an empty bar.
  int filled = cells > 0 ? static_cast<int>(cells < kBarCells ? cells : kBarCells) : 0;
  std::string bar;
  bar.reserve(kBarCells * kFullBlock.size());
  for (int i = 0; i < kBarCells; ++i) bar += i < filled ? kFullBlock : kLightShade;
  return bar;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  auto elapsed = std::chrono::steady_clock::now() - start;
  auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - whole);
  return static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9;
}

std::string start_line(std::uint64_t base_tokens, std::uint64_t merges) {
  return "Starting training: " + str(base_tokens) + " base tokens, target " + str(merges) +
         " merges\n";
}

std::string initial_line(std::uint64_t total_tokens, double entropy) {
  return "Initial: " + str(total_tokens) + " total tokens, entropy = " + format_fixed(entropy, 4) +
         " bits\n";
}

std::string progress_line(std::uint64_t done, std::uint64_t merges, bool entropy_phase,
                          double elapsed) {
  double frac = static_cast<double>(done) / static_cast<double>(merges);
  double eta = frac > 0 ? elapsed / frac - elapsed : 0.0;
  return "\r  [" + progress_bar(frac) + "] " + format_fixed(frac * 100, 0) + "% | " + str(done) +
         "/" + str(merges) + " merges | " + (entropy_phase ? "entropy" : "compress") + " | " +
         format_fixed(elapsed, 1) + "s elapsed | ETA " + format_fixed(eta, 1) + "s  ";
}

std::string step_line(std::uint64_t done, std::uint64_t merges, std::string_view left,
                      std::string_view right, std::string_view merged, std::int64_t count,
                      double score, std::uint64_t total_tokens, double entropy) {
  return "\nStep " + str(done) + "/" + str(merges) + ": merged " + lossy_utf8(left) + " + " +
         lossy_utf8(right) + " -> " + lossy_utf8(merged) + " (count=" + std::to_string(count) +
         ", score=" + format_fixed(score, 2) + ", tokens=" + str(total_tokens) +
         ", H=" + format_fixed(entropy, 4) + ")\n";
}

std::string stop_line(std::uint64_t step) {
  return "No more merges available at step " + str(step) + "\n";
}

std::string final_progress_line(std::uint64_t merges, double elapsed) {
  return "\r  [" + progress_bar(1.0) + "] 100% | " + str(merges) + "/" + str(merges) +
         " merges | done | " + format_fixed(elapsed, 1) + "s total          \n";
}

namespace {

std::string megabytes(std::uint64_t bytes) {
  return format_fixed(static_cast<double>(bytes) / 1e6, 1);
}

}  // namespace

std::string counting_line(std::uint64_t done, std::optional<std::uint64_t> total, double elapsed) {
  if (!total) {
    return "\r  Counting | " + megabytes(done) + " MB | " + format_fixed(elapsed, 1) +
           "s elapsed  ";
  }
  double frac = *total > 0 ? static_cast<double>(done) / static_cast<double>(*total) : 1.0;
  return "\r  Counting [" + progress_bar(frac) + "] " + format_fixed(frac * 100, 0) + "% | " +
         megabytes(done) + "/" + megabytes(*total) + " MB | " + format_fixed(elapsed, 1) +
         "s elapsed  ";
}

std::string counting_final_line(std::uint64_t done, std::optional<std::uint64_t> total,
                                double elapsed) {
  if (!total) {
    return "\r  Counting | " + megabytes(done) + " MB | done | " + format_fixed(elapsed, 1) +
           "s total          \n";
  }
  return "\r  Counting [" + progress_bar(1.0) + "] 100% | " + megabytes(done) + "/" +
         megabytes(*total) + " MB | done | " + format_fixed(elapsed, 1) + "s total          \n";
}

std::string summary_line(std::uint64_t vocab_size, std::uint64_t active_tokens,
                         std::uint64_t total_tokens, double entropy) {
  return "Training complete: vocab_size=" + str(vocab_size) +
         ", active_tokens=" + str(active_tokens) + ", total_tokens=" + str(total_tokens) +
         ", entropy=" + format_fixed(entropy, 4) + " bits\n";
}

}  // namespace tarvik::training
