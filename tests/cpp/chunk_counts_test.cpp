// Tests of the counting stage, count blobs, the quality check from counts and
// the promise that training depends only on the chunk counts: the texts of a
// corpus counted separately (in any blocks, on any runner) train the same
// vocabulary as the corpus itself.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "common/console.h"
#include "corpus/quality.h"
#include "tarvik/tokenizer.h"
#include "training/batch_counter.h"
#include "training/chunk_counts.h"
#include "training/chunk_tables.h"
#include "training/count_blob.h"
#include "training/trainer.h"

using namespace tarvik;
using namespace tarvik::training;

namespace {

using testing::check;
using Multiset = std::map<std::string, std::uint64_t>;

// Chunks of one text, straight from their definition.
void reference_chunks(std::string_view text, Multiset& out) {
  std::string current;
  for (char c : text) {
    if (is_chunk_space(static_cast<unsigned char>(c)) && !current.empty()) {
      ++out[current];
      current.clear();
    }
    current.push_back(c);
  }
  if (!current.empty()) ++out[current];
}

Multiset as_multiset(const ChunkCounts& counts) {
  Multiset out;
  for (const Chunk& chunk : counts.chunks()) out[std::string(counts.bytes(chunk))] += chunk.weight;
  return out;
}

bool totals_agree(const ChunkCounts& counts) {
  std::uint64_t total = 0, distinct = 0;
  for (const Chunk& chunk : counts.chunks()) {
    total += chunk.length * chunk.weight;
    distinct += chunk.length;
  }
  return total == counts.total_bytes() && distinct == counts.distinct_bytes();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

const std::string kCorpora = "/work/shared/corpora/";

std::string random_text(std::mt19937& rng, std::size_t size, std::string_view alphabet) {
  std::string out(size, ' ');
  for (char& c : out) c = alphabet[rng() % alphabet.size()];
  return out;
}

// Cuts `corpus` into about `parts` texts, each after the first starting at a
// whitespace byte, so that no chunk of the corpus spans two of them.
std::vector<std::string_view> split_at_space(std::string_view corpus, std::size_t parts,
                                             std::mt19937& rng) {
  std::vector<std::size_t> cuts{0};
  for (std::size_t k = 0; k + 1 < parts && !corpus.empty(); ++k) {
    std::size_t at = rng() % corpus.size();
    while (at < corpus.size() && !is_chunk_space(static_cast<unsigned char>(corpus[at]))) ++at;
    cuts.push_back(at);
  }
  cuts.push_back(corpus.size());
  std::sort(cuts.begin(), cuts.end());
  std::vector<std::string_view> texts;
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    texts.push_back(corpus.substr(cuts[i], cuts[i + 1] - cuts[i]));  // empty texts included
  }
  return texts;
}

const std::string_view kAlphabets[] = {"ab ", "abc \n", "a\t\r\n x\xE2\x82\xAC", "abcdefgh "};

// Feeding a text in blocks of any size gives the counts of the whole text,
// which are those of the definition; texts never share a chunk.
void test_counter_matches_definition() {
  std::mt19937 rng(11);
  bool blocks_ok = true, texts_ok = true;
  for (int trial = 0; trial < 200; ++trial) {
    const std::string_view alphabet = kAlphabets[trial % 4];
    std::vector<std::string> texts(1 + rng() % 4);
    for (auto& text : texts) text = random_text(rng, rng() % 80, alphabet);
    Multiset expected;
    for (const auto& text : texts) reference_chunks(text, expected);
    ChunkCounter counter;
    for (const auto& text : texts) {
      for (std::size_t pos = 0; pos < text.size();) {
        std::size_t n = std::min<std::size_t>(text.size() - pos, rng() % 9);
        counter.feed(std::string_view(text).substr(pos, n));
        pos += n;
      }
      counter.finish_text();
    }
    counter.finish_text();  // harmless with no text open
    ChunkCounts counts = counter.take();
    blocks_ok &= as_multiset(counts) == expected && totals_agree(counts);

    ChunkCounter whole;
    for (const auto& text : texts) whole.add_text(text);
    texts_ok &= as_multiset(whole.take()) == expected;
  }
  check(blocks_ok, "blocks of any size give the definition's counts");
  check(texts_ok, "whole texts give the definition's counts");
}

void test_chunks_across_blocks() {
  // One 3 MB chunk fed in 4 KiB blocks, and multi-byte characters split
  // between blocks at every byte.
  std::string huge = "x" + std::string(3'000'000, 'y') + "\n";
  ChunkCounter counter;
  for (std::size_t pos = 0; pos < huge.size(); pos += 4096) {
    counter.feed(std::string_view(huge).substr(pos, 4096));
  }
  Multiset got = as_multiset(counter.take());
  check(got == Multiset{{huge.substr(0, huge.size() - 1), 1}, {"\n", 1}}, "one huge chunk");

  const std::string text = "\xE2\x82\xAC\xF0\x9F\x99\x82 \xE2\x82\xAC\xF0\x9F\x99\x82";
  bool same = true;
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    ChunkCounter split;
    split.feed(std::string_view(text).substr(0, cut));
    split.feed(std::string_view(text).substr(cut));
    same &= as_multiset(split.take()) == Multiset{{text.substr(0, 7), 1}, {text.substr(7), 1}};
  }
  check(same, "multi-byte characters across a block boundary");

