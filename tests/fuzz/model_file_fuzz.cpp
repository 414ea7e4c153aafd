// Fuzz target for the model file reader and writer.
//
// The input is used twice. As fields, it makes a Vocab of any content (every
// finite double, any id, byte string and UTF-8 name), which must be written
// and read back equal. As text, parse_model either fails with a kIo error (the UTF-8
// message exactly when the bytes are not UTF-8, otherwise a message that
// carries " at line ") or gives a Vocab and filters whose rendering parses
// back equal, every float bit for bit (the writer uses the shortest
// round-trip form, and a document cannot hold a NaN), and renders again to
// the same text.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/text.h"
#include "fuzz_check.h"
#include "vocab/model_file.h"

namespace {

constexpr std::string_view kUtf8Message = "stream did not contain valid UTF-8";

std::string describe(const tarvik::Error& error) {
  return "kind " + std::to_string(static_cast<int>(error.kind)) + ": " + error.message;
}

// Writes `vocab` and `filters` and reads them back: equal, every float bit for bit.
int check_round_trip(const tarvik::Vocab& vocab, std::span<const tarvik::Filter> filters);

// The input read as fields rather than text: a Vocab holding whatever the
// bytes say (any finite double, any id, any byte string, names made UTF-8),
// and any list of filters.
tarvik::ModelDocument document_from_bytes(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  std::size_t pos = 0;
  auto take = [&](std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | (pos < size ? data[pos++] : 0);
    return v;
  };
  auto take_double = [&] {
    const double d = std::bit_cast<double>(take(8));
    return std::isfinite(d) ? d : -1.0;
  };
  auto take_bytes = [&] {
    const std::size_t want = take(1) % 8;
    const std::size_t n = std::min(want, size - std::min(pos, size));
    std::string out(reinterpret_cast<const char*>(data) + pos, n);
    pos += n;
    return out;
  };
  ModelDocument document;
  Vocab& vocab = document.vocab;
  vocab.vocab_size = take(8);
  const std::size_t tokens = take(1) % 8, bigrams = take(1) % 8, specials = take(1) % 4;
  for (std::size_t i = take(1) % 4; i > 0; --i) {
    document.filters.push_back(static_cast<Filter>(take(1) % 3));
  }
  for (std::size_t i = 0; i < tokens; ++i) {
    Token token;
    token.id = static_cast<TokenId>(take(4));
    token.bytes = take_bytes();
    token.log_prob = take_double();
    if (take(1) & 1)
      token.merge_pair = MergePair{static_cast<TokenId>(take(4)), static_cast<TokenId>(take(4))};
    vocab.tokens.push_back(std::move(token));
  }
  std::vector<BigramTable::Entry> bigram_entries;
  for (std::size_t i = 0; i < bigrams; ++i) {
    const std::uint64_t key = take(8);
    bigram_entries.emplace_back(key, take_double());
  }
  vocab.bigrams = BigramTable::from_entries(std::move(bigram_entries));
  for (std::size_t i = 0; i < specials; ++i) {
    SpecialToken special;
    special.name = lossy_utf8(take_bytes());
    special.id = static_cast<TokenId>(take(4));
    special.bytes = take_bytes();
    vocab.id_by_name[special.name] = special.id;
    vocab.special_tokens.push_back(std::move(special));
  }
  return document;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  const ModelDocument fields = document_from_bytes(data, size);
  check_round_trip(fields.vocab, fields.filters);  // a failure is counted; go on with the text
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool utf8 = is_valid_utf8(text);

  Result<ModelDocument> parsed = parse_model(text);
  if (!parsed.ok()) {
    const Error& error = parsed.error();
    TARVIK_FUZZ_CHECK(error.kind == ErrorKind::kIo, describe(error));
    if (!utf8) {
      TARVIK_FUZZ_CHECK(error.message == kUtf8Message, describe(error));
    } else {
      TARVIK_FUZZ_CHECK(error.message.find(" at line ") != std::string::npos, describe(error));
    }
    return 0;
  }
  TARVIK_FUZZ_CHECK(utf8, "a document that is not UTF-8 was accepted");
  const Vocab& vocab = parsed->vocab;

  // Derived state: the name index follows the special tokens, the last of a
  // repeated name winning.
  std::unordered_map<std::string, TokenId> names;
  for (const SpecialToken& special : vocab.special_tokens) names[special.name] = special.id;
  TARVIK_FUZZ_CHECK(names == vocab.id_by_name, "name index does not follow the special tokens");
  return check_round_trip(vocab, parsed->filters);
}

namespace {

int check_round_trip(const tarvik::Vocab& vocab, std::span<const tarvik::Filter> filters) {
  using namespace tarvik;
  const std::string rendered = render_model(vocab, filters);
  TARVIK_FUZZ_CHECK(is_valid_utf8(rendered), "rendered document is not UTF-8");
  Result<ModelDocument> document = parse_model(rendered);
  TARVIK_FUZZ_CHECK(document.ok(), describe(document.error()) + "\nrendered:\n" + rendered);
  const Vocab* again = &document->vocab;
  TARVIK_FUZZ_CHECK(*again == vocab,
                    "rendered document reads back different\nrendered:\n" + rendered);
  TARVIK_FUZZ_CHECK(std::equal(filters.begin(), filters.end(), document->filters.begin(),
                               document->filters.end()),
                    "filters read back different\nrendered:\n" + rendered);

  // operator== on doubles does not see the sign of zero; the bits must match too.
  for (std::size_t i = 0; i < vocab.tokens.size(); ++i) {
    TARVIK_FUZZ_CHECK(std::bit_cast<std::uint64_t>(again->tokens[i].log_prob) ==
                          std::bit_cast<std::uint64_t>(vocab.tokens[i].log_prob),
                      "log_prob of token " + std::to_string(i) + " changed bits");
  }
  for (const auto& [key, value] : vocab.bigrams) {
    const auto* it = again->bigrams.find(key);
    TARVIK_FUZZ_CHECK(it != again->bigrams.end() && std::bit_cast<std::uint64_t>(it->second) ==
                                                        std::bit_cast<std::uint64_t>(value),
                      "bigram " + std::to_string(key) + " changed bits");
  }

  // Bigrams are written in (left, right) order, so writing
  // what was read back gives the same text.
  TARVIK_FUZZ_CHECK(render_model(*again, document->filters) == rendered,
                    "rendering is not stable");
  return 0;
}

}  // namespace
