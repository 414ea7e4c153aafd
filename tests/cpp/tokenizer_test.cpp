// The Tokenizer facade through its public header: console output and
// cancellation through the injected callbacks, copy-on-write changes (a copy
// never sees another's special tokens or filters, before and after the model
// is shared), failed changes that leave the tokenizer as it was, and
// encodings after add_special_token equal to those after a reload.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "tarvik/tokenizer.h"

using namespace tarvik;

namespace {

using testing::check;

constexpr EncodeMode kModes[] = {EncodeMode::kScored, EncodeMode::kGreedy, EncodeMode::kDense};

std::string corpus() {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "the quick brown fox jumps over the lazy dog " + std::to_string(i % 7) + "\n";
  return text;
}

TrainOptions quiet(std::uint64_t vocab_size = 300) {
  TrainOptions options;
  options.vocab_size = vocab_size;
  options.show_progress = false;
  options.check_quality = false;
  return options;
}

struct Captured {
  std::string text;
  ConsoleSink sink() {
    return [this](std::string_view piece) -> Status {
      text += piece;
      return {};
    };
  }
};

ConsoleSink failing_sink() {
  return [](std::string_view) -> Status { return Error::io("sink closed"); };
}

Tokenizer trained(const TrainOptions& options = quiet()) {
  Captured console;
  Result<Tokenizer> tok = Tokenizer::train(corpus(), options, console.sink());
  check(tok.ok(), "training succeeds");
  return std::move(tok).value();
}

TokenIds encode(const Tokenizer& tok, std::string_view text, EncodeMode mode) {
  Result<TokenIds> ids = tok.encode(text, mode);
  check(ids.ok(), "encoding succeeds");
  return ids.ok() ? ids.value() : TokenIds{};
}

// The document handed to a writer is the one to_document returns, and the
// writer's failure is the call's.
void test_write_document() {
  Tokenizer tok = trained();
  std::string written;
  Status status = tok.write_document([&](std::string_view document) {
    written.assign(document);
    return Status{};
  });
  check(status.ok() && written == tok.to_document(), "write_document hands over the document");
  Status refused = tok.write_document(
      [](std::string_view) -> Status { return Error::invalid_argument("disk full"); });
  check(!refused.ok() && refused.error().message == "disk full", "the writer's error comes back");
}

Tokenizer reloaded(const Tokenizer& tok) {
  Result<Tokenizer> again = Tokenizer::from_document(tok.to_document(), tok.context_weight());
  check(again.ok(), "the document reads back");
  return std::move(again).value();
}

void test_training_reports_through_the_callbacks() {
  std::string text;
  for (int i = 0; i < 10; ++i) text += "aaaa bbbb ";  // small and repetitive: warnings
  TrainOptions options = quiet();
  options.check_quality = true;
  const std::string report = Tokenizer::format_quality_report(Tokenizer::check_quality(text));
  check(!report.empty(), "the corpus draws quality warnings");
  Captured console;
  check(Tokenizer::train(text, options, console.sink()).ok(), "training with the report");
  check(console.text == report, "the quality report goes to the sink, and nothing else");

  Result<Tokenizer> refused = Tokenizer::train(text, options, failing_sink());
  check(!refused.ok() && refused.error().message == "sink closed", "a failed console write stops training");

  Result<Tokenizer> cancelled = Tokenizer::train(text, quiet(), console.sink(), [] { return true; });
  check(!cancelled.ok() && cancelled.error().kind == ErrorKind::kInterrupted,
        "the cancel check stops training");
}

// `shared`: a copy holds the model while the special token is added.
void test_special_token_encodes_as_after_reload(bool shared) {
  const std::string label = shared ? " (shared model)" : " (sole model)";
  Tokenizer tok = trained();
  std::vector<Tokenizer> copies;
  if (shared) copies.push_back(tok);
  const std::string text = "the <sep> dog<sep>";
  std::vector<TokenIds> before;
  for (EncodeMode mode : kModes) before.push_back(encode(tok, text, mode));
  const std::uint64_t size = tok.vocab_size();

  Result<TokenId> id = tok.add_special_token("<sep>");
  check(id.ok() && *id == tok.table_size() - 1, "the special token takes the next id" + label);
  Result<TokenId> again = tok.add_special_token("<sep>");
  check(again.ok() && *again == *id && tok.vocab_size() == size + 1,
        "a repeated name adds nothing" + label);
  const Tokenizer fresh = reloaded(tok);
  for (std::size_t m = 0; m < std::size(kModes); ++m) {
    TokenIds ids = encode(tok, text, kModes[m]);
    check(ids == encode(fresh, text, kModes[m]), "encoding equals the reloaded one" + label);
    check(std::count(ids.begin(), ids.end(), *id) == 2, "both occurrences are the special token" + label);
    check(tok.decode(ids).value() == text, "decoding gives the text back" + label);
    if (shared) check(encode(copies[0], text, kModes[m]) == before[m], "the copy encodes as before");
  }
  if (shared) {
    check(copies[0].vocab_size() == size && !copies[0].special_token_id("<sep>"),
          "the copy has no new special token");
  }
}

// A vocabulary whose size cannot grow: the change fails and nothing moves.
void test_failed_special_token_changes_nothing(bool shared) {
  const std::string label = shared ? " (shared model)" : " (sole model)";
  std::string document = trained().to_document();
  const std::string key = "\"vocab_size\": ";
  const std::size_t at = document.find(key) + key.size();
  document.replace(at, document.find(',', at) - at, "18446744073709551615");
  Tokenizer tok = Tokenizer::from_document(document).value();
  std::vector<Tokenizer> copies;
  if (shared) copies.push_back(tok);
  const TokenIds ids = encode(tok, "the <x> dog", EncodeMode::kScored);

  Result<TokenId> refused = tok.add_special_token("<x>");
  check(!refused.ok() && refused.error().kind == ErrorKind::kLimit, "a full vocabulary is a limit" + label);
  check(tok.to_document() == document, "the model is as it was" + label);
  check(encode(tok, "the <x> dog", EncodeMode::kScored) == ids, "encoding is as it was" + label);
}

void test_filters_are_per_copy_and_kept_in_the_document() {
  Tokenizer tok = trained();
  Status unknown = tok.add_filter("Lowercase");
  check(!unknown.ok() && unknown.error().kind == ErrorKind::kInvalidArgument &&
            unknown.error().message ==
                "Unknown filter: 'Lowercase'. Available: lowercase, normalize_whitespace, "
                "strip_non_printable",
        "an unknown filter name is refused");
  Tokenizer copy = tok;
  check(tok.add_filter("lowercase").ok() && tok.add_filter("normalize_whitespace").ok(), "filters added");
  check(tok.filter_names() == std::vector<std::string>{"lowercase_ascii", "normalize_whitespace"},
        "the names the filters report, in order");
  check(copy.filter_names().empty() && !copy.has_filters(), "the copy keeps its own (no) filters");
  check(encode(tok, "THE  Dog", EncodeMode::kScored) == encode(copy, "the dog", EncodeMode::kScored),
        "encode applies the filters");
  check(reloaded(tok).filter_names() == tok.filter_names(), "the document keeps the filters");
}

void test_prune_writes_its_line_and_fails_cleanly() {
  Tokenizer tok = trained();
  const std::uint64_t size = tok.vocab_size();
  const std::string document = tok.to_document();
  check(!tok.prune(270, corpus(), failing_sink()).ok(), "a failed console write fails the prune");
  check(tok.to_document() == document, "a failed prune changes nothing");
  Captured console;
  check(tok.prune(270, corpus(), console.sink()).ok(), "prune succeeds");
  check(console.text == "Pruned vocab: " + std::to_string(size) + " -> 270 tokens\n",
        "the pruning line goes to the sink: " + console.text);
  check(tok.vocab_size() == 270, "the pruned size");
}

void test_token_bytes_range() {
  Tokenizer tok = trained();
  check(tok.token_bytes(65).value() == "A", "a byte token");
  Result<std::string_view> outside = tok.token_bytes(static_cast<TokenId>(tok.table_size()));
  check(!outside.ok() && outside.error().kind == ErrorKind::kInvalidArgument &&
            outside.error().message == "token_id " + std::to_string(tok.table_size()) +
                                           " out of range (vocab size " +
                                           std::to_string(tok.vocab_size()) + ")",
        "an id past the table is refused");
}

// Readers of a copy run while the original changes: each keeps its model.
void test_copies_read_while_the_original_changes() {
  Tokenizer tok = trained();
  const Tokenizer copy = tok;
  const std::string text = corpus();
  const TokenIds want = encode(copy, text, EncodeMode::kScored);
  bool same = true;
  std::thread reader([&] {
    for (int i = 0; i < 20; ++i) same = same && copy.encode(text).value() == want;
  });
  for (int i = 0; i < 20; ++i) (void)tok.add_special_token("<s" + std::to_string(i) + ">");
  reader.join();
  check(same, "the copy encodes the same throughout");
  check(tok.vocab_size() == copy.vocab_size() + 20, "the original has its tokens");
}

}  // namespace

int main() {
  test_training_reports_through_the_callbacks();
  test_write_document();
  for (bool shared : {false, true}) {
    test_special_token_encodes_as_after_reload(shared);
    test_failed_special_token_changes_nothing(shared);
  }
  test_filters_are_per_copy_and_kept_in_the_document();
  test_prune_writes_its_line_and_fails_cleanly();
  test_token_bytes_range();
  test_copies_read_while_the_original_changes();
  return testing::finish();
}