  ChunkCounter texts;
  texts.add_text("a\n");
  texts.add_text("b c");
  texts.add_text("");
  texts.add_text("  ");
  check(as_multiset(texts.take()) == Multiset{{"a", 1}, {"\n", 1}, {"b", 1}, {" c", 1}, {" ", 2}},
        "a text's first chunk starts at its first byte; empty and blank texts");
}

// The parallel paths (corpus cut into parts, texts, files) count what one
// counter counts.
void test_parallel_counting() {
  std::string corpus = read_file(kCorpora + "english.txt");
  ChunkCounter one;
  one.add_text(corpus);
  const Multiset expected = as_multiset(one.take());
  auto counted = count_corpus(corpus);
  check(counted.ok() && as_multiset(*counted) == expected, "count_corpus");

  std::mt19937 rng(3);
  auto texts = split_at_space(corpus, 37, rng);
  auto from_texts = count_texts(texts);
  check(from_texts.ok() && as_multiset(*from_texts) == expected, "count_texts");

  char dir[] = "/tmp/chunk_counts_testXXXXXX";
  check(::mkdtemp(dir) != nullptr, "temporary directory");
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    paths.push_back(std::string(dir) + "/" + std::to_string(i));
    std::ofstream(paths.back(), std::ios::binary) << texts[i];
  }
  auto from_files = count_files(paths, false);
  check(from_files.ok() && as_multiset(*from_files) == expected, "count_files");

  // Files that end without a line feed, hold only whitespace or nothing, and
  // chunks (a long one, multi-byte characters) across the reader's 1 MiB blocks.
  const std::vector<std::string> edge_texts = {
      "no final line feed", "", " \n\t ", std::string(1 << 20, ' ') + "\xE2\x82\xAC tail",
      "head" + std::string(3'000'000, 'z') + "\n"};
  std::vector<std::string> edge_paths;
  for (std::size_t i = 0; i < edge_texts.size(); ++i) {
    edge_paths.push_back(std::string(dir) + "/edge" + std::to_string(i));
    std::ofstream(edge_paths.back(), std::ios::binary) << edge_texts[i];
  }
  auto edge_files = count_files(edge_paths, false);
  auto edge_memory =
      count_texts(std::vector<std::string_view>(edge_texts.begin(), edge_texts.end()));
  check(edge_files.ok() && edge_memory.ok() && as_multiset(*edge_files) == as_multiset(*edge_memory) &&
            edge_files->total_bytes() == 18 + 4 + (1 << 20) + 8 + 3'000'005,
        "edge-case files count like the same texts in memory");
  for (const auto& path : edge_paths) std::remove(path.c_str());

  auto missing = count_files({paths[0], std::string(dir) + "/missing"}, false);
  check(!missing.ok() && missing.error().kind == ErrorKind::kIo &&
            missing.error().os_error == ENOENT && missing.error().path == std::string(dir) + "/missing",
        "a missing file is kIo with ENOENT and its path");
  auto directory = count_files({dir}, false);
  check(!directory.ok() && directory.error().os_error == EISDIR, "a directory is refused");
  for (const auto& path : paths) std::remove(path.c_str());
  ::rmdir(dir);

  int polls = 0;
  auto cancelled = count_corpus(corpus, [&] { return ++polls >= 1; });
  check(!cancelled.ok() && cancelled.error().kind == ErrorKind::kInterrupted,
        "counting stops when asked");
}

