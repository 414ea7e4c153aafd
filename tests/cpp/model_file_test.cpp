// Model file writer and reader at the level Python cannot reach: non-finite
// floats, arbitrary bit patterns, control bytes in names. The golden layout,
// the reading rules and file-system behaviour are tested through the module
// in tests/test_model_file.py.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

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
  for (int i = 0; i < 500; ++i) v.bigrams[bigram_key(pick(rng), pick(rng))] = finite();
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
    check(back.ok() && back->vocab == v, "random vocabulary round trip " + std::to_string(round) + ": " +
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

}  // namespace

int main() {
  test_layout();
  test_round_trips();
  return testing::finish();
}
