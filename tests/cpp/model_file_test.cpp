// Model file writer and reader at the level Python cannot reach: non-finite
// floats, arbitrary bit patterns, control bytes in names. The golden layout,
// the reading rules and file-system behaviour are tested through the module
// in tests/test_model_file.py.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "vocab/json_writer.h"
#include "vocab/model_file.h"

using namespace tarvik;

namespace {

using testing::check;
using testing::check_eq;

std::string format_double(double v) {
  char buf[detail::kMaxDoubleChars];
  return std::string(buf, detail::write_double(buf, v));
}

// A vocabulary with merges, special tokens, bigrams and awkward floats.
Vocab random_vocab(std::mt19937_64& rng) {
  Vocab v = Vocab::base();
  std::uniform_int_distribution<int> pick(0, 255);
  for (int i = 0; i < 300; ++i) v.append_merged(pick(rng), pick(rng) + i);
  auto finite = [&rng] {
    for (;;) {
      double value = std::bit_cast<double>(rng());
      if (std::isfinite(value)) return value;
    }
  };
  for (Token& t : v.tokens) t.log_prob = finite();
  std::vector<BigramTable::Entry> bigrams;
  for (int i = 0; i < 500; ++i) bigrams.emplace_back(bigram_key(pick(rng), pick(rng)), finite());
  v.bigrams = BigramTable::from_entries(std::move(bigrams));
  v.tokens[1].log_prob = -0.0;
  v.tokens[2].log_prob = 5e-324;
  (void)v.add_special_token("<|end|>");
  (void)v.add_special_token("\x01\"\\\n\x7f caf\xc3\xa9 \xf0\x9f\x98\x80");
  (void)v.add_special_token("");
  return v;
}

void test_layout() {
  Vocab empty;
  empty.tokens.push_back(Token{7, "", 1.0, std::nullopt});
  std::string text = render_model(empty);
  check_eq(text.substr(text.find("\"bytes\"")), R"("bytes": [],
      "log_prob": 1.0,
      "merge_pair": null
    }
  ],
  "bigrams": [],
  "vocab_size": 0,
  "special_tokens": []
})",
           "empty arrays on one line, no trailing line feed");

  const std::pair<double, const char*> floats[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-4.5, "-4.5"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {0.00001, "0.00001"},
      {0.000015, "0.000015"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {2.5e-300, "2.5e-300"},
      {123456.789, "123456.789"},
      {1234567890123456.8, "1234567890123456.8"},
      {12345678901234567.0, "1.2345678901234568e+16"},
      {0.1, "0.1"},
      {1.0 / 3, "0.3333333333333333"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {-1e100, "-1e+100"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
      {std::numeric_limits<double>::quiet_NaN(), "null"}};
  for (auto [value, want] : floats) check_eq(format_double(value), want, "float form");

  const std::pair<std::string, const char*> strings[] = {
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"caf\xc3\xa9/", "\"caf\xc3\xa9/\""}};
  for (const auto& [raw, want] : strings) {
    char buf[64];
    check_eq(std::string(buf, detail::write_string(buf, raw)), want, "string escapes");
  }
}

void test_round_trips() {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 20; ++round) {
    Vocab v = random_vocab(rng);
    auto back = parse_model(render_model(v));
    check(back.ok() && back->vocab == v && back->filters.empty(), "random vocabulary round trip " + std::to_string(round) + ": " +
                                       (back.ok() ? "differs" : back.error().message));
  }
  // Every finite double reads back bit for bit from its written form.
  int bad = 0;
  for (int i = 0; i < 200000; ++i) {
    double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value)) continue;
    std::string text = format_double(value);
    double back = 0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    bad += std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(value);
  }
  check(bad == 0, "double round trip, " + std::to_string(bad) + " mismatches");
}