// Counters in any number of shares, merged together or one into another,
// count exactly the chunks of their texts.
void test_shares_merge_to_the_same_counts() {
  const std::string corpus = read_file(kCorpora + "english.txt");
  Multiset expected;
  reference_chunks(corpus, expected);
  std::mt19937 rng(5);
  const auto texts = split_at_space(corpus, 9, rng);
  for (const std::vector<std::size_t>& shares :
       std::vector<std::vector<std::size_t>>{{1}, {3}, {2, 2, 2}, {4, 4}, {1, 3, 2}}) {
    std::vector<ChunkCounter> counters;
    for (std::size_t share : shares) counters.emplace_back(share);
    for (std::size_t i = 0; i < texts.size(); ++i) counters[i % counters.size()].feed(texts[i]);
    const ChunkCounts merged = ChunkCounter::merge(counters);
    check(as_multiset(merged) == expected && totals_agree(merged) &&
              merged.total_bytes() == corpus.size(),
          "counters of " + std::to_string(shares.size()) + " merged, shares from " +
              std::to_string(shares.front()));
    bool emptied = true;
    for (ChunkCounter& counter : counters) emptied = emptied && counter.take().empty();
    check(emptied, "merge leaves every counter empty");
  }
  ChunkCounter two(2), five(5);
  two.add_text(corpus.substr(0, corpus.size() / 2));
  five.feed(corpus.substr(corpus.size() / 2));
  two.absorb(five);
  Multiset halves;
  reference_chunks(corpus.substr(0, corpus.size() / 2), halves);
  reference_chunks(corpus.substr(corpus.size() / 2), halves);
  check(as_multiset(two.take()) == halves, "absorb across share counts");
}

bool same_vocab(const Vocab& x, const Vocab& y) {
  return x.tokens == y.tokens && x.bigrams == y.bigrams && x.vocab_size == y.vocab_size;
}

Vocab trained(std::string_view corpus, std::uint64_t vocab_size) {
  auto vocab = train(corpus, {vocab_size, false, false, {}}, write_stderr);
  return vocab.ok() ? std::move(vocab).value() : Vocab{};
}

Vocab trained_from(const std::vector<std::string_view>& texts, std::uint64_t vocab_size) {
  auto counts = count_texts(texts);
  if (!counts.ok()) return {};
  auto vocab =
      train_from_counts(std::move(counts).value(), {vocab_size, false, false, {}}, write_stderr);
  return vocab.ok() ? std::move(vocab).value() : Vocab{};
}

// Training on separately counted texts equals training on their
// concatenation whenever no chunk spans two texts there.
void test_texts_train_like_their_concatenation() {
  std::mt19937 rng(5);
  for (const char* name : {"english.txt", "code.txt", "multilingual.txt"}) {
    std::string corpus = read_file(kCorpora + name).substr(0, 1'500'000);
    auto texts = split_at_space(corpus, 60, rng);
    Vocab whole = trained(corpus, 3000);
    check(whole.vocab_size == 3000 && same_vocab(whole, trained_from(texts, 3000)),
          std::string("texts of ") + name + " train like the whole");
  }
  bool random_ok = true;
  for (int trial = 0; trial < 30; ++trial) {
    std::string corpus = random_text(rng, 200 + rng() % 3000, kAlphabets[trial % 4]);
    auto texts = split_at_space(corpus, 1 + rng() % 8, rng);
    const std::uint64_t size = 256 + rng() % 200;
    random_ok &= same_vocab(trained(corpus, size), trained_from(texts, size));
  }
  check(random_ok, "random texts train like their concatenation");

  // Edge cases: empty texts, a text of only whitespace, no final line feed.
  std::vector<std::string_view> edge = {"", "the cat", "\n\n", " sat on", "", "\tthe mat"};
  std::string joined;
  for (auto text : edge) joined += text;
  check(same_vocab(trained(joined, 300), trained_from(edge, 300)), "edge-case texts");
  check(same_vocab(trained("", 300), trained_from({"", ""}, 300)), "only empty texts");

  // Counts in any order train the same vocabulary.
  ChunkCounter counter;
  counter.add_text("ab ab cd cd ef gh ab\nab\tcd");
  ChunkCounts counts = counter.take();
  ChunkCounts reversed;
  for (std::size_t i = counts.chunks().size(); i-- > 0;) {
    reversed.append(counts.bytes(counts.chunks()[i]), counts.chunks()[i].weight);
  }
  auto x = train_from_counts(std::move(counts), {280, false, false, {}}, write_stderr);
  auto y = train_from_counts(std::move(reversed), {280, false, false, {}}, write_stderr);
  check(x.ok() && y.ok() && same_vocab(*x, *y), "chunk order does not matter");
}

