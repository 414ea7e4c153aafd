// The workflows on a trained tokenizer: training, loading, saving, special
// tokens, filters, pruning, encoding and decoding.
#include "tokenizer/tokenizer.h"

#include <chrono>
#include <utility>

#include "common/console.h"
#include "corpus/quality.h"
#include "encoder/batch.h"
#include "training/chunk_counts.h"
#include "training/trainer.h"
#include "vocab/model_file.h"
#include "vocab/prune.h"

namespace tarvik {

ConsoleSink stderr_sink() {
  return [](std::string_view text) { return write_stderr(text); };
}

namespace {

std::unique_ptr<Tokenizer::State> state_for(Encoder encoder, std::vector<Filter> filters = {}) {
  return std::make_unique<Tokenizer::State>(
      Tokenizer::State{std::make_shared<Encoder>(std::move(encoder)), std::move(filters)});
}

}  // namespace

Tokenizer::Tokenizer(std::unique_ptr<State> state) : state_(std::move(state)) {}
Tokenizer::Tokenizer(const Tokenizer& other) : state_(std::make_unique<State>(*other.state_)) {}
Tokenizer& Tokenizer::operator=(const Tokenizer& other) {
  if (this != &other) state_ = std::make_unique<State>(*other.state_);
  return *this;
}
Tokenizer::Tokenizer(Tokenizer&&) noexcept = default;
Tokenizer& Tokenizer::operator=(Tokenizer&&) noexcept = default;
Tokenizer::~Tokenizer() = default;

// ---- Training, loading and saving ----------------------------------------------

Result<Tokenizer> Tokenizer::train(std::string_view corpus, const TrainOptions& options,
                                   const ConsoleSink& console, const CancelCheck& cancel) {
  // Counted once: the quality report comes from the counts (the same report
  // as from the corpus) and the merge loop runs on them.
  const auto started = std::chrono::steady_clock::now();
  Result<training::ChunkCounts> counts = training::count_corpus(corpus, cancel);
  if (!counts.ok()) return std::move(counts).error();
  TrainOptions exact = options;
  exact.max_token_bytes.reset();  // the constructor has no such option
  return train_counted(std::move(counts).value(), exact, console, cancel, started);
}

Result<Tokenizer> Tokenizer::load(const std::string& path, double context_weight,
                                  const CancelCheck& on_interrupt) {
  Result<ModelDocument> loaded = load_model(path, on_interrupt);
  if (!loaded.ok()) return std::move(loaded).error();
  Result<Encoder> built = Encoder::build(std::move(loaded->vocab), context_weight);
  if (!built.ok()) return std::move(built).error();
  return Tokenizer(state_for(std::move(built).value(), std::move(loaded->filters)));
}

Result<Tokenizer> Tokenizer::from_document(std::string_view document, double context_weight) {
  Result<ModelDocument> parsed = parse_model(document);
  if (!parsed.ok()) return std::move(parsed).error();
  Result<Encoder> built = Encoder::build(std::move(parsed->vocab), context_weight);
  if (!built.ok()) return std::move(built).error();
  return Tokenizer(state_for(std::move(built).value(), std::move(parsed->filters)));
}

Status Tokenizer::save(const std::string& path, const CancelCheck& on_interrupt) const {
  return save_model(state_->model->vocab(), state_->filters, path, on_interrupt);
}

std::string Tokenizer::to_document() const {
  return render_model(state_->model->vocab(), state_->filters);
}

Status Tokenizer::write_document(const std::function<Status(std::string_view)>& write) const {
  const detail::ByteBuffer document =
      detail::render_model_buffer(state_->model->vocab(), state_->filters);
  return write(document.view());
}

// ---- Special tokens, filters and pruning ---------------------------------------

Result<TokenId> Tokenizer::add_special_token(std::string_view name) {
  if (std::optional<TokenId> id = state_->model->vocab().find_special(name)) return *id;
  if (state_->model.use_count() == 1) {
    // No other copy reads this model, so it hands its tables on instead of
    // having them copied (the bigram table is most of a large model), and the
    // successor takes its place without an allocation that could fail
    // after the hand-over.
    Result<Encoder> extended = std::move(*state_->model).with_special_token(name);
    if (!extended.ok()) return std::move(extended).error();
    *state_->model = std::move(extended).value();
  } else {
    Result<Encoder> extended = std::as_const(*state_->model).with_special_token(name);
    if (!extended.ok()) return std::move(extended).error();
    state_->model = std::make_shared<Encoder>(std::move(extended).value());
  }
  return *state_->model->vocab().find_special(name);
}

Status Tokenizer::add_filter(std::string_view name) {
  std::optional<Filter> filter = filter_from_name(name);
  if (!filter) {
    return Error::invalid_argument(
        "Unknown filter: '" + std::string(name) +
        "'. Available: lowercase, normalize_whitespace, strip_non_printable");
  }
  state_->filters.push_back(*filter);
  return {};
}

Status Tokenizer::prune(std::uint64_t target_size, std::string_view corpus,
                        const ConsoleSink& console, const CancelCheck& cancel) {
  const Encoder& model = *state_->model;
  const std::uint64_t old_size = model.vocab().vocab_size;
  Result<TokenIds> usage = model.encode_greedy(corpus, cancel);
  if (!usage.ok()) return std::move(usage).error();
  Result<Vocab> pruned = prune_vocab(model.vocab(), target_size, usage.value());
  if (!pruned.ok()) return std::move(pruned).error();
  Result<Encoder> rebuilt = Encoder::build(std::move(pruned).value(), model.context_weight());
  if (!rebuilt.ok()) return std::move(rebuilt).error();
  TARVIK_TRY(console("Pruned vocab: " + std::to_string(old_size) + " -> " +
                     std::to_string(rebuilt->vocab().vocab_size) + " tokens\n"));
  state_->model = std::make_shared<Encoder>(std::move(rebuilt).value());
  return {};
}

// ---- Inspection --------------------------------------------------------------------

std::uint64_t Tokenizer::vocab_size() const {
  return state_->model->vocab().vocab_size;
}

std::size_t Tokenizer::table_size() const {
  return state_->model->vocab().tokens.size();
}

double Tokenizer::context_weight() const {
  return state_->model->context_weight();
}

std::optional<TokenId> Tokenizer::special_token_id(std::string_view name) const {
  return state_->model->vocab().find_special(name);
}

std::vector<std::pair<std::string, TokenId>> Tokenizer::special_tokens() const {
  std::vector<std::pair<std::string, TokenId>> out;
  for (const SpecialToken& special : state_->model->vocab().special_tokens) {
    out.emplace_back(special.name, special.id);
  }
  return out;
}

bool Tokenizer::has_filters() const {
  return !state_->filters.empty();
}

std::vector<std::string> Tokenizer::filter_names() const {
  std::vector<std::string> names;
  for (Filter filter : state_->filters) names.emplace_back(filter_name(filter));
  return names;
}

Result<std::string_view> Tokenizer::token_bytes(TokenId id) const {
  const Vocab& vocab = state_->model->vocab();
  if (id >= vocab.tokens.size()) {
    return Error::invalid_argument("token_id " + std::to_string(id) + " out of range (vocab size " +
                                   std::to_string(vocab.vocab_size) + ")");
  }
  return std::string_view(vocab.tokens[id].bytes);
}

std::optional<TokenId> Tokenizer::token_id(std::string_view bytes) const {
  if (bytes.empty()) return std::nullopt;
  // A lookup is rare next to encoding, so a scan from the end (where the
  // later of equal tokens is met first) is kept rather than an index.
  const std::vector<Token>& tokens = state_->model->vocab().tokens;
  for (auto it = tokens.rbegin(); it != tokens.rend(); ++it) {
    if (it->bytes == bytes) return it->id;
  }
  return std::nullopt;
}

// ---- Encoding and decoding ---------------------------------------------------------

std::string Tokenizer::apply_filters(std::string_view text) const {
  return tarvik::apply_filters(state_->filters, text);
}

namespace {

// The model, or its variant that knows no special tokens.
Result<const Encoder*> model_for(const Encoder& model, bool special) {
  if (special) return &model;
  return model.ordinary();
}

BatchMode batch_mode(EncodeMode mode) {
  switch (mode) {
    case EncodeMode::kGreedy:
      return {&Encoder::encode_greedy, false};
    case EncodeMode::kDense:
      return {&Encoder::encode_dense, false};
    case EncodeMode::kScored:
      break;
  }
  return {&Encoder::encode_scored, true};
}

class VectorSink final : public IdSink {
 public:
  explicit VectorSink(TokenIds& ids) : ids_(ids) {}
  TokenId* extend(std::size_t count) override {
    const std::size_t size = ids_.size();
    ids_.resize(size + count);
    return ids_.data() + size;
  }
  void expect(std::size_t most) override {
    try {
      ids_.reserve(most);
    } catch (const std::bad_alloc&) {
      // Only a hint: extend() still grows the vector as needed.
    }
  }