// The "filters" key: written after "special_tokens" only when a filter is
// active, read back in order, optional, and strict about names.
void test_filters() {
  Vocab v = Vocab::base();
  (void)v.add_special_token("<s>");
  const std::string plain = render_model(v);
  check(plain.find("\"filters\"") == std::string::npos, "no filters: no key");
  check(plain.ends_with("  ]\n}"), "no filters: the document ends with special_tokens");

  const Filter filters[] = {Filter::kNormalizeWhitespace, Filter::kLowercaseAscii,
                            Filter::kNormalizeWhitespace};
  const std::string text = render_model(v, filters);
  check_eq(text.substr(text.find("\n  \"filters\"")), R"(
  "filters": [
    "normalize_whitespace",
    "lowercase_ascii",
    "normalize_whitespace"
  ]
})",
           "filters layout");
  check_eq(text.substr(0, text.find(",\n  \"filters\"")) + "\n}", plain,
           "filters add only their key");
  auto back = parse_model(text);
  check(back.ok() && back->vocab == v &&
            std::equal(back->filters.begin(), back->filters.end(), std::begin(filters),
                       std::end(filters)),
        "filters read back in order");

  const std::pair<std::string, std::string> bad[] = {
      {R"("filters": ["lowercase", "upper"])",
       R"(invalid value: unknown filter "upper", expected a filter name)"},
      {R"("filters": "lowercase")", "invalid type: string \"lowercase\", expected an array"},
      {R"("filters": [], "filters": [])", "duplicate field `filters`"}};
  for (const auto& [member, want] : bad) {
    auto result = parse_model(R"({"version": "", "tokens": [], "bigrams": [], "vocab_size": 0, )" +
                              member + "}");
    check(!result.ok() && result.error().message.starts_with(want),
          "bad filters: " + member + " -> " + (result.ok() ? "loaded" : result.error().message));
  }
  auto alias = parse_model(R"({"tokens": [], "bigrams": [], "vocab_size": 0, "version": "",
                               "filters": ["lowercase"]})");
  check(alias.ok() && alias->filters.size() == 1 && alias->filters[0] == Filter::kLowercaseAscii,
        "an accepted alias reads as its filter");
  // The positional form keeps its five fields: filters are named, never positional.
  auto positional = parse_model(R"(["", [], [], 0, [], ["lowercase"]])");
  check(!positional.ok() && positional.error().message.starts_with(
                                "invalid length 6, expected struct VocabFile with 5 elements"),
        "a sixth positional element is refused");
}

// The same vocabulary gives the same bytes whatever order its bigram table
// was given in: entries are written by (left, right).
// Sizes on both sides of the switch from a comparison sort to a radix sort;
// ids past 65536 so that the radix sort takes more than two passes.
void test_bigram_order(int size, TokenId ids) {
  std::mt19937_64 rng(7);
  std::vector<std::pair<std::uint64_t, double>> entries;
  for (int i = 0; i < size; ++i) {
    entries.emplace_back(
        bigram_key(static_cast<TokenId>(rng() % ids), static_cast<TokenId>(rng() % ids)),
        -static_cast<double>(i));
  }
  Vocab forward = Vocab::base();
  Vocab backward = Vocab::base();
  forward.bigrams = BigramTable::from_entries(entries);
  // The distinct keys with the values that held, given in reverse.
  std::vector<BigramTable::Entry> reversed(forward.bigrams.begin(), forward.bigrams.end());
  std::reverse(reversed.begin(), reversed.end());
  backward.bigrams = BigramTable::from_entries(reversed);
  const std::string text = render_model(forward);
  check(text == render_model(backward), "bigram order does not depend on the order given");
  // One entry a key, in key order, with the value given last.
  std::map<std::uint64_t, double> expected;
  for (const auto& [key, value] : entries) expected[key] = value;
  const std::vector<BigramTable::Entry> held(expected.begin(), expected.end());
  check(std::equal(forward.bigrams.begin(), forward.bigrams.end(), held.begin(), held.end()),
        "the table holds each key once, in order, with its last value");
  std::vector<std::pair<TokenId, TokenId>> written;
  for (std::size_t at = text.find("\"left\": "); at != std::string::npos;
       at = text.find("\"left\": ", at + 1)) {
    std::size_t right = text.find("\"right\": ", at);
    written.emplace_back(std::stoul(text.substr(at + 8)), std::stoul(text.substr(right + 9)));
  }
  check(written.size() == forward.bigrams.size() &&
            std::is_sorted(written.begin(), written.end()),
        "bigrams written in (left, right) order");
}

}  // namespace

int main() {
  test_layout();
  test_round_trips();
  test_filters();
  test_bigram_order(2000, 300);
  test_bigram_order(20000, 300);
  test_bigram_order(20000, 70000);
  return testing::finish();
}
