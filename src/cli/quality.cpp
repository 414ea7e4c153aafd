// tarvik quality: the dataset quality check on text files.
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/files.h"
#include "cli/text.h"

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

// Digits after the point of the real-valued statistics.
constexpr int kDigits = 4;

Result<QualityArgs> configure(const ParsedArgs& args) { return QualityArgs{args.positionals}; }

Status run(const QualityArgs& args) {
  TARVIK_TRY(check_readable(args.files));
  std::vector<std::string> paths = args.files;
  for (std::string& path : paths) {
    if (path == "-") path = "/dev/stdin";
  }
  Result<QualityReport> checked = Tokenizer::check_quality_of_files(paths);
  if (!checked) return std::move(checked).error();
  const QualityReport& report = *checked;
  // The names and order of the module's check_quality dict.
  std::string out = field_lines({
      {"quality_score", fixed(report.quality_score, kDigits)},
      {"total_bytes", std::to_string(report.total_bytes)},
      {"unique_bytes", std::to_string(report.unique_bytes)},
      {"byte_entropy", fixed(report.byte_entropy, kDigits)},
      {"avg_word_len", fixed(report.avg_word_len, kDigits)},
      {"unique_words", std::to_string(report.unique_words)},
      {"total_words", std::to_string(report.total_words)},
      {"warnings", std::to_string(report.warnings.size())},
  });
  for (const std::string& warning : report.warnings) out += "  " + warning + "\n";
  return print(out);
}

}  // namespace

const Subcommand kQuality{kSpec, subcommand_main<kSpec, configure, run>};

}  // namespace tarvik::cli
