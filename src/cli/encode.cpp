// tarvik encode: text files to token ids.
#include <algorithm>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "cli/command.h"
#include "cli/document_cutter.h"
#include "cli/files.h"
#include "cli/id_arrays.h"
#include "cli/progress.h"
#include "cli/text.h"

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
    {"document-per-line", '\0', "", "every line (with its line feed) is a document; default: every FILE"},
    {"eos", '\0', "NAME", "write this special token's id after each document"},
    {"block-size", '\0', "BYTES", "bytes read and encoded per step (default 8388608)"},
    {"progress", '\0', "", "show the progress bar even when standard error is not a terminal"},
    {"no-progress", '\0', "", "never show the progress bar"},
};

constexpr std::uint64_t kDefaultBlockSize = std::uint64_t{8} << 20;
constexpr std::uint64_t kMaxBlockSize = std::uint64_t{1} << 30;

constexpr CommandSpec kSpec = {
    "encode",
    "encode -m MODEL [FILE...] [options]",
    "turn text files into token ids",
    "Encodes each FILE (standard input when none is given, or for \"-\") with the model's "
    "filters and writes the ids: as text, one line per FILE (per input line with "
    "--document-per-line), or as one flat array of "
    "all FILEs in order (--format npy|bin). The default mode is context-weighted. Files "
    "are read and encoded a block at a time on all cores, so their size is not limited "
    "by memory (in greedy and dense mode a document is one unit and may not exceed 64 MiB).",
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
  bool document_per_line = false;
  std::optional<std::string> eos;
  std::size_t block_size = kDefaultBlockSize;
  bool progress = false;
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
  out.document_per_line = args.has("document-per-line");
  if (std::optional<std::string_view> eos = args.value("eos")) out.eos = std::string(*eos);
  Result<std::uint64_t> block = args.get_uint("block-size", kDefaultBlockSize, 1, kMaxBlockSize);
  if (!block) return std::move(block).error();
  out.block_size = static_cast<std::size_t>(*block);
  if (args.has("progress") && args.has("no-progress"))
    return Error::invalid_argument("--progress and --no-progress exclude each other");
  out.progress = args.has("progress") || (!args.has("no-progress") && ::isatty(2) == 1);
  return out;
}

