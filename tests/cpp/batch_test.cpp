// Batch encoding through the public header: every item equals encoding it
// alone in every mode (short, empty and chunked items), the sink form gives
// the same ids and boundaries and is told a bound on the ids that holds,
// MappedIds keeps its contents whatever the hint, ordinary text never yields
// a special id, and a cancel check stops a batch with kInterrupted.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "tarvik/tokenizer.h"

using namespace tarvik;

namespace {

using testing::check;

constexpr EncodeMode kModes[] = {EncodeMode::kScored, EncodeMode::kGreedy, EncodeMode::kDense};

std::string corpus() {
  std::string text;
  for (int i = 0; i < 60; ++i) {
    text += "the quick brown fox jumps over the lazy dog <eos> " + std::to_string(i % 9) + "\n";
  }
  return text;
}

Tokenizer trained() {
  TrainOptions options;
  options.vocab_size = 320;
  options.show_progress = false;
  options.check_quality = false;
  options.special_tokens = {"<eos>"};
  Result<Tokenizer> tok = Tokenizer::train(corpus(), options, [](std::string_view) -> Status {
    return {};
  });
  check(tok.ok(), "training succeeds");
  return std::move(tok).value();
}

std::vector<std::string> texts() {
  std::string long_text;
  while (long_text.size() < 300000) long_text += corpus();
  return {"", "the lazy dog<eos>", long_text, "x", "", "<eos><eos> fox", long_text.substr(7, 131073)};
}

void test_items_equal_single_encodings(const Tokenizer& tok) {
  const std::vector<std::string> owned = texts();
  const std::vector<std::string_view> views(owned.begin(), owned.end());
  for (EncodeMode mode : kModes) {
    for (bool special : {true, false}) {
      Result<FlatIds> flat = tok.encode_batch(views, mode, special);
      check(flat.ok(), "the batch encodes");
      if (!flat.ok()) continue;
      check(flat->offsets.size() == views.size() + 1 && flat->offsets[0] == 0, "one boundary per item and one more");
      bool same = true;
      for (std::size_t i = 0; i < views.size(); ++i) {
        const TokenIds want = tok.encode_filtered(views[i], mode, special).value();
        const TokenIds got(flat->ids.begin() + static_cast<std::ptrdiff_t>(flat->offsets[i]),
                           flat->ids.begin() + static_cast<std::ptrdiff_t>(flat->offsets[i + 1]));
        same = same && got == want;
      }
      check(same, "item i is encode_filtered(texts[i]) in mode " + std::to_string(int(mode)) +
                      (special ? " with" : " without") + " special tokens");
      check(flat->offsets.back() == flat->ids.size(), "the last boundary is the id count");
    }
  }
}

struct CountingSink final : IdSink {
  TokenIds ids;
  int calls = 0;
  std::vector<std::size_t> hints;
  TokenId* extend(std::size_t count) override {
    ++calls;
    ids.resize(ids.size() + count);
    return ids.data() + ids.size() - count;
  }
  void expect(std::size_t most) override { hints.push_back(most); }
};

void test_sink_form_and_empty_batch(const Tokenizer& tok) {
  const std::vector<std::string> owned = texts();
  const std::vector<std::string_view> views(owned.begin(), owned.end());
  CountingSink sink;
  std::vector<std::uint64_t> offsets(views.size() + 1, 99);
  check(tok.encode_batch(views, EncodeMode::kScored, true, sink, offsets).ok(), "the sink form encodes");
  const FlatIds flat = tok.encode_batch(views, EncodeMode::kScored).value();
  check(sink.ids == flat.ids && offsets == flat.offsets, "the sink sees the same ids and boundaries");
  std::size_t input_bytes = 0;
  for (std::string_view text : views) input_bytes += text.size();
  check(sink.hints == std::vector<std::size_t>{input_bytes} && sink.ids.size() <= input_bytes,
        "one hint, the input's bytes, which bounds the ids");

  std::vector<std::uint64_t> short_offsets(views.size());
  check(!tok.encode_batch(views, EncodeMode::kScored, true, sink, short_offsets).ok(),
        "boundaries of the wrong length are refused");

  Result<FlatIds> none = tok.encode_batch({}, EncodeMode::kScored);
  check(none.ok() && none->ids.empty() && none->offsets == std::vector<std::uint64_t>{0},
        "an empty batch has one boundary");
}

void test_ordinary_text_has_no_special_id(const Tokenizer& tok) {
  const TokenId eos = tok.special_token_id("<eos>").value();
  for (EncodeMode mode : kModes) {
    const TokenIds with = tok.encode("<eos>", mode).value();
    const TokenIds without = tok.encode("<eos>", mode, false).value();
    check(with == TokenIds{eos}, "the name alone is the special id");
    bool clean = true;
    for (TokenId id : without) clean = clean && id != eos;
    check(clean && !without.empty(), "without special tokens the name is ordinary text");
    check(tok.decode(without).value() == "<eos>", "and decodes to the name");
  }
}

void test_cancel_stops_the_batch(const Tokenizer& tok) {
  std::string big;
  while (big.size() < 4000000) big += corpus();
  std::vector<std::string_view> views(8, big);
  int calls = 0;
  Result<FlatIds> stopped = tok.encode_batch(views, EncodeMode::kScored, true, [&] {
    ++calls;
    return true;
  });
  check(!stopped.ok() && stopped.error().kind == ErrorKind::kInterrupted, "a stop returns kInterrupted");
  check(calls >= 1, "the check was polled");
}

// The hint sets room aside and nothing more: more ids than hinted, or fewer,
// and arrays past the heap's share, keep every id written.
void test_mapped_ids_keep_their_contents_whatever_the_hint() {
  for (std::size_t hint : {std::size_t{0}, std::size_t{10}, std::size_t{1} << 20}) {
    for (std::size_t total : {std::size_t{5}, std::size_t{3000}, std::size_t{400000}}) {
      MappedIds ids;
      ids.expect(hint);
      bool same = true;
      for (std::size_t written = 0; written < total;) {
        const std::size_t step = std::min<std::size_t>(total - written, 777);
        TokenId* room = ids.extend(step);
        for (std::size_t i = 0; i < step; ++i) room[i] = static_cast<TokenId>(written + i);
        written += step;
      }
      for (std::size_t i = 0; i < total && same; ++i) same = ids.data()[i] == i;
      check(same && ids.size() == total, "hint " + std::to_string(hint) + ", " +
                                             std::to_string(total) + " ids written and kept");
    }
  }
}

}  // namespace

int main() {
  test_mapped_ids_keep_their_contents_whatever_the_hint();
  const Tokenizer tok = trained();
  test_items_equal_single_encodings(tok);
  test_sink_form_and_empty_batch(tok);
  test_ordinary_text_has_no_special_id(tok);
  test_cancel_stops_the_batch(tok);
  return testing::finish();
}
