// tarvik: the command line on the tokenizer library.
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command.h"
#include "cli/files.h"
#include "tarvik/version.h"

namespace tarvik::cli {
namespace {

const Subcommand* const kSubcommands[] = {&kTrain, &kEncode, &kDecode, &kInspect, &kQuality};

std::string main_help() {
  std::string out =
      "usage: tarvik COMMAND [options]\n"
      "\n"
      "A trainable, lossless, byte-level tokenizer.\n"
      "\n"
      "commands:\n";
  for (const Subcommand* command : kSubcommands) {
    std::string name(command->spec.name);
    out += "  " + name + std::string(10 - name.size(), ' ') + std::string(command->spec.summary) + "\n";
  }
  out +=
      "\n"
      "options:\n"
      "  -h, --help  show this help and exit\n"
      "  --version   print the version and exit\n"
      "\n"
      "'tarvik COMMAND --help' shows a command's options. Exit status: 0 on success,\n"
      "1 when the work failed, 2 for a command line that is not understood.\n";
  return out;
}

int run(std::span<const std::string_view> args) {
  if (args.empty()) return report_error("no command given (try 'tarvik --help')", kExitUsage);
  const std::string_view first = args.front();
  if (first == "-h" || first == "--help" || first == "help") {
    Status shown = print(main_help());
    return shown ? kExitOk : report_error(shown.error().message, kExitFailure);
  }
  if (first == "--version") {
    Status shown = print("tarvik " TARVIK_VERSION "\n");
    return shown ? kExitOk : report_error(shown.error().message, kExitFailure);
  }
  for (const Subcommand* command : kSubcommands)
    if (command->spec.name == first) return command->main(args.subspan(1));
  if (first.starts_with("-"))
    return report_error("unrecognized option '" + std::string(first) + "' (try 'tarvik --help')",
                        kExitUsage);
  return report_error("unknown command '" + std::string(first) + "' (try 'tarvik --help')",
                      kExitUsage);
}

}  // namespace
}  // namespace tarvik::cli

int main(int argc, char** argv) {
  using namespace tarvik::cli;
  install_signal_cleanup();
  try {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    return run(args);
  } catch (const std::bad_alloc&) {
    // The library lets only this through; the temporary outputs were removed
    // by their destructors on the way here.
    return report_error("out of memory", kExitFailure);
  }
}
