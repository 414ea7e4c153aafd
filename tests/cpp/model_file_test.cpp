// Model file: exact layout, round trips, reading rules, file-system behaviour.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "vocab/json_writer.h"
#include "vocab/model_file.h"

namespace fs = std::filesystem;
using namespace tarvik;

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

void check_eq(const std::string& got, const std::string& want, const std::string& what) {
  check(got == want, what + "\n  got:  " + got + "\n  want: " + want);
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

std::string load_error(std::string_view text) {
  auto r = parse_model(text);
  return r.ok() ? "<loaded>" : r.error().message;
}

std::string format_double(double v) {
  char buf[detail::kMaxDoubleChars];
  return std::string(buf, detail::write_double(buf, v));
}

constexpr const char* kExcerpt = R"({
  "version": "0.1.1",
  "tokens": [
    {
      "id": 0,
      "bytes": [
        0
      ],
      "log_prob": -12.5,
      "merge_pair": null
    },
    {
      "id": 256,
      "bytes": [
        116,
        104
      ],
      "log_prob": -4.5,
      "merge_pair": [
        116,
        104
      ]
    },
    {
      "id": 257,
      "bytes": [
        101,
        110,
        100
      ],
      "log_prob": 0.0,
      "merge_pair": null
    }
  ],
  "bigrams": [
    {
      "left": 116,
      "right": 104,
      "log_prob": -0.25
    }
  ],
  "vocab_size": 258,
  "special_tokens": [
    {
      "name": "end",
      "id": 257,
      "bytes": [
        101,
        110,
        100
      ]
    }
  ]
})";

Vocab excerpt_vocab() {
  Vocab v;
  v.tokens = {Token{0, std::string(1, '\0'), -12.5, std::nullopt},
              Token{256, "th", -4.5, MergePair{116, 104}}, Token{257, "end", 0.0, std::nullopt}};
  v.special_tokens = {SpecialToken{"end", 257, "end"}};
  v.bigrams[bigram_key(116, 104)] = -0.25;
  v.id_by_name["end"] = 257;
  v.vocab_size = 258;
  return v;
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
  v.add_special_token("<|end|>");
  v.add_special_token("\x01\"\\\n\x7f caf\xc3\xa9 \xf0\x9f\x98\x80");
  v.add_special_token("");
  return v;
}

void test_layout() {
  check_eq(render_model(excerpt_vocab()), kExcerpt, "worked excerpt");
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
  auto excerpt = parse_model(kExcerpt);
  check(excerpt.ok() && *excerpt == excerpt_vocab(), "excerpt reads back");
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 20; ++round) {
    Vocab v = random_vocab(rng);
    auto back = parse_model(render_model(v));
    check(back.ok() && *back == v, "random vocabulary round trip " + std::to_string(round) + ": " +
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

// A document whose one token is `token` (object text); the rest is valid.
std::string with_token(const std::string& token) {
  return R"({"version": "x", "tokens": [)" + token + R"(], "bigrams": [], "vocab_size": 1})";
}

void test_accepted_forms() {
  auto object = parse_model(kExcerpt);
  auto positional = parse_model(R"(["0.1.1",
    [[0, [0], -12.5, null], [256, [116, 104], -4.5, [116, 104]], [257, [101, 110, 100], 0, null]],
    [[116, 104, -0.25]], 258, [["end", 257, [101, 110, 100]]]])");
  check(positional.ok() && *positional == *object, "positional form reads as the object form");

  auto mixed = parse_model(R"( {"extra": {"a": [1, {"b": null}], "c": "\u00e9\ud83d\ude00"},
      "vocab_size": 18446744073709551615, "bigrams": [{"log_prob": 1, "right": 2, "left": 1},
      {"left": 1, "right": 2, "log_prob": 2e-400}],
      "tokens": [{"bytes": [], "log_prob": -0, "id": 4294967295, "zz": 1}],
      "version": "anything", "special_tokens": [["a", 1, []], {"id": 9, "name": "a", "bytes": []}]}
      )");
  check(mixed.ok(), "keys in any order, unknown keys, extremes");
  if (mixed.ok()) {
    check(mixed->vocab_size == UINT64_MAX && mixed->tokens.size() == 1, "vocab_size as stored");
    check(mixed->tokens[0].id == 4294967295u && !mixed->tokens[0].merge_pair &&
              std::signbit(mixed->tokens[0].log_prob),
          "id 4294967295, missing merge_pair, -0 log_prob");
    check(mixed->bigrams.size() == 1 && mixed->bigrams.at(bigram_key(1, 2)) == 0.0,
          "a repeated bigram keeps the last value; underflow reads as zero");
    check(mixed->special_tokens.size() == 2 && mixed->id_by_name.at("a") == 9,
          "a repeated special name keeps the last id");
  }
  auto no_special = parse_model(R"(["v", [], [], 5])");
  check(no_special.ok() && no_special->special_tokens.empty() && no_special->vocab_size == 5,
        "positional VocabFile may stop after vocab_size");
  auto escaped = parse_model(R"({"\u0076ersion": "", "tokens": [], "bigrams": [],
      "vocab_size": 0, "special_tokens": [{"name": "\ud83d\ude00\t", "id": 0, "bytes": [9]}]})");
  check(escaped.ok() && escaped->special_tokens[0].name == "\xf0\x9f\x98\x80\t",
        "escaped keys match; surrogate pairs decode");
}