 private:
  TokenIds& ids_;
};

}  // namespace

Result<TokenIds> Tokenizer::encode_filtered(std::string_view bytes, EncodeMode mode,
                                            bool special, const CancelCheck& cancel) const {
  Result<const Encoder*> chosen = model_for(*state_->model, special);
  if (!chosen.ok()) return std::move(chosen).error();
  const Encoder& model = **chosen;
  switch (mode) {
    case EncodeMode::kGreedy:
      return model.encode_greedy(bytes, cancel);
    case EncodeMode::kDense:
      return model.encode_dense(bytes, cancel);
    case EncodeMode::kScored:
      break;
  }
  return model.encode_parallel(bytes, cancel);
}

Result<TokenIds> Tokenizer::encode(std::string_view text, EncodeMode mode, bool special,
                                   const CancelCheck& cancel) const {
  if (state_->filters.empty()) return encode_filtered(text, mode, special, cancel);
  return encode_filtered(apply_filters(text), mode, special, cancel);
}

Status Tokenizer::encode_batch(std::span<const std::string_view> texts, EncodeMode mode,
                               bool special, IdSink& out, std::span<std::uint64_t> offsets,
                               const CancelCheck& cancel,
                               const std::function<void()>& meanwhile) const {
  Result<const Encoder*> chosen = model_for(*state_->model, special);
  if (!chosen.ok()) return std::move(chosen).error();
  return run_batch(**chosen, batch_mode(mode), texts, out, offsets, cancel, meanwhile);
}

Result<FlatIds> Tokenizer::encode_batch(std::span<const std::string_view> texts, EncodeMode mode,
                                        bool special, const CancelCheck& cancel,
                                        const std::function<void()>& meanwhile) const {
  FlatIds flat;
  flat.offsets.resize(texts.size() + 1);
  VectorSink sink(flat.ids);
  TARVIK_TRY(encode_batch(texts, mode, special, sink, flat.offsets, cancel, meanwhile));
  return flat;
}

std::size_t Tokenizer::piece_end(std::string_view bytes, std::size_t start) const {
  return state_->model->piece_end(bytes, start);
}

std::size_t Tokenizer::piece_lookahead() const {
  return state_->model->piece_lookahead();
}

Result<Offsets> Tokenizer::offsets(std::span<const TokenId> ids) const {
  return state_->model->offsets(ids);
}

Result<std::string> Tokenizer::decode(std::span<const TokenId> ids) const {
  return state_->model->vocab().decode(ids);
}

// ---- Corpus tools --------------------------------------------------------------------

QualityReport Tokenizer::check_quality(std::string_view corpus) {
  return tarvik::check_quality(corpus);
}

std::string Tokenizer::format_quality_report(const QualityReport& report) {
  return tarvik::format_quality_report(report);
}

}  // namespace tarvik
