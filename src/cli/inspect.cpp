// tarvik inspect: what a model holds, and how well it compresses a sample.
#include <algorithm>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/document_cutter.h"
#include "cli/files.h"
#include "cli/text.h"

namespace tarvik::cli {
namespace {

constexpr OptionSpec kOptions[] = {
    {"sample", 's', "FILE", "also report bytes per token of the default mode on FILE"},
    {"top", 'n', "N", "how many of the longest tokens to list (default 10)"},
    kContextWeightOption,
};

constexpr CommandSpec kSpec = {
    "inspect",
    "inspect MODEL [--sample FILE] [options]",
    "show a model's size, special tokens, filters and longest tokens",
    "Token bytes are shown in double quotes: printable ASCII and well-formed UTF-8 as "
    "they are, \\n \\r \\t \\\" \\\\ escaped, every other byte as \\xHH.",
    kOptions,
    "MODEL",
    1,
    1,
};

struct InspectArgs {
  std::string model;
  std::optional<std::string> sample;
  std::uint64_t top = 10;
  double context_weight = kDefaultContextWeight;
};

Result<InspectArgs> configure(const ParsedArgs& args) {
  InspectArgs out;
  out.model = args.positionals.front();
  if (std::optional<std::string_view> sample = args.value("sample")) out.sample = std::string(*sample);
  Result<std::uint64_t> top = args.get_uint("top", out.top);
  if (!top) return std::move(top).error();
  Result<double> weight = args.get_double("context-weight", kDefaultContextWeight);
  if (!weight) return std::move(weight).error();
  out.top = *top;
  out.context_weight = *weight;
  return out;
}

struct LongToken {
  std::size_t length;
  TokenId id;
};

Result<std::vector<LongToken>> longest_tokens(const Tokenizer& model, std::uint64_t top) {
  std::vector<bool> special(model.table_size(), false);
  for (const auto& [name, id] : model.special_tokens())
    if (id < special.size()) special[id] = true;
  std::vector<LongToken> tokens;
  for (TokenId id = 0; id < model.table_size(); ++id) {
    if (special[id]) continue;
    Result<std::string_view> bytes = model.token_bytes(id);
    if (!bytes) return std::move(bytes).error();
    tokens.push_back({bytes->size(), id});
  }
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(top, tokens.size()));
  std::partial_sort(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(keep),
                    tokens.end(), [](const LongToken& a, const LongToken& b) {
                      return a.length != b.length ? a.length > b.length : a.id < b.id;
                    });
  tokens.resize(keep);
  return tokens;
}

struct SampleSize {
  std::uint64_t bytes = 0;   // as read, before the model's filters
  std::uint64_t tokens = 0;  // of the default mode's encoding of the whole file
};

// Reads and encodes the sample a block at a time, as tarvik encode does, so
// that a sample of any size needs the memory of a few blocks only.
Result<SampleSize> measure_sample(const Tokenizer& model, const std::string& path) {
  constexpr std::size_t kBlockSize = std::size_t{1} << 20;
  Result<InputStream> in = InputStream::open(path);
  if (!in) return std::move(in).error();
  DocumentCutter cutter(model, EncodeMode::kScored);
  SampleSize size;
  std::vector<std::string_view> texts;
  auto encode_units = [&]() -> Status {
    const Units units = cutter.take();
    texts.clear();
    for (std::size_t i = 0; i < units.units.size(); ++i) texts.push_back(units.bytes(i));
    Result<FlatIds> ids = model.encode_batch(texts, EncodeMode::kScored);
    if (!ids) return std::move(ids).error();
    size.tokens += ids->ids.size();
    return {};
  };
  std::string block(kBlockSize, '\0');
  for (;;) {
    Result<std::size_t> got = in->read(block);
    if (!got) return std::move(got).error();
    if (*got == 0) break;
    size.bytes += *got;
    TARVIK_TRY(cutter.feed(std::string_view(block.data(), *got)));
    TARVIK_TRY(encode_units());
  }
  TARVIK_TRY(cutter.end_document());
  TARVIK_TRY(encode_units());
  return size;
}

Status run(const InspectArgs& args) {
  if (args.sample) TARVIK_TRY(check_readable(*args.sample));
  Result<Tokenizer> model =
      load_model(args.model, args.context_weight, args.sample && *args.sample == "-");
  if (!model) return std::move(model).error();

  std::string out = "model: " + args.model + "\n";
  out += "vocab size: " + std::to_string(model->vocab_size()) + "\n";
  const auto specials = model->special_tokens();
  out += "special tokens: " + std::to_string(specials.size()) + "\n";
  for (const auto& [name, id] : specials) out += "  " + std::to_string(id) + "  " + printable(name) + "\n";
  const auto filters = model->filter_names();
  std::string filter_list;
  for (const std::string& name : filters) filter_list += (filter_list.empty() ? "" : ", ") + name;
  out += "filters: " + (filters.empty() ? std::string("none") : filter_list) + "\n";

  Result<std::vector<LongToken>> longest = longest_tokens(*model, args.top);
  if (!longest) return std::move(longest).error();
  out += "longest tokens (length, id, bytes):\n";
  for (const LongToken& token : *longest) {
    Result<std::string_view> bytes = model->token_bytes(token.id);
    if (!bytes) return std::move(bytes).error();
    out += "  " + std::to_string(token.length) + "  " + std::to_string(token.id) + "  " +
           printable(*bytes) + "\n";
  }

  if (args.sample) {
    Result<SampleSize> sample = measure_sample(*model, *args.sample);
    if (!sample) return std::move(sample).error();
    const std::string ratio =
        sample->tokens == 0
            ? "n/a"
            : fixed(static_cast<double>(sample->bytes) / static_cast<double>(sample->tokens), 3);
    out += field_lines({{"sample", *args.sample}});
    out += field_lines({{"bytes", std::to_string(sample->bytes)},
                        {"tokens", std::to_string(sample->tokens)},
                        {"bytes per token", ratio}},
                       2);
  }
  return print(out);
}

}  // namespace

const Subcommand kInspect{kSpec, subcommand_main<kSpec, configure, run>};

}  // namespace tarvik::cli
