// tarvik decode: token ids back to the exact bytes.
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/files.h"
#include "cli/id_arrays.h"

namespace tarvik::cli {
namespace {

// Ids decoded per step: the output grows by this many tokens' bytes at a time.
constexpr std::size_t kIdsPerStep = 1 << 16;

constexpr OptionSpec kOptions[] = {
    kModelOption,
    kOutputOption,
    kFormatOption,
    kDtypeOption,
};

constexpr CommandSpec kSpec = {
    "decode",
    "decode -m MODEL [FILE] [options]",
    "turn token ids back into bytes",
    "Reads token ids from FILE (standard input when none is given, or for \"-\") and "
    "writes the bytes they stand for, exactly. Text input may hold any number of lines; "
    "their ids are decoded as one sequence.",
    kOptions,
    "FILE",
    0,
    1,
};

struct DecodeArgs {
  std::string model;
  std::string input;
  std::string output;
  IdEncoding ids;
};

Result<DecodeArgs> configure(const ParsedArgs& args) {
  DecodeArgs out;
  Result<std::string_view> model = args.get_required("model", "the model file (-m MODEL)");
  if (!model) return std::move(model).error();
  out.model = std::string(*model);
  out.input = args.positionals.empty() ? "-" : args.positionals.front();
  out.output = std::string(args.value("output").value_or("-"));
  Result<IdEncoding> ids = id_encoding_from(args);
  if (!ids) return std::move(ids).error();
  out.ids = *ids;
  return out;
}

Status run(const DecodeArgs& args) {
  Result<Tokenizer> model = load_model(args.model, kDefaultContextWeight, args.input == "-");
  if (!model) return std::move(model).error();
  TARVIK_TRY(check_output_is_not_an_input(args.output, {args.input, args.model}));
  Result<InputStream> in = InputStream::open(args.input);
  if (!in) return std::move(in).error();
  Result<OutputFile> out = OutputFile::open(args.output);
  if (!out) return std::move(out).error();
  Result<std::unique_ptr<IdReader>> reader = make_reader(args.ids, *in);
  if (!reader) return std::move(reader).error();

  const std::uint64_t table = model->table_size();
  std::vector<TokenId> ids(kIdsPerStep);
  std::uint64_t position = 0;
  for (;;) {
    Result<std::size_t> got = (*reader)->read(ids);
    if (!got) return std::move(got).error();
    if (*got == 0) break;
    std::span<const TokenId> step(ids.data(), *got);
    for (std::size_t i = 0; i < step.size(); ++i)
      if (step[i] >= table)
        return Error::invalid_argument(in->name() + ": id " + std::to_string(step[i]) +
                                       " (number " + std::to_string(position + i + 1) +
                                       ") is not in the model's " + std::to_string(table) +
                                       "-token table");
    position += step.size();
    Result<std::string> bytes = model->decode(step);
    if (!bytes) return std::move(bytes).error();
    TARVIK_TRY(out->write(*bytes));
  }
  return out->commit();
}

}  // namespace

const Subcommand kDecode{kSpec, subcommand_main<kSpec, configure, run>};

}  // namespace tarvik::cli