void test_max_token_bytes() {
  std::string corpus = read_file(kCorpora + "english.txt").substr(0, 400'000);
  for (std::uint64_t limit : {1, 2, 3, 6}) {
    auto vocab = train(corpus, {1200, false, false, limit}, write_stderr);
    bool short_enough = vocab.ok();
    for (const Token& token : vocab->tokens) short_enough &= token.bytes.size() <= limit;
    check(short_enough, "no token longer than " + std::to_string(limit));
    // The limit only removes candidates: with 3 and more there are still enough.
    if (limit >= 3) check(vocab->vocab_size == 1200, "full vocabulary with limit");
    if (limit == 1) check(vocab->vocab_size == 256, "limit 1 merges nothing");
  }
  auto unlimited = train(corpus, {1200, false, false, {}}, write_stderr);
  auto loose = train(corpus, {1200, false, false, 1'000'000}, write_stderr);
  check(unlimited.ok() && loose.ok() && same_vocab(*unlimited, *loose),
        "a limit no token reaches changes nothing");
}

void test_quality_from_counts() {
  auto same = [](const QualityReport& x, const QualityReport& y) {
    return x.quality_score == y.quality_score && x.total_bytes == y.total_bytes &&
           x.unique_bytes == y.unique_bytes && x.byte_entropy == y.byte_entropy &&
           x.avg_word_len == y.avg_word_len && x.unique_words == y.unique_words &&
           x.total_words == y.total_words && x.warnings == y.warnings;
  };
  std::mt19937 rng(9);
  for (const char* name : {"english.txt", "code.txt"}) {
    std::string corpus = read_file(kCorpora + name);
    auto counts = count_texts(split_at_space(corpus, 20, rng));
    check(counts.ok() && same(check_quality(*counts), check_quality(corpus)),
          std::string("quality of ") + name + " from counts");
  }
  bool random_ok = true;
  const std::string_view alphabets[] = {"ab \n", "\x01\x02 a", "abcdefghijklmnopqrstuvwxyz \t",
                                        " \n"};
  for (int trial = 0; trial < 60; ++trial) {
    std::string corpus = random_text(rng, rng() % 2000, alphabets[trial % 4]);
    auto counts = count_texts(split_at_space(corpus, 1 + rng() % 5, rng));
    random_ok &= counts.ok() && same(check_quality(*counts), check_quality(corpus));
  }
  check(random_ok, "quality of random texts from counts");
  // Enough distinct words that some share a 32-bit hash (about ten pairs
  // expected), which the distinct count must still tell apart.
  std::string many = random_text(rng, 3'000'000, "abcdefghijklmnopqrstuvwxyz   ");
  auto many_counts = count_texts(split_at_space(many, 7, rng));
  check(many_counts.ok() && same(check_quality(*many_counts), check_quality(many)),
        "quality of many distinct words from counts");
  check(same(check_quality(ChunkCounts{}), check_quality(std::string_view{})), "empty");
}

std::string blob_of(std::initializer_list<std::string_view> texts) {
  ChunkCounter counter;
  for (auto text : texts) counter.add_text(text);
  ChunkCounts counts = counter.take();
  return write_count_blob(counts);
}

void test_blob_round_trip_and_merge() {
  std::string corpus = read_file(kCorpora + "english.txt");
  auto counts = count_corpus(corpus);
  const Multiset expected = as_multiset(*counts);
  std::string blob = write_count_blob(*counts);
  check(blob.size() < 2 * counts->distinct_bytes(), "blob under twice the distinct bytes");
  auto back = read_count_blob(blob);
  check(back.ok() && as_multiset(*back) == expected && totals_agree(*back) &&
            back->total_bytes() == corpus.size(),
        "blob round trip");

  // Any grouping and order of merges gives the bytes of the whole.
  std::mt19937 rng(2);
  auto texts = split_at_space(corpus, 6, rng);
  std::vector<std::string> parts;
  for (auto text : texts) parts.push_back(blob_of({text}));
  auto view = [](const std::vector<std::string>& blobs) {
    return std::vector<std::string_view>(blobs.begin(), blobs.end());
  };
  auto all = merge_count_blobs(view(parts));
  check(all.ok() && *all == blob, "merge of the parts is the blob of the whole");
  std::vector<std::string> reversed(parts.rbegin(), parts.rend());
  auto left = merge_count_blobs({parts[0], parts[1], parts[2]});
  auto right = merge_count_blobs({parts[3], parts[4], parts[5]});
  auto tree = merge_count_blobs({*right, *left});
  auto backwards = merge_count_blobs(view(reversed));
  check(tree.ok() && *tree == blob && backwards.ok() && *backwards == blob,
        "merging is associative and commutative");
  auto twice = merge_count_blobs({blob, blob});
  auto doubled = read_count_blob(*twice);
  bool all_doubled = doubled.ok() && doubled->total_bytes() == 2 * corpus.size();
  for (const auto& [bytes, weight] : as_multiset(*doubled)) all_doubled &= expected.at(bytes) * 2 == weight;
  check(all_doubled, "a blob merged with itself doubles every weight");
  auto none = merge_count_blobs({});
  check(none.ok() && *none == blob_of({}) && read_count_blob(*none)->empty(), "empty merge");
}

std::string with_checksum(std::string body) {
  std::uint64_t sum = count_blob_checksum(body);
  for (int i = 0; i < 8; ++i) body.push_back(static_cast<char>(sum >> (8 * i)));
  return body;
}

std::string header(std::uint32_t version = kCountBlobVersion) {
  std::string out = "TVKCOUNT";
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(version >> (8 * i)));
  return out;
}

