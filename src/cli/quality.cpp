// tarvik quality: the dataset quality check on text files.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/files.h"

namespace tarvik::cli {
namespace {

constexpr CommandSpec kSpec = {
    "quality",
    "quality FILE...",
    "run the dataset quality check on text files",
    "Checks the concatenation of the FILEs (\"-\" reads standard input), as training would, "
    "and prints each statistic, the score (0 to 1, higher is better) and every warning.",
    {},
    "FILE",
    1,
    SIZE_MAX,
};

struct QualityArgs {
  std::vector<std::string> files;
};

Result<QualityArgs> configure(const ParsedArgs& args) { return QualityArgs{args.positionals}; }

std::string fixed(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

Status run(const QualityArgs& args) {
  Result<std::string> corpus = read_concatenation(args.files);
  if (!corpus) return std::move(corpus).error();
  const QualityReport report = Tokenizer::check_quality(*corpus);
  std::string out;
  out += "quality_score: " + fixed(report.quality_score) + "\n";
  out += "total_bytes: " + std::to_string(report.total_bytes) + "\n";
  out += "unique_bytes: " + std::to_string(report.unique_bytes) + "\n";
  out += "byte_entropy: " + fixed(report.byte_entropy) + "\n";
  out += "avg_word_len: " + fixed(report.avg_word_len) + "\n";
  out += "unique_words: " + std::to_string(report.unique_words) + "\n";
  out += "total_words: " + std::to_string(report.total_words) + "\n";
  out += "warnings: " + std::to_string(report.warnings.size()) + "\n";
  for (const std::string& warning : report.warnings) out += "  " + warning + "\n";
  return print(out);
}

int entry(std::span<const std::string_view> args) {
  return run_subcommand<QualityArgs>(kSpec, args, configure, run);
}

}  // namespace

const Subcommand kQuality{kSpec, entry};

}  // namespace tarvik::cli