// Sum of the inputs' sizes when all are regular files; 0 (unknown) otherwise.
std::uint64_t total_size(const std::vector<std::string>& files) {
  std::uint64_t total = 0;
  for (const std::string& file : files) {
    struct stat info {};
    if (file == "-" || ::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    total += static_cast<std::uint64_t>(info.st_size);
  }
  return total;
}

// Greedy and dense mode encode a whole-file document as one unit; a regular
// file above the limit is refused before any work (a pipe is found out while read).
Status check_single_unit_sizes(const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    struct stat info {};
    if (file == "-" || ::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (static_cast<std::uint64_t>(info.st_size) > kSingleUnitLimit)
      return Error::invalid_argument(
          quoted(file) + " is larger than " + std::to_string(kSingleUnitLimit >> 20) +
          " MiB: greedy and dense mode encode a file as one unit; use the default mode or "
          "--document-per-line");
  }
  return {};
}

Status run(const EncodeArgs& args) {
  // Standard input is read when no FILE is given, or for "-".
  std::vector<std::string> inputs = args.files.empty() ? std::vector<std::string>{"-"} : args.files;
  const bool reads_stdin = std::find(inputs.begin(), inputs.end(), "-") != inputs.end();
  Result<Tokenizer> model = load_model(args.model, args.context_weight, reads_stdin);
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
  std::optional<TokenId> eos;
  if (args.eos) {
    eos = model->special_token_id(*args.eos);
    if (!eos)
      return Error::invalid_argument("--eos " + quoted(*args.eos) +
                                     " is not a special token of the model" +
                                     (model->special_tokens().empty() ? " (it has none)" : ""));
  }
  TARVIK_TRY(check_readable(args.files));
  inputs.push_back(args.model);
  TARVIK_TRY(check_output_is_not_an_input(args.output, inputs));
  if (args.mode != EncodeMode::kScored && !args.document_per_line)
    TARVIK_TRY(check_single_unit_sizes(args.files));
  // Opening a FIFO waits for its reader, so refuse what cannot be written first.
  if (args.ids.format == IdFormat::kNpy && is_stream_target(args.output))
    return Error::invalid_argument("npy output needs a file (-o OUT) it can seek in, not " +
                                   quoted(args.output));
  Result<OutputFile> out = OutputFile::open(args.output);
  if (!out) return std::move(out).error();
  Result<std::unique_ptr<IdWriter>> writer = make_writer(args.ids.format, args.ids.dtype, *out);
  if (!writer) return std::move(writer).error();

  DocumentCutter cutter(*model, args.mode);
  std::vector<std::string_view> texts;
  // Writes a block's ids in order, with the --eos id and the document ends.
  auto write_block = [&](const Units& units, const FlatIds& batch) -> Status {
    for (std::size_t i = 0; i < units.units.size(); ++i) {
      const auto start = static_cast<std::ptrdiff_t>(batch.offsets[i]);
      const auto end = static_cast<std::ptrdiff_t>(batch.offsets[i + 1]);
      TARVIK_TRY((*writer)->write(
          std::span<const TokenId>(batch.ids.begin() + start, batch.ids.begin() + end)));
      if (!units.units[i].ends_document) continue;
      if (eos) TARVIK_TRY((*writer)->write(std::span<const TokenId>(&*eos, 1)));
      TARVIK_TRY((*writer)->end_document());
    }
    return {};
  };
  // A block's ids are written on a thread of their own while the next block
  // is read, cut and encoded: written in turn, the cores sat idle for the
  // writing (and the encoding's tail). At most one block waits to be written.
  std::future<Status> writing;
  auto written = [&]() -> Status {
    if (!writing.valid()) return {};
    return writing.get();
  };
  // Each unit is encoded as an input of its own, all of a block's units at
  // once on the worker pool.
  auto encode_and_write = [&]() -> Status {
    Units units = cutter.take();
    texts.clear();
    for (std::size_t i = 0; i < units.units.size(); ++i) texts.push_back(units.bytes(i));
    Result<FlatIds> batch = model->encode_batch(texts, args.mode);
    if (!batch) return std::move(batch).error();
    TARVIK_TRY(written());
    writing = std::async(std::launch::async,
                         [&write_block, units = std::move(units),
                          batch = std::move(batch).value()] { return write_block(units, batch); });
    return {};
  };
  // The writing thread must be done before anything it uses goes away.
  struct WaitForWriting {
    std::future<Status>& writing;
    ~WaitForWriting() {
      if (writing.valid()) writing.wait();
    }
  } wait_for_writing{writing};

  ProgressBar progress(total_size(args.files), args.progress);
  std::string block(args.block_size, '\0');
  for (const std::string& file : args.files) {
    Result<InputStream> in = InputStream::open(file);
    if (!in) return std::move(in).error();
    // With --document-per-line, a line is open when bytes of it were fed but not its line feed.
    bool line_open = false;
    for (;;) {
      Result<std::size_t> got = in->read(block);
      if (!got) return std::move(got).error();
      if (*got == 0) break;
      const std::string_view data(block.data(), *got);
      if (args.document_per_line) {
        std::size_t start = 0;
        for (std::size_t end = data.find('\n'); end != std::string_view::npos;
             end = data.find('\n', start)) {
          TARVIK_TRY(cutter.feed(data.substr(start, end + 1 - start)));
          TARVIK_TRY(cutter.end_document());
          start = end + 1;
        }
        line_open = start < data.size();
        if (start < data.size()) TARVIK_TRY(cutter.feed(data.substr(start)));
      } else {
        TARVIK_TRY(cutter.feed(data));
      }
      TARVIK_TRY(encode_and_write());
      TARVIK_TRY(progress.advance(*got));
    }
    // A file is a document even when empty; its last line is one without a line feed.
    if (!args.document_per_line || line_open) TARVIK_TRY(cutter.end_document());
    TARVIK_TRY(encode_and_write());
  }
  TARVIK_TRY(written());
  TARVIK_TRY(progress.finish());
  TARVIK_TRY((*writer)->finish());
  return out->commit();
}

}  // namespace

const Subcommand kEncode{kSpec, subcommand_main<kSpec, configure, run>};

}  // namespace tarvik::cli
