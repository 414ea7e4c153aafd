// Training from files, from texts fed one at a time and from count blobs: the
// counting stage differs, and everything after it (quality report from the
// counts, merge loop, special tokens, compiled model) is the one tail every
// way of training shares, the in-memory constructor included.
#include <chrono>
#include <optional>

#include "corpus/quality.h"
#include "tokenizer/tokenizer.h"
#include "training/batch_counter.h"
#include "training/count_blob.h"
#include "training/progress.h"
#include "training/trainer.h"

namespace tarvik {

using training::BatchCounter;
using training::ChunkCounts;

namespace {

// Redraws the counting bar at most every tenth of a second.
class CountingBar {
 public:
  CountingBar(ConsoleSink sink, std::optional<std::uint64_t> total)
      : sink_(std::move(sink)), total_(total) {}

  Status update(std::uint64_t done) {
    if (!sink_) return {};
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return {};
    last_ = now;
    return sink_(training::counting_line(done, total_, training::seconds_since(start_)));
  }
  Status done(std::uint64_t done) {
    if (!sink_) return {};
    return sink_(training::counting_final_line(done, total_, training::seconds_since(start_)));
  }

 private:
  ConsoleSink sink_;
  std::optional<std::uint64_t> total_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_ = start_;
};

}  // namespace

struct TextCounter::State {
  BatchCounter counter;
  CountingBar bar;
};

TextCounter::TextCounter(ConsoleSink progress)
    : state_(std::make_unique<State>(State{BatchCounter(), CountingBar(std::move(progress), {})})) {}
TextCounter::TextCounter(TextCounter&&) noexcept = default;
TextCounter& TextCounter::operator=(TextCounter&&) noexcept = default;
TextCounter::~TextCounter() = default;

void TextCounter::add(std::string_view text) {
  state_->counter.add_text(text);
}
void TextCounter::feed(std::string_view block) {
  state_->counter.feed(block);
}
void TextCounter::end_text() {
  state_->counter.finish_text();
}
bool TextCounter::full() const {
  return state_->counter.full();
}
std::uint64_t TextCounter::bytes_added() const {
  return state_->counter.bytes_fed();
}
Status TextCounter::count(const CancelCheck& cancel) {
  TARVIK_TRY(state_->counter.count(cancel));
  return state_->bar.update(state_->counter.bytes_fed());
}

namespace {

Result<ChunkCounts> finish_counting(TextCounter::State& state, const CancelCheck& cancel) {
  Result<ChunkCounts> counts = state.counter.finish(cancel);
  if (!counts.ok()) return counts;
  TARVIK_TRY(state.bar.done(state.counter.bytes_fed()));
  return counts;
}

}  // namespace

Result<Tokenizer> Tokenizer::train_counted(training::ChunkCounts counts, const TrainOptions& options,
                                           const ConsoleSink& console, const CancelCheck& cancel,
                                           std::optional<std::chrono::steady_clock::time_point> started) {
  if (options.check_quality) {
    std::string report = format_quality_report(tarvik::check_quality(counts));
    if (!report.empty()) TARVIK_TRY(console(report));
  }
  MergeOptions merge;
  merge.target_vocab_size = options.vocab_size;
  merge.verbose = options.verbose;
  merge.show_progress = options.show_progress;
  merge.max_token_bytes = options.max_token_bytes;
  Result<Vocab> trained = tarvik::train_from_counts(
      std::move(counts), merge, console, cancel,
      started.value_or(std::chrono::steady_clock::now()));
  if (!trained.ok()) return std::move(trained).error();
  Vocab vocab = std::move(trained).value();
  for (const auto& name : options.special_tokens) TARVIK_TRY(vocab.add_special_token(name));
  Result<Encoder> built = Encoder::build(std::move(vocab), options.context_weight);
  if (!built.ok()) return std::move(built).error();
  return Tokenizer(std::make_unique<State>(
      State{std::make_shared<Encoder>(std::move(built).value()), {}}));
}

namespace {

// Counts files read in blocks (see training::count_files), drawing the
// counting bar on `progress` when it is set.
Result<ChunkCounts> count_files_with_bar(const std::vector<std::string>& paths, bool joined,
                                         ConsoleSink progress, const CancelCheck& cancel) {
  std::optional<CountingBar> bar;
  training::CountingObserver observe;
  if (progress) {
    observe = [&](const training::CountingProgress& at) -> Status {
      if (!bar) bar.emplace(progress, at.total);
      return at.finished ? bar->done(at.done) : bar->update(at.done);
    };
  }
  return training::count_files(paths, joined, observe, cancel);
}

}  // namespace

Result<Tokenizer> Tokenizer::train_from_files(const std::vector<std::string>& paths,
                                              const TrainOptions& options,
                                              const ConsoleSink& console,
                                              const CancelCheck& cancel) {
  Result<ChunkCounts> counts =
      count_files_with_bar(paths, false, options.show_progress ? console : ConsoleSink{}, cancel);
  if (!counts.ok()) return std::move(counts).error();
  return train_counted(std::move(counts).value(), options, console, cancel, {});
}

Result<QualityReport> Tokenizer::check_quality_of_files(const std::vector<std::string>& paths,
                                                        const CancelCheck& cancel) {
  Result<ChunkCounts> counts = training::count_files(paths, true, {}, cancel);
  if (!counts.ok()) return std::move(counts).error();
  return tarvik::check_quality(counts.value());
}

Result<Tokenizer> Tokenizer::train_from_texts(TextCounter& texts, const TrainOptions& options,
                                              const ConsoleSink& console,
                                              const CancelCheck& cancel) {
  Result<ChunkCounts> counts = finish_counting(*texts.state_, cancel);
  if (!counts.ok()) return std::move(counts).error();
  return train_counted(std::move(counts).value(), options, console, cancel, {});
}

Result<std::string> Tokenizer::count_chunks(TextCounter& texts, const CancelCheck& cancel) {
  Result<ChunkCounts> counts = finish_counting(*texts.state_, cancel);
  if (!counts.ok()) return std::move(counts).error();
  return training::write_count_blob(counts.value());
}

Result<std::string> Tokenizer::merge_chunk_counts(const std::vector<std::string_view>& blobs,
                                                  const CancelCheck& cancel) {
  return training::merge_count_blobs(blobs, cancel);
}

Result<Tokenizer> Tokenizer::train_from_counts(std::string_view blob, const TrainOptions& options,
                                               const ConsoleSink& console,
                                               const CancelCheck& cancel) {
  Result<ChunkCounts> counts = training::read_count_blob(blob);
  if (!counts.ok()) return std::move(counts).error();
  // A blob may sum to any 64-bit total, but the merge loop counts tokens and
  // pair coverages (at most twice the total) in signed and unsigned 64 bits.
  if (counts->total_bytes() > kMaxTrainedBytes) {
    return Error::invalid_argument("count blob: its " + std::to_string(counts->total_bytes()) +
                                   " bytes of text are more than training can count (at most " +
                                   std::to_string(kMaxTrainedBytes) + ")");
  }
  return train_counted(std::move(counts).value(), options, console, cancel, {});
}

}  // namespace tarvik
