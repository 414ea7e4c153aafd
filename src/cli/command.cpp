// The parts every tarvik subcommand shares.
#include "cli/command.h"

#include <algorithm>
#include <string>
#include <vector>

#include "cli/files.h"

namespace tarvik::cli {

namespace {

Result<Tokenizer> load_model_from_stdin(double context_weight, bool stdin_is_an_input) {
  if (stdin_is_an_input)
    return Error::invalid_argument(
        "-m - reads the model from standard input, which this command also reads its input "
        "from; give the input as a FILE");
  Result<InputStream> in = InputStream::open("-");
  if (!in) return std::move(in).error();
  std::string document;
  std::vector<char> block(std::size_t{1} << 20);
  for (;;) {
    Result<std::size_t> got = in->read(block);
    if (!got) return std::move(got).error();
    if (*got == 0) break;
    document.append(block.data(), *got);
  }
  Result<Tokenizer> model = Tokenizer::from_document(document, context_weight);
  if (!model)
    return Error::invalid_argument("cannot load model from standard input: " +
                                   model.error().message);
  return model;
}

}  // namespace

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

Result<Tokenizer> load_model(const std::string& path, double context_weight,
                             bool stdin_is_an_input) {
  if (path == "-") return load_model_from_stdin(context_weight, stdin_is_an_input);
  // The file's own failures (missing, a directory, unreadable) read like
  // those of every other input.
  TARVIK_TRY(check_readable(path));
  Result<Tokenizer> model = Tokenizer::load(path, context_weight);
  if (!model) return Error::invalid_argument("cannot load model '" + path + "': " +
                                             model.error().message);
  return model;
}

}  // namespace tarvik::cli