bool fails_with(const Result<ChunkCounts>& result, std::string_view words) {
  return !result.ok() && result.error().kind == ErrorKind::kInvalidArgument &&
         result.error().message.find(words) != std::string::npos;
}

void test_damaged_blobs() {
  const std::string blob = blob_of({"the cat sat on the mat\n", " with a hat"});
  bool truncated = true, flipped = true;
  for (std::size_t n = 0; n < blob.size(); ++n) {
    auto result = read_count_blob(std::string_view(blob).substr(0, n));
    truncated &= !result.ok() && result.error().kind == ErrorKind::kInvalidArgument;
  }
  for (std::size_t i = 0; i < blob.size(); ++i) {
    std::string damaged = blob;
    damaged[i] ^= 0x20;
    auto result = read_count_blob(damaged);
    flipped &= !result.ok() && result.error().kind == ErrorKind::kInvalidArgument;
  }
  check(truncated, "every truncation is refused");
  check(flipped, "every flipped byte is refused");
  check(fails_with(read_count_blob("XVKCOUNT" + blob.substr(8)), "wrong magic"), "magic");
  check(fails_with(read_count_blob(with_checksum(header(2) + std::string(3, '\0'))),
                   "unsupported format version 2"),
        "version");
  std::string bad_sum = blob;
  bad_sum.back() ^= 1;
  check(fails_with(read_count_blob(bad_sum), "checksum"), "checksum");

  // Well-framed blobs with bad records: (count, total, distinct) then records.
  auto body = [](std::string records, std::string totals) {
    return with_checksum(header() + totals + records);
  };
  check(fails_with(read_count_blob(body(std::string("\x01\x01" "b" "\x01\x01" "a", 6), "\x02\x02\x02")),
                   "out of order"),
        "records out of order");
  check(fails_with(read_count_blob(body(std::string("\x01\x01" "a" "\x01\x01" "a", 6), "\x02\x02\x02")),
                   "repeated"),
        "records repeated");
  check(fails_with(read_count_blob(body(std::string("\x05\x01" "ab", 4), "\x01\x05\x05")),
                   "past the end"),
        "length past the end");
  check(fails_with(read_count_blob(body(std::string("\x01\x00" "a", 3), std::string("\x01\x00\x01", 3))),
                   "zero weight"),
        "zero weight");
  check(fails_with(read_count_blob(body(std::string("\x03\x01" "a b", 5), "\x01\x03\x03")),
                   "whitespace inside"),
        "not a chunk");
  check(fails_with(read_count_blob(body(std::string("\x01\x01" "a", 3), "\x01\x02\x01")),
                   "totals do not match"),
        "totals disagree");
  std::string big_weight = std::string("\x02") + std::string(9, '\xFF') + std::string("\x01", 1) + "ab";
  check(fails_with(read_count_blob(body(big_weight, std::string("\x01\x00\x02", 3))), "overflow"),
        "total bytes overflow on load");
  std::string eleven = std::string("\x01") + std::string(10, '\xFF') + std::string("\x01", 1) + "a";
  check(fails_with(read_count_blob(body(eleven, "\x01\x01\x01")), "overflows 64 bits"),
        "varint overflow");
  // 2^63 twice overflows only when merged.
  std::string half = std::string("\x01") + std::string(9, '\x80') + std::string("\x01", 1) + "a";
  half[9] = '\x80';
  std::string half_total = std::string(9, '\x80') + std::string("\x01", 1);
  std::string half_blob =
      body(half, std::string("\x01") + half_total + std::string("\x01"));
  check(read_count_blob(half_blob).ok(), "a weight of 2^63 loads");
  auto merged = merge_count_blobs({half_blob, half_blob});
  check(!merged.ok() && merged.error().message.find("overflows 64 bits") != std::string::npos,
        "weights that overflow on merge");
  // 2^63 bytes of text fit a blob but not the merge loop's signed counts.
  tarvik::MergeOptions options;
  options.target_vocab_size = 300;
  options.show_progress = false;
  auto trained = tarvik::train_from_counts(std::move(read_count_blob(half_blob)).value(), options,
                                           tarvik::write_stderr);
  check(!trained.ok() && trained.error().kind == tarvik::ErrorKind::kLimit &&
            trained.error().message.find("too much text") != std::string::npos,
        "counts beyond what training can count are refused");
  tarvik::TrainOptions quiet;
  quiet.vocab_size = 300;
  quiet.show_progress = false;
  auto from_blob = tarvik::Tokenizer::train_from_counts(half_blob, quiet);
  check(!from_blob.ok() && from_blob.error().kind == ErrorKind::kInvalidArgument &&
            from_blob.error().message.find("more than training can count") != std::string::npos,
        "and from a blob they are a damaged argument");
}

