// The shape every tarvik subcommand shares, and its exit statuses.
//
// A subcommand runs in two stages: configure() turns the parsed arguments
// into its options (any failure there is the user's command line: exit 2),
// then run() does the work (any failure there: exit 1). Either stage reports
// through the same one-line "tarvik: error: ..." on standard error. A new
// subcommand, or a new way of doing an existing one, is one more
// configure/run pair behind its entry point.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "cli/arguments.h"
#include "tarvik/result.h"
#include "tarvik/tokenizer.h"

namespace tarvik::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Writes "tarvik: error: MESSAGE" as one line (line ends inside the message
// become spaces) and returns `exit_code`.
int report_error(std::string_view message, int exit_code);
// Writes text to standard output in full.
Status print(std::string_view text);

template <class Options>
int run_subcommand(const CommandSpec& spec, std::span<const std::string_view> args,
                   Result<Options> (*configure)(const ParsedArgs&),
                   Status (*run)(const Options&)) {
  Result<ParsedArgs> parsed = parse(spec, args);
  if (!parsed) return report_error(parsed.error().message, kExitUsage);
  if (parsed->help) {
    Status shown = print(help_text(spec));
    return shown ? kExitOk : report_error(shown.error().message, kExitFailure);
  }
  Result<Options> options = configure(*parsed);
  if (!options) return report_error(options.error().message, kExitUsage);
  Status done = run(*options);
  if (!done) return report_error(done.error().message, kExitFailure);
  return kExitOk;
}

// The entry point of a subcommand made of `Spec`, `Configure` and `Run`.
template <const CommandSpec& Spec, auto Configure, auto Run>
int subcommand_main(std::span<const std::string_view> args) {
  return run_subcommand(Spec, args, Configure, Run);
}

// Options several subcommands share, worded once.
inline constexpr OptionSpec kModelOption{"model", 'm', "MODEL", "the model file (required)"};
inline constexpr OptionSpec kOutputOption{"output", 'o', "OUT",
                                          "where to write (default: standard output)"};
inline constexpr OptionSpec kContextWeightOption{
    "context-weight", '\0', "W",
    "bigram weight of context-weighted encoding (default 0.3); model files do not store it"};

// Loads a model file, phrasing a failure for the user (it names the path).
// "-" reads the model from standard input, refused when the command also
// reads its input from there (`stdin_is_an_input`).
Result<Tokenizer> load_model(const std::string& path, double context_weight,
                             bool stdin_is_an_input);

// Each subcommand's description and entry point; `args` follow its name.
struct Subcommand {
  const CommandSpec& spec;
  int (*main)(std::span<const std::string_view> args);
};
extern const Subcommand kTrain;
extern const Subcommand kEncode;
extern const Subcommand kDecode;
extern const Subcommand kInspect;
extern const Subcommand kQuality;

}  // namespace tarvik::cli
