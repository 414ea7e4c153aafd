// A main for fuzz targets built without libFuzzer.
//
//   <target> [options] [file or directory]...
//
// Replays every file given (directories are walked recursively), then, with
// --iterations N, runs N inputs made by mutating the replayed inputs and a few
// built-in seeds: bit flips, byte changes, inserts, deletes, repeats, splices
// and random bytes, up to --max-len bytes. The mutations follow --seed, so a
// run is repeatable. libFuzzer's spellings -runs=N, -seed=S and -max_len=N are
// accepted too, so that one command line serves both kinds of build.
//
// A failed check prints the input in hex and the run carries on; a sanitizer
// report prints the input in hex before the process dies. Ends with
// "N passed, M failed" and exits non-zero when M > 0.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

// A failed check inside the core is a sanitizer report; make it stop the run.
extern "C" const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1";
}

namespace {

using Input = std::vector<std::uint8_t>;

// The input being run, for the dying process to print.
const Input* current = nullptr;
const char* current_name = nullptr;

void write_hex(int fd, const Input& input) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char line[2 * 64 + 1];
  for (std::size_t i = 0; i < input.size(); i += 64) {
    std::size_t n = std::min<std::size_t>(64, input.size() - i);
    for (std::size_t j = 0; j < n; ++j) {
      line[2 * j] = kDigits[input[i + j] >> 4];
      line[2 * j + 1] = kDigits[input[i + j] & 15];
    }
    line[2 * n] = '\n';
    [[maybe_unused]] ssize_t ignored = ::write(fd, line, 2 * n + 1);
  }
}

void print_input(const Input& input, const char* name) {
  std::fflush(stdout);
  std::fprintf(stderr, "input (%s, %zu bytes) in hex:\n", name, input.size());
  std::fflush(stderr);
  write_hex(2, input);
}

void on_death() {
  if (!current) return;
  static constexpr char kHead[] = "\n== fuzz input that was running (";
  static constexpr char kTail[] = "), in hex ==\n";
  [[maybe_unused]] ssize_t ignored = ::write(2, kHead, sizeof kHead - 1);
  ignored = ::write(2, current_name, std::strlen(current_name));
  ignored = ::write(2, kTail, sizeof kTail - 1);
  write_hex(2, *current);
}