void test_merge_stops_when_asked() {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += " w" + std::to_string(i);
  const std::string blob = blob_of({text});
  int asked = 0;
  auto stopped = merge_count_blobs({blob, blob}, [&] { return ++asked > 1; });
  check(!stopped.ok() && stopped.error().kind == tarvik::ErrorKind::kInterrupted && asked == 2,
        "a merge of many records stops at the second poll that asks it to");
  check(merge_count_blobs({blob, blob}, [] { return false; }).ok(),
        "and runs to its end otherwise");
}

// The tables keep 32 bits of each weight in the slot and the rest apart: a
// weight past 2^32 (4 Gi occurrences of one chunk, or a merge of shares that
// reach it) must come back whole, through growth and for both key kinds.
void test_weights_past_32_bits() {
  using chunk_tables::MediumTable;
  using chunk_tables::ShortTable;
  constexpr std::uint64_t kBig = (std::uint64_t{1} << 32) - 3;
  const std::uint64_t heavy_short = 0x6f6c6c6568ull | std::uint64_t{5} << 56;  // "hello"
  const std::uint64_t lo = 0x6e6f6974636e7566ull;                              // "function"
  const std::uint64_t hi = 0x73ull | std::uint64_t{9} << 56;                   // "s"
  ShortTable short_table;
  MediumTable medium_table;
  for (std::uint64_t weight : {kBig, std::uint64_t{1}, std::uint64_t{7}, kBig * 3}) {
    short_table.add(heavy_short, weight);
    medium_table.add(lo, hi, weight);
  }
  // Enough other keys to make both tables grow several times.
  for (std::uint64_t k = 1; k <= 100000; ++k) {
    short_table.add(k | std::uint64_t{3} << 56, 1);
    medium_table.add(k, hi + 1, 1);
  }
  const std::uint64_t want = kBig * 4 + 8;
  std::uint64_t short_weight = 0, short_rest = 0, medium_weight = 0, medium_rest = 0;
  short_table.for_each([&](std::uint64_t key, std::uint64_t weight) {
    (key == heavy_short ? short_weight : short_rest) += weight;
  });
  medium_table.for_each([&](std::uint64_t key_lo, std::uint64_t key_hi, std::uint64_t weight) {
    (key_lo == lo && key_hi == hi ? medium_weight : medium_rest) += weight;
  });
  check(short_weight == want && short_rest == 100000,
        "a short chunk's weight past 2^32 is kept whole");
  check(medium_weight == want && medium_rest == 100000,
        "a medium chunk's weight past 2^32 is kept whole");
  short_table.clear();
  short_table.add(heavy_short, 2);
  short_table.for_each([&](std::uint64_t, std::uint64_t weight) { short_weight = weight; });
  check(short_weight == 2, "clearing a table forgets the high parts of its weights");
}

}  // namespace

