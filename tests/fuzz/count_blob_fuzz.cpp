// Fuzz target for count blobs and the chunk counter.
//
// The first byte picks how the rest is used:
// - as a blob, taken as is or (so that mutations reach the records past the
//   checksum) framed with the magic and version and closed with its correct
//   checksum. Reading either fails with kInvalidArgument or gives counts that
//   write back to exactly the same bytes (a blob has one form), and merging
//   the blob alone gives it back; merged with itself it doubles every weight
//   or reports an overflow.
// - as texts separated by 0xFF bytes, fed to a counter in blocks whose size
//   follows from the data: the counts are those of the chunk definition, and
//   the blobs of the texts merged give the blob of all of them together.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "training/chunk_counts.h"
#include "training/count_blob.h"

namespace {

using namespace tarvik;
using namespace tarvik::training;
using Multiset = std::map<std::string, std::uint64_t>;

Multiset as_multiset(const ChunkCounts& counts) {
  Multiset out;
  for (const Chunk& chunk : counts.chunks()) out[std::string(counts.bytes(chunk))] += chunk.weight;
  return out;
}

std::string framed(std::string_view body) {
  std::string out = "TVKCOUNT";
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(kCountBlobVersion >> (8 * i)));
  out.append(body);
  std::uint64_t sum = count_blob_checksum(out);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(sum >> (8 * i)));
  return out;
}

int check_blob(const std::string& blob) {
  auto counts = read_count_blob(blob);
  if (!counts.ok()) {
    TARVIK_FUZZ_CHECK(counts.error().kind == ErrorKind::kInvalidArgument, counts.error().message);
    auto merged = merge_count_blobs({blob});
    TARVIK_FUZZ_CHECK(!merged.ok(), "merging accepted a blob that reading refused");
    return 0;
  }
  const Multiset before = as_multiset(*counts);
  TARVIK_FUZZ_CHECK(write_count_blob(*counts) == blob, "a blob did not write back the same");
  auto alone = merge_count_blobs({blob});
  TARVIK_FUZZ_CHECK(alone.ok() && *alone == blob, "merging one blob changed it");
  auto twice = merge_count_blobs({blob, blob});
  if (!twice.ok()) {
    TARVIK_FUZZ_CHECK(twice.error().message.find("overflow") != std::string::npos,
                      twice.error().message);
    return 0;
  }
  auto doubled = read_count_blob(*twice);
  TARVIK_FUZZ_CHECK(doubled.ok(), doubled.error().message);
  Multiset want = before;
  for (auto& entry : want) entry.second *= 2;
  TARVIK_FUZZ_CHECK(as_multiset(*doubled) == want, "a blob merged with itself");
  return 0;
}

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

int check_texts(std::string_view data, std::size_t block) {
  std::vector<std::string_view> texts;
  for (std::size_t start = 0;;) {
    std::size_t end = data.find('\xFF', start);
    texts.push_back(data.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  Multiset expected;
  ChunkCounter all;
  std::vector<std::string> blobs;
  for (std::string_view text : texts) {
    reference_chunks(text, expected);
    ChunkCounter one;
    for (std::size_t pos = 0; pos < text.size(); pos += block) {
      one.feed(text.substr(pos, block));
      all.feed(text.substr(pos, block));
    }
    all.finish_text();
    ChunkCounts counts = one.take();
    blobs.push_back(write_count_blob(counts));
  }
  ChunkCounts counts = all.take();
  TARVIK_FUZZ_CHECK(as_multiset(counts) == expected, "counts differ from the definition");
  std::string whole = write_count_blob(counts);
  auto merged = merge_count_blobs(std::vector<std::string_view>(blobs.begin(), blobs.end()));
  TARVIK_FUZZ_CHECK(merged.ok() && *merged == whole, "merged blobs differ from the whole");
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      return check_blob(std::string(rest));
    case 1:
      return check_blob(framed(rest));
    default:
      return check_texts(rest, 1 + data[0] / 3 % 17);
  }
}
