// tarvik train: a model from text files.
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/files.h"
#include "cli/text.h"

namespace tarvik::cli {
namespace {

constexpr OptionSpec kOptions[] = {
    {"output", 'o', "MODEL", "where to write the model file (required)"},
    {"vocab-size", '\0', "N", "target vocabulary size, at least 256 (default 8192)"},
    kContextWeightOption,
    {"special-token", '\0', "S", "add a special token after training (repeatable)", true},
    {"filter", '\0', "F",
     "add a pre-tokenization filter kept in the model: lowercase, normalize_whitespace, "
     "strip_non_printable (repeatable, applied in order)",
     true},
    {"verbose", 'v', "", "print a log line for each training phase"},
    {"no-progress", '\0', "", "do not draw the progress bar"},
    {"no-quality-check", '\0', "", "skip the dataset quality report"},
    {"max-token-bytes", '\0', "N", "no merge makes a token longer than N bytes (default: no limit)"},
};

constexpr CommandSpec kSpec = {
    "train",
    "train FILE... -o MODEL [options]",
    "train a model on text files",
    "Trains a vocabulary on the FILEs (\"-\" reads standard input), each its own text, read in "
    "blocks and counted on all cores, and writes the model file. Progress and the quality "
    "report go to standard error.",
    kOptions,
    "FILE",
    1,
    SIZE_MAX,
};

struct TrainArgs {
  std::vector<std::string> files;
  std::string output;
  TrainOptions options;
  std::vector<std::string> filters;
};

// The filter names, checked by the library's own rule before any work (on an
// empty tokenizer that costs nothing to make).
Status check_filter_names(const std::vector<std::string>& names) {
  if (names.empty()) return {};
  TrainOptions tiny;
  tiny.vocab_size = 256;
  tiny.show_progress = false;
  tiny.check_quality = false;
  Result<Tokenizer> probe = Tokenizer::train({}, tiny, [](std::string_view) { return Status{}; });
  if (!probe) return std::move(probe).error();
  for (const std::string& name : names) TARVIK_TRY(probe->add_filter(name));
  return {};
}

Result<TrainArgs> configure(const ParsedArgs& args) {
  TrainArgs out;
  out.files = args.positionals;
  Result<std::string_view> output =
      args.get_required("output", "the model file to write (-o MODEL)");
  if (!output) return std::move(output).error();
  out.output = std::string(*output);
  if (out.output == "-") return Error::invalid_argument("the model must go to a file, not '-'");
  Result<std::uint64_t> vocab_size = args.get_uint("vocab-size", kDefaultVocabSize, 256);
  if (!vocab_size) return std::move(vocab_size).error();
  Result<double> weight = args.get_double("context-weight", kDefaultContextWeight);
  if (!weight) return std::move(weight).error();
  out.options.vocab_size = *vocab_size;
  out.options.context_weight = *weight;
  out.options.verbose = args.has("verbose");
  out.options.show_progress = !args.has("no-progress");
  out.options.check_quality = !args.has("no-quality-check");
  if (args.has("max-token-bytes")) {
    Result<std::uint64_t> limit = args.get_uint("max-token-bytes", 0, 1);
    if (!limit) return std::move(limit).error();
    out.options.max_token_bytes = *limit;
  }
  out.options.special_tokens = args.values("special-token");
  for (const std::string& name : out.options.special_tokens)
    if (!is_utf8(name))
      return Error::invalid_argument("--special-token: " + printable(name) +
                                     " is not valid UTF-8, which a model file needs");
  out.filters = args.values("filter");
  TARVIK_TRY(check_filter_names(out.filters));
  return out;
}

Status run(const TrainArgs& args) {
  TARVIK_TRY(check_readable(args.files));
  TARVIK_TRY(check_output_is_not_an_input(args.output, args.files));
  // Opened first so an unwritable destination is found before training.
  Result<OutputFile> out = OutputFile::open(args.output);
  if (!out) return std::move(out).error();

  std::vector<std::string> paths = args.files;
  for (std::string& path : paths) {
    if (path == "-") path = "/dev/stdin";
  }
  Result<Tokenizer> model = Tokenizer::train_from_files(paths, args.options);
  if (!model) return std::move(model).error();
  for (const std::string& name : args.filters) TARVIK_TRY(model->add_filter(name));
  TARVIK_TRY(model->write_document([&](std::string_view text) { return out->write(text); }));
  return out->commit();
}

}  // namespace

const Subcommand kTrain{kSpec, subcommand_main<kSpec, configure, run>};

}  // namespace tarvik::cli