// Both orders the merge loop and the blobs rely on, for counts that sort
// through the compact records and for counts with a chunk too long for them.
void test_sort_orders() {
  std::mt19937 rng(11);
  for (const bool with_giant : {false, true}) {
    // Short and long chunks sharing heads (so equal heads fall back to the
    // bytes or the lengths), prefixes of each other, bytes above 0x7F, many
    // equal weights.
    std::vector<std::pair<std::string, std::uint64_t>> chunks;
    std::map<std::string, bool> seen;
    while (chunks.size() < 3000) {
      std::string bytes = std::string(1, " \n"[rng() % 2]) +
                          "ab\xE9"
                          "cdefgh";
      bytes.resize(1 + rng() % 14);
      // Zero bytes make a short chunk's head equal a longer one's.
      for (std::size_t i = 2 + rng() % 6; i < bytes.size(); ++i)
        bytes[i] = rng() % 3 == 0
                       ? '\0'
                       : static_cast<char>('a' + rng() % 3 + (rng() % 9 == 0 ? 0x80 : 0));
      if (seen.emplace(bytes, true).second) chunks.emplace_back(bytes, 1 + rng() % 4);
    }
    if (with_giant) chunks.emplace_back(" ab" + std::string(std::size_t{1} << 24, 'z'), 2);
    auto counts_of = [&] {
      ChunkCounts counts;
      for (const auto& [bytes, weight] : chunks) counts.append(bytes, weight);
      return counts;
    };
    auto listed = [](const ChunkCounts& counts) {
      std::vector<std::pair<std::string, std::uint64_t>> out;
      for (const Chunk& chunk : counts.chunks())
        out.emplace_back(std::string(counts.bytes(chunk)), chunk.weight);
      return out;
    };
    auto by_bytes = chunks;
    std::sort(by_bytes.begin(), by_bytes.end());
    auto by_weight = chunks;
    std::sort(by_weight.begin(), by_weight.end(), [](const auto& x, const auto& y) {
      return x.second != y.second ? x.second > y.second : x.first < y.first;
    });
    ChunkCounts counts = counts_of();
    counts.sort_by_bytes();
    const std::string label = with_giant ? " (with a 16 MiB chunk)" : "";
    check(listed(counts) == by_bytes, "sorted by bytes" + label);
    counts = counts_of();
    counts.sort_by_weight();
    check(listed(counts) == by_weight, "sorted by weight, then bytes" + label);
  }
}

int main() {
  test_counter_matches_definition();
  test_chunks_across_blocks();
  test_parallel_counting();
  test_shares_merge_to_the_same_counts();
  test_texts_train_like_their_concatenation();
  test_max_token_bytes();
  test_quality_from_counts();
  test_blob_round_trip_and_merge();
  test_damaged_blobs();
  test_merge_stops_when_asked();
  test_weights_past_32_bits();
  test_sort_orders();
  return testing::finish();
}