void test_rejected_forms() {
  const std::pair<std::string, std::string> cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {R"({"version": "", "tokens": [], "bigrams": []})",
       "missing field `vocab_size` at line 1 column 44"},
      {R"({"tokens": []})", "missing field `version` at line 1 column 14"},
      {R"({"version": "", "version": ""})", "duplicate field `version` at line 1 column 17"},
      {with_token(R"({"id": 1, "bytes": [], "log_prob": 0, "id": 2})"),
       "duplicate field `id` at line 1 column 67"},
      {with_token(R"({"id": 1, "bytes": []})"), "missing field `log_prob` at line 1 column 50"},
      {with_token(R"({"id": -1, "bytes": [], "log_prob": 0})"),
       "invalid value: integer `-1`, expected a token id (an integer from 0 to 4294967295) at line "
       "1 column 36"},
      {with_token(R"({"id": 4294967296, "bytes": [], "log_prob": 0})"),
       "invalid value: integer `4294967296`, expected a token id (an integer from 0 to "
       "4294967295) at line 1 column 36"},
      {with_token(R"({"id": 1.0, "bytes": [], "log_prob": 0})"),
       "invalid type: floating point `1.0`, expected a token id (an integer from 0 to "
       "4294967295) at line 1 column 36"},
      {with_token(R"({"id": 1, "bytes": "ab", "log_prob": 0})"),
       "invalid type: string \"ab\", expected an array of byte values at line 1 column 48"},
      {with_token(R"({"id": 1, "bytes": [256], "log_prob": 0})"),
       "invalid value: integer `256`, expected a byte value (an integer from 0 to 255) at line 1 "
       "column 49"},
      {with_token(R"({"id": 1, "bytes": [], "log_prob": null})"),
       "invalid type: null, expected a number at line 1 column 64"},
      {with_token(R"({"id": 1, "bytes": [], "log_prob": 1e309})"),
       "number out of range: `1e309` is too large for a 64-bit float at line 1 column 64"},
      {with_token(R"({"id": 1, "bytes": [], "log_prob": 0, "merge_pair": [1]})"),
       "invalid length 1, expected an array of 2 token ids at line 1 column 83"},
      {with_token(R"({"id": 1, "bytes": [], "log_prob": 0, "merge_pair": true})"),
       "invalid type: boolean `true`, expected null or an array of 2 token ids at line 1 column "
       "81"},
      {with_token("[1, [], 0]"),
       "invalid length 3, expected struct Token with 4 elements at line "
       "1 column 38"},
      {with_token("[1, [], 0, null, 5]"),
       "invalid length 5, expected struct Token with 4 elements at line 1 column 47"},
      {with_token("7"), "invalid type: integer `7`, expected struct Token at line 1 column 29"},
      {R"(["v", [], []])",
       "invalid length 3, expected struct VocabFile with 5 elements at line 1 "
       "column 13"},
      {R"(["v", [], [[1, 2]], 0])",
       "invalid length 2, expected struct BigramEntry with 3 elements at line 1 column 17"},
      {R"(["v", [], [], 0, [["n", 1]]])",
       "invalid length 2, expected struct SpecialToken with 3 elements at line 1 column 26"},
      {R"(["v", [], [], 0, [], 1])",
       "invalid length 6, expected struct VocabFile with 5 elements at line 1 column 23"},
      {R"(["v", {}, [], 0])",
       "invalid type: object, expected an array of tokens at line 1 column 7"},
      {R"([1, [], [], 0])", "invalid type: integer `1`, expected a string at line 1 column 2"},
      {"[\"v\", [], [], 0]\n x", "trailing characters after the document at line 2 column 2"},
      {R"(["v", [], [], 0,])", "trailing comma at line 1 column 17"},
      {R"(["v", [], [], 01])", "invalid number: leading zero at line 1 column 16"},
      {R"(["v", [], [], 0)", "EOF while parsing an array at line 1 column 15"},
      {"[\"a\tb\"]",
       "control character (below U+0020) in a string; write it as an escape at line "
       "1 column 4"},
      {R"(["\q"])", "invalid escape at line 1 column 3"},
      {R"(["\ud800"])", "unpaired high surrogate in \\u escape at line 1 column 3"},
      {R"({"x": [1 2]})", "expected `,` or `]` after an array element at line 1 column 10"},
      {R"({"x": {"a" 1}})", "expected `:` after an object key at line 1 column 12"},
      {R"({"x": tru})", "expected value at line 1 column 7"},
      {"[\"\xc3\xa9\xc3\xa9\", [], [], 0] x",
       "trailing characters after the document at line 1 column 19"},
      {"[\"\xff\"]", "stream did not contain valid UTF-8"},
  };
  for (const auto& [text, want] : cases) check_eq(load_error(text), want, "error for " + text);

  // Nesting inside skipped values is bounded; within the bound it is skipped.
  auto nested = [](int depth) {
    return R"({"x": )" + std::string(depth, '[') + std::string(depth, ']') +
           R"(, "version": "", "tokens": [], "bigrams": [], "vocab_size": 0})";
  };
  check(parse_model(nested(256)).ok(), "256 levels inside an unknown key are skipped");
  check(load_error(nested(100000)).starts_with("nesting deeper than 256 levels"),
        "deep nesting is an error, not a crash");
}

