// tarvik encode: text files to token ids.
#include <algorithm>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/files.h"
#include "cli/id_arrays.h"

namespace tarvik::cli {
namespace {

constexpr OptionSpec kOptions[] = {
    kModelOption,
    kOutputOption,
    kFormatOption,
    kDtypeOption,
    {"greedy", '\0', "", "longest match at every position"},
    {"dense", '\0', "", "fewest tokens"},
    kContextWeightOption,
};

constexpr CommandSpec kSpec = {
    "encode",
    "encode -m MODEL [FILE...] [options]",
    "turn text files into token ids",
    "Encodes each FILE (standard input when none is given, or for \"-\") with the model's "
    "filters and writes the ids: as text, one line per FILE, or as one flat array of "
    "all FILEs in order (--format npy|bin). The default mode is context-weighted.",
    kOptions,
    "FILE",
    0,
    SIZE_MAX,
};

struct EncodeArgs {
  std::string model;
  std::vector<std::string> files;
  std::string output;
  IdEncoding ids;
  EncodeMode mode = EncodeMode::kScored;
  double context_weight = kDefaultContextWeight;
};

Result<EncodeArgs> configure(const ParsedArgs& args) {
  EncodeArgs out;
  Result<std::string_view> model = args.get_required("model", "the model file (-m MODEL)");
  if (!model) return std::move(model).error();
  out.model = std::string(*model);
  out.files = args.positionals;
  if (out.files.empty()) out.files.emplace_back("-");
  out.output = std::string(args.value("output").value_or("-"));
  Result<IdEncoding> ids = id_encoding_from(args);
  if (!ids) return std::move(ids).error();
  out.ids = *ids;
  if (out.ids.format == IdFormat::kNpy && out.output == "-")
    return Error::invalid_argument("npy output needs a file (-o OUT)");
  if (args.has("greedy") && args.has("dense"))
    return Error::invalid_argument("--greedy and --dense exclude each other");
  if (args.has("greedy")) out.mode = EncodeMode::kGreedy;
  if (args.has("dense")) out.mode = EncodeMode::kDense;
  Result<double> weight = args.get_double("context-weight", kDefaultContextWeight);
  if (!weight) return std::move(weight).error();
  out.context_weight = *weight;
  return out;
}

Status run(const EncodeArgs& args) {
  Result<Tokenizer> model = load_model(args.model, args.context_weight);
  if (!model) return std::move(model).error();
  if (args.ids.format != IdFormat::kText) {
    const std::uint64_t ids = std::max<std::uint64_t>(model->vocab_size(), model->table_size());
    const IdDtype dtype = args.ids.dtype;
    if (ids > dtype_capacity(dtype))
      return Error::invalid_argument("--dtype " + std::string(dtype_name(dtype)) + " holds " +
                                     std::to_string(dtype_capacity(dtype)) +
                                     " ids, but the model has " + std::to_string(ids) +
                                     "; use --dtype uint32");
  }
  TARVIK_TRY(check_readable(args.files));
  Result<OutputFile> out = OutputFile::open(args.output);
  if (!out) return std::move(out).error();
  Result<std::unique_ptr<IdWriter>> writer = make_writer(args.ids.format, args.ids.dtype, *out);
  if (!writer) return std::move(writer).error();

  for (const std::string& file : args.files) {
    Result<std::string> text = read_file(file);
    if (!text) return std::move(text).error();
    Result<TokenIds> ids = model->encode(*text, args.mode);
    if (!ids) return std::move(ids).error();
    TARVIK_TRY((*writer)->write(*ids));
    TARVIK_TRY((*writer)->end_document());
  }
  TARVIK_TRY((*writer)->finish());
  return out->commit();
}

}  // namespace

const Subcommand kEncode{kSpec, subcommand_main<kSpec, configure, run>};

}  // namespace tarvik::cli
