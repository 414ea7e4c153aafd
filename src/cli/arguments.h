// Command-line parsing for the tarvik command, written by hand so the
// command needs nothing beyond the compiler.
//
// Each subcommand describes itself with a CommandSpec (options, positional
// arguments, help text); parse() turns its arguments into ParsedArgs or into
// an Error whose message is a one-line usage complaint. Accepted spellings:
// "--name value", "--name=value", "-x value", "-xvalue" for options that take
// a value; "--" ends the options; a lone "-" is a positional argument (it
// means standard input where a file is expected). "-h"/"--help" anywhere
// before "--" asks for help. Values are kept as strings; the typed accessors
// check and convert them, naming the option in their complaint.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarvik/result.h"

namespace tarvik::cli {

struct OptionSpec {
  std::string_view name;        // long name without the dashes, e.g. "vocab-size"
  char short_name = '\0';       // '\0' when there is none
  std::string_view value_name;  // empty for a flag; else shown in help, e.g. "N"
  std::string_view help;
  bool repeatable = false;      // may be given more than once (values are kept in order)
};

struct CommandSpec {
  std::string_view name;        // "train"
  std::string_view usage;       // the synopsis after "tarvik ", e.g. "train FILE... -o MODEL [options]"
  std::string_view summary;     // one line for the command list
  std::string_view description; // a paragraph printed under the usage line (may be empty)
  std::span<const OptionSpec> options;
  std::string_view positional_name;  // e.g. "FILE"; shown in complaints
  std::size_t min_positionals = 0;
  std::size_t max_positionals = 0;   // SIZE_MAX for any number
};

class ParsedArgs {
 public:
  bool help = false;
  std::vector<std::string> positionals;

  bool has(std::string_view option) const;
  // The last value given for the option, if any.
  std::optional<std::string_view> value(std::string_view option) const;
  // Every value given for a repeatable option, in order.
  std::vector<std::string> values(std::string_view option) const;

  // The option's value; its absence is the complaint "missing DESCRIPTION".
  Result<std::string_view> get_required(std::string_view option,
                                        std::string_view description) const;
  // The option's value as a whole number in [min, max], or `fallback` when absent.
  Result<std::uint64_t> get_uint(std::string_view option, std::uint64_t fallback,
                                 std::uint64_t min = 0,
                                 std::uint64_t max = UINT64_MAX) const;
  // The option's value as a finite real number, or `fallback` when absent.
  Result<double> get_double(std::string_view option, double fallback) const;
  // The option's value, which must be one of `choices`, or `fallback` when absent.
  Result<std::string_view> get_choice(std::string_view option, std::string_view fallback,
                                      std::span<const std::string_view> choices) const;

 private:
  friend Result<ParsedArgs> parse(const CommandSpec&, std::span<const std::string_view>);
  std::vector<std::pair<std::string_view, std::string>> given_;  // (option name, value) in order
};

Result<ParsedArgs> parse(const CommandSpec& spec, std::span<const std::string_view> args);

// The text printed for "tarvik NAME --help".
std::string help_text(const CommandSpec& spec);

}  // namespace tarvik::cli