void test_files() {
  fs::path dir = fs::temp_directory_path() / ("model_file_test_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  Vocab vocab = excerpt_vocab();
  fs::path file = dir / "model.json";

  check(save_model(vocab, file).ok() && slurp(file) == kExcerpt, "save writes the document");
  auto loaded = load_model(file);
  check(loaded.ok() && *loaded == vocab, "load reads it back");
  check((fs::status(file).permissions() & fs::perms::all) == (fs::perms(0666 & ~022)),
        "a new file gets 0666 minus the umask");
  fs::permissions(file, fs::perms(0640));
  check(save_model(vocab, file).ok() &&
            (fs::status(file).permissions() & fs::perms::all) == fs::perms(0640),
        "an existing file keeps its mode");
  fs::create_symlink(file, dir / "link.json");
  check(save_model(vocab, dir / "link.json").ok() && fs::is_symlink(dir / "link.json"),
        "saving through a symlink keeps the link");

  const std::pair<Error, std::string> io_errors[] = {
      {load_model((dir / "absent.json").string()).error(),
       "No such file or directory (os error 2)"},
      {load_model(dir.string()).error(), "Is a directory (os error 21)"},
      {save_model(vocab, (dir / "no/such/dir.json").string()).error(),
       "No such file or directory (os error 2)"},
      {save_model(vocab, std::string("a\0b", 3)).error(),
       "file name contained an unexpected NUL byte"},
      {load_model(std::string("a\0b", 3)).error(), "file name contained an unexpected NUL byte"},
      {save_model(vocab, "/dev/full").error(), "No space left on device (os error 28)"},
  };
  for (const auto& [error, want] : io_errors) check_eq(error.message, want, "io error");

  spit(dir / "latin1.json", "[\"\xe9\", [], [], 0]");
  check_eq(load_model(dir / "latin1.json").error().message, "stream did not contain valid UTF-8",
           "file not UTF-8");

  // A FIFO is written in place, not replaced by a regular file.
  fs::path fifo = dir / "fifo";
  mkfifo(fifo.c_str(), 0600);
  std::string received;
  std::thread reader([&] { received = slurp(fifo); });
  Status fifo_saved = save_model(vocab, fifo);
  reader.join();
  check(fifo_saved.ok() && received == kExcerpt && fs::is_fifo(fifo), "FIFO written directly");

  // A save that fails part-way (file size limit) leaves the old file whole
  // and no temporary file behind.
  std::mt19937_64 rng(7);
  Vocab big = random_vocab(rng);
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    Status s = save_model(big, file);
    _exit(!s.ok() && s.error().message == "File too large (os error 27)" ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "half-way save fails with EFBIG");
  check(slurp(file) == kExcerpt, "the old file survives a failed save");
  int entries = 0;
  for (const auto& entry : fs::directory_iterator(dir))
    entries += entry.path().filename().string()[0] == '.';
  check(entries == 0, "no temporary file left behind");

  // In a directory it may not write to, an existing writable file is still
  // saved (in place), as before.
  fs::path locked = dir / "locked";
  fs::create_directory(locked);
  spit(locked / "m.json", "old");
  fs::permissions(locked, fs::perms(0555));
  fs::permissions(locked / "m.json", fs::perms(0666));
  child = fork();
  if (child == 0) {
    if (setuid(65534) != 0) _exit(2);
    Status in_place = save_model(vocab, locked / "m.json");
    Status fresh = save_model(vocab, locked / "new.json");
    _exit(in_place.ok() && !fresh.ok() && fresh.error().message == "Permission denied (os error 13)"
              ? 0
              : 1);
  }
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) != 2) {
    check(WEXITSTATUS(status) == 0 && slurp(locked / "m.json") == kExcerpt,
          "read-only directory: writable file saved in place, new file refused");
  }
  fs::permissions(locked, fs::perms(0755));
  fs::remove_all(dir);
}

}  // namespace

int main() {
  test_layout();
  test_round_trips();
  test_accepted_forms();
  test_rejected_forms();
  test_files();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
