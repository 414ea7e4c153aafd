// The parts every tarvik subcommand shares.
#include "cli/command.h"

#include <algorithm>

#include "cli/files.h"

namespace tarvik::cli {

int report_error(std::string_view message, int exit_code) {
  std::string line = "tarvik: error: " + std::string(message);
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  line += '\n';
  // Nothing is left to tell if even standard error fails.
  (void)stderr_sink()(line);
  return exit_code;
}

Status print(std::string_view text) {
  Result<OutputFile> out = OutputFile::open("-");
  if (!out) return std::move(out).error();
  TARVIK_TRY(out->write(text));
  return out->commit();
}

Result<Tokenizer> load_model(const std::string& path, double context_weight) {
  // The file's own failures (missing, a directory, unreadable) read like
  // those of every other input.
  TARVIK_TRY(check_readable(path));
  Result<Tokenizer> model = Tokenizer::load(path, context_weight);
  if (!model) return Error::invalid_argument("cannot load model '" + path + "': " +
                                             model.error().message);
  return model;
}

}  // namespace tarvik::cli