void on_signal(int sig) {
  on_death();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

struct Options {
  std::uint64_t iterations = 0;
  std::uint64_t seed = 0;
  std::size_t max_len = 4096;
  std::vector<std::string> paths;
};

[[noreturn]] void usage(const char* argv0, const std::string& problem) {
  std::fprintf(stderr,
               "%s: %s\nusage: %s [--iterations N] [--seed S] [--max-len N] [file|dir]...\n"
               "       (or libFuzzer's -runs=N -seed=S -max_len=N)\n",
               argv0, problem.c_str(), argv0);
  std::exit(2);
}

std::uint64_t number(const char* argv0, std::string_view text) {
  std::uint64_t value = 0;
  if (text.empty()) usage(argv0, "missing number");
  for (char c : text) {
    if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) {
      usage(argv0, "bad number `" + std::string(text) + "`");
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.empty() || arg[0] != '-') {
      options.paths.emplace_back(arg);
      continue;
    }
    std::string_view key = arg;
    std::string_view value;
    bool inline_value = false;
    if (std::size_t eq = arg.find('='); eq != std::string_view::npos) {
      key = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    auto take = [&] {
      if (inline_value) return value;
      if (i + 1 >= argc) usage(argv[0], "missing value after " + std::string(key));
      return std::string_view(argv[++i]);
    };
    if (key == "--iterations" || key == "-runs") {
      options.iterations = number(argv[0], take());
    } else if (key == "--seed" || key == "-seed") {
      options.seed = number(argv[0], take());
    } else if (key == "--max-len" || key == "-max_len") {
      options.max_len = std::max<std::size_t>(1, number(argv[0], take()));
    } else {
      usage(argv[0], "unknown option " + std::string(arg));
    }
  }
  return options;
}

bool read_file(const std::filesystem::path& path, Input& out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

// Small inputs that every mutation run starts from as well.
std::vector<Input> builtin_seeds() {
  std::vector<Input> seeds;
  auto add = [&](std::string_view s) { seeds.emplace_back(s.begin(), s.end()); };
  add("");
  add("a");
  add("{}");
  add("[]");
  add("[\"v\", [[0, [0], -1.5, null]], [[0, 0, -0.5]], 1, [[\"s\", 1, [115]]]]");
  add("the quick brown fox jumps over the lazy dog");
  Input all(256);
  for (unsigned b = 0; b < 256; ++b) all[b] = static_cast<std::uint8_t>(b);
  seeds.push_back(all);
  return seeds;
}

class Mutator {
 public:
  Mutator(std::uint64_t seed, std::size_t max_len) : rng_(seed), max_len_(max_len) {}

  // One to eight stacked mutations of an input from `pool`, mostly one or two;
  // the first `fixed` inputs of the pool (the seeds) are picked three times in four.
  Input mutate(const std::vector<Input>& pool, std::size_t fixed) {
    const bool from_seeds = fixed == pool.size() || below(4) != 0;
    Input out = from_seeds ? pool[below(fixed)] : pool[fixed + below(pool.size() - fixed)];
    std::size_t steps = 1;
    while (steps < 8 && below(2) == 0) ++steps;
    for (std::size_t k = 0; k < steps; ++k) step(out, pool);
    if (out.size() > max_len_) out.resize(max_len_);
    return out;
  }

 private:
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng_() % n); }
  std::uint8_t byte() {
    // Mostly bytes that matter to text formats, then printable ASCII, now and
    // then a byte of a multi-byte sequence or anything at all.
    static constexpr std::string_view kInteresting = "{}[],:\"\\-+.eE0123456789nul \n\t";
    switch (below(8)) {
      case 0:
      case 1:
      case 2:
      case 3:
        return static_cast<std::uint8_t>(kInteresting[below(kInteresting.size())]);
      case 4:
      case 5:
        return static_cast<std::uint8_t>(0x20 + below(0x5F));
      case 6:
        return static_cast<std::uint8_t>(0x80 + below(0x80));
      default:
        return static_cast<std::uint8_t>(rng_());
    }
  }

  void step(Input& out, const std::vector<Input>& pool) {
    const std::size_t n = out.size();
    switch (below(11)) {
      case 0:  // flip a bit
        if (n) out[below(n)] ^= static_cast<std::uint8_t>(1u << below(8));
        break;
      case 1:  // replace a byte
        if (n) out[below(n)] = byte();
        break;
      case 2:  // add a small amount to a byte
        if (n) out[below(n)] += static_cast<std::uint8_t>(below(33) - 16);
        break;
      case 3: {  // insert a few bytes
        std::size_t at = below(n + 1), count = 1 + below(4);
        for (std::size_t j = 0; j < count; ++j) out.insert(out.begin() + at, byte());
        break;
      }
      case 4: {  // delete a range
        if (!n) break;
        std::size_t at = below(n), count = 1 + below(std::min<std::size_t>(n - at, 16));
        out.erase(out.begin() + at, out.begin() + at + count);
        break;
      }
      case 5: {  // repeat a range of the input somewhere in it
        if (!n) break;
        std::size_t from = below(n), count = 1 + below(std::min<std::size_t>(n - from, 64));
        Input piece(out.begin() + from, out.begin() + from + count);
        out.insert(out.begin() + below(n + 1), piece.begin(), piece.end());
        break;
      }
      case 6: {  // splice: this input's head, another's tail
        const Input& other = pool[below(pool.size())];
        std::size_t cut = below(n + 1), from = below(other.size() + 1);
        out.resize(cut);
        out.insert(out.end(), other.begin() + from, other.end());
        break;
      }
      case 7: {  // insert a piece of another input
        const Input& other = pool[below(pool.size())];
        if (other.empty()) break;
        std::size_t from = below(other.size());
        std::size_t count = 1 + below(std::min<std::size_t>(other.size() - from, 64));
        out.insert(out.begin() + below(n + 1), other.begin() + from, other.begin() + from + count);
        break;
      }
      case 8: {  // a word or number that text formats give meaning to
        static constexpr std::string_view kWords[] = {"null",
                                                      "true",
                                                      "[]",
                                                      "{}",
                                                      "\"\"",
                                                      "0",
                                                      "-0",
                                                      "-0.0",
                                                      "1e308",
                                                      "1e309",
                                                      "-1e-400",
                                                      "5e-324",
                                                      "255",
                                                      "256",
                                                      "-1",
                                                      "4294967295",
                                                      "4294967296",
                                                      "18446744073709551615",
                                                      "18446744073709551616",
                                                      "0.1",
                                                      "1E+2",
                                                      "\\u0000",
                                                      "\\ud800",
                                                      "\\udc00\\ud800"};
        const std::string_view word = kWords[below(std::size(kWords))];
        std::size_t at = below(n + 1), end = at;
        if (below(4) != 0) {  // mostly in place of the word or number around `at`
          auto in_word = [&](std::size_t i) {
            const char c = static_cast<char>(out[i]);
            return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.';
          };
          while (at > 0 && in_word(at - 1)) --at;
          while (end < n && in_word(end)) ++end;
        }
        out.erase(out.begin() + at, out.begin() + end);
        out.insert(out.begin() + at, word.begin(), word.end());
        break;
      }
      case 9:  // truncate
        out.resize(below(n + 1));
        break;
      default: {  // overwrite a range with new bytes
        std::size_t count = 1 + below(32);
        if (n < count) out.resize(count);
        std::size_t at = below(out.size() - count + 1);
        for (std::size_t j = 0; j < count; ++j) out[at + j] = byte();
        break;
      }
    }
  }

  std::mt19937_64 rng_;
  std::size_t max_len_;
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(on_death);
  ::signal(SIGABRT, on_signal);
  ::signal(SIGSEGV, on_signal);

  std::vector<std::pair<std::string, Input>> files;
  for (const std::string& path : options.paths) {
    std::error_code ec;
    std::vector<std::filesystem::path> found;
    if (std::filesystem::is_directory(path, ec)) {
      for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
           !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file()) found.push_back(it->path());
      }
      std::sort(found.begin(), found.end());
    } else {
      found.emplace_back(path);
    }
    if (ec) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), ec.message().c_str());
      return 2;
    }
    for (const auto& file : found) {
      Input input;
      if (!read_file(file, input)) {
        std::fprintf(stderr, "%s: cannot read\n", file.c_str());
        return 2;
      }
      files.emplace_back(file.string(), std::move(input));
    }
  }

  std::uint64_t passed = 0, failed = 0;
  auto run = [&](const Input& input, const char* name) {
    current = &input;
    current_name = name;
    const int before = tarvik::fuzz::failed_checks;
    LLVMFuzzerTestOneInput(input.data(), input.size());
    if (tarvik::fuzz::failed_checks != before) {
      ++failed;
      print_input(input, name);
    } else {
      ++passed;
    }
    current = nullptr;
  };

  std::vector<Input> pool = builtin_seeds();
  for (const auto& [name, input] : files) {
    run(input, name.c_str());
    pool.push_back(input);
  }
  for (const Input& input : builtin_seeds()) run(input, "built-in seed");

  // Now and then a mutated input joins the pool (a bounded ring of them), so
  // that mutations stack up beyond one round.
  constexpr std::size_t kRing = 64;
  const std::size_t fixed = pool.size();
  std::size_t next_slot = 0;
  Mutator mutator(options.seed, options.max_len);
  for (std::uint64_t i = 0; i < options.iterations; ++i) {
    Input input = mutator.mutate(pool, fixed);
    const std::string name =
        "mutation " + std::to_string(i) + " of seed " + std::to_string(options.seed);
    run(input, name.c_str());
    if (i % 8 == 0) {
      if (pool.size() < fixed + kRing) {
        pool.push_back(std::move(input));
      } else {
        pool[fixed + next_slot] = std::move(input);
        next_slot = (next_slot + 1) % kRing;
      }
    }
  }

  std::printf("%llu passed, %llu failed\n", static_cast<unsigned long long>(passed),
              static_cast<unsigned long long>(failed));
  return failed == 0 ? 0 : 1;
}
