// Reading, writing and merging count blobs; the format is in count_blob.h.
#include "training/count_blob.h"

#include <algorithm>
#include <cstring>
#include <queue>

namespace tarvik::training {
namespace {

constexpr char kMagic[8] = {'T', 'V', 'K', 'C', 'O', 'U', 'N', 'T'};
constexpr std::size_t kHeaderFixed = sizeof kMagic + 4;
constexpr std::size_t kChecksumBytes = 8;

}  // namespace

std::uint64_t count_blob_checksum(std::string_view data) {
  constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ull, kMul2 = 0xC2B2AE3D27D4EB4Full;
  std::uint64_t h = data.size() * kMul2 + 0x74617276696B0001ull;
  const char* p = data.data();
  std::size_t n = data.size();
  auto mix = [&](std::uint64_t word) {
    h ^= word * kMul1;
    h = ((h << 31) | (h >> 33)) * kMul2;
  };
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    mix(word);
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  mix(tail | std::uint64_t{n} << 56);
  h ^= h >> 29;
  h *= kMul1;
  h ^= h >> 32;
  return h;
}

namespace {

std::uint64_t checksum(std::string_view data) {
  return count_blob_checksum(data);
}

void put_varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

void put_u64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

std::uint64_t get_u64(const char* p) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return value;
}

Error damaged(const std::string& what) {
  return Error::invalid_argument("invalid chunk counts: " + what);
}

// Appends one record: length, weight, bytes.
void put_record(std::string& out, std::string_view bytes, std::uint64_t weight) {
  put_varint(out, bytes.size());
  put_varint(out, weight);
  out.append(bytes);
}

struct Totals {
  std::uint64_t chunks = 0;
  std::uint64_t total_bytes = 0;
  std::uint64_t distinct_bytes = 0;
};

// Counts one more distinct chunk of `size` bytes seen `weight` times; false
// when the total would overflow 64 bits.
bool add_chunk(Totals& totals, std::uint64_t size, std::uint64_t weight) {
  std::uint64_t product;
  if (__builtin_mul_overflow(size, weight, &product) ||
      __builtin_add_overflow(totals.total_bytes, product, &totals.total_bytes)) {
    return false;
  }
  totals.distinct_bytes += size;
  ++totals.chunks;
  return true;
}

std::string assemble(const Totals& totals, std::string_view records) {
  std::string out(kMagic, sizeof kMagic);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(kCountBlobVersion >> (8 * i)));
  put_varint(out, totals.chunks);
  put_varint(out, totals.total_bytes);
  put_varint(out, totals.distinct_bytes);
  out.reserve(out.size() + records.size() + kChecksumBytes);
  out.append(records);
  put_u64(out, checksum(out));
  return out;
}

// Reads the records of one blob in order, checking each against the last.
class Cursor {
 public:
  explicit Cursor(std::string_view blob) : blob_(blob) {}

  // Checks the frame (magic, version, checksum) and reads the totals.
  Status open() {
    if (blob_.size() < kHeaderFixed + kChecksumBytes) {
      if (blob_.size() >= sizeof kMagic && std::memcmp(blob_.data(), kMagic, sizeof kMagic) != 0) {
        return damaged("wrong magic");
      }
      return damaged("truncated (" + std::to_string(blob_.size()) + " bytes)");
    }
    if (std::memcmp(blob_.data(), kMagic, sizeof kMagic) != 0) return damaged("wrong magic");
    std::uint32_t version = 0;
    for (int i = 0; i < 4; ++i) {
      version |= std::uint32_t{static_cast<unsigned char>(blob_[sizeof kMagic + i])} << (8 * i);
    }
    if (version != kCountBlobVersion) {
      return damaged("unsupported format version " + std::to_string(version) + " (expected " +
                     std::to_string(kCountBlobVersion) + ")");
    }
    const std::size_t body_end = blob_.size() - kChecksumBytes;
    if (checksum(blob_.substr(0, body_end)) != get_u64(blob_.data() + body_end)) {
      return damaged("checksum mismatch (damaged or truncated)");
    }
    pos_ = kHeaderFixed;
    end_ = body_end;
    TARVIK_TRY(varint(declared_.chunks, "chunk count"));
    TARVIK_TRY(varint(declared_.total_bytes, "total bytes"));
    TARVIK_TRY(varint(declared_.distinct_bytes, "distinct bytes"));
    return {};
  }

  // Reads the next record into bytes()/weight(); false at the end.
  Result<bool> next() {
    if (pos_ == end_) {
      if (seen_.chunks != declared_.chunks || seen_.total_bytes != declared_.total_bytes ||
          seen_.distinct_bytes != declared_.distinct_bytes) {
        return damaged("totals do not match the records");
      }
      return false;
    }
    if (seen_.chunks == declared_.chunks) return damaged("more records than declared");
    std::uint64_t length;
    TARVIK_TRY(varint(length, "chunk length"));
    TARVIK_TRY(varint(weight_, "weight"));
    if (length > end_ - pos_) return damaged("chunk length past the end");
    if (length == 0) return damaged("empty chunk");
    if (weight_ == 0) return damaged("zero weight");
    std::string_view bytes = blob_.substr(pos_, length);
    pos_ += length;
    if (seen_.chunks > 0 && bytes <= bytes_) return damaged("chunks out of order or repeated");
    bytes_ = bytes;
    for (std::size_t i = 1; i < bytes_.size(); ++i) {
      if (is_chunk_space(static_cast<unsigned char>(bytes_[i]))) {
        return damaged("whitespace inside a chunk");
      }
    }
    if (!add_chunk(seen_, bytes_.size(), weight_)) return damaged("total bytes overflow 64 bits");
    return true;
  }

  std::string_view bytes() const { return bytes_; }
  std::uint64_t weight() const { return weight_; }
  const Totals& declared() const { return declared_; }

 private:
  Status varint(std::uint64_t& value, const char* what) {
    value = 0;
    for (int shift = 0;; shift += 7) {
      if (pos_ == end_) return damaged(std::string(what) + " past the end");
      const auto byte = static_cast<unsigned char>(blob_[pos_++]);
      if (shift == 63 && byte > 1) return damaged(std::string(what) + " overflows 64 bits");
      value |= std::uint64_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) {
        if (byte == 0 && shift > 0) return damaged(std::string(what) + " is an overlong varint");
        return {};
      }
    }
  }

  std::string_view blob_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  Totals declared_;
  Totals seen_;
  std::string_view bytes_;  // the current chunk, inside blob_
  std::uint64_t weight_ = 0;
};

}  // namespace

std::string write_count_blob(ChunkCounts& counts) {
  counts.sort_by_bytes();
  std::string records;
  records.reserve(counts.distinct_bytes() + 3 * counts.chunks().size());
  for (const Chunk& chunk : counts.chunks()) put_record(records, counts.bytes(chunk), chunk.weight);
  return assemble({counts.chunks().size(), counts.total_bytes(), counts.distinct_bytes()},
                  records);
}

Result<ChunkCounts> read_count_blob(std::string_view blob) {
  Cursor cursor(blob);
  TARVIK_TRY(cursor.open());
  ChunkCounts counts;
  for (;;) {
    auto more = cursor.next();
    if (!more.ok()) return std::move(more).error();
    if (!*more) break;
    counts.append(cursor.bytes(), cursor.weight());
  }
  return counts;
}

Result<std::string> merge_count_blobs(const std::vector<std::string_view>& blobs,
                                      const CancelCheck& cancel) {
  constexpr std::uint64_t kPollRecords = 4096;
  std::vector<Cursor> cursors;
  cursors.reserve(blobs.size());
  for (std::string_view blob : blobs) {
    cursors.emplace_back(blob);
    TARVIK_TRY(cursors.back().open());
  }
  // A k-way merge: the heap holds the cursors that have a current record,
  // smallest bytes on top.
  auto greater = [&](std::size_t x, std::size_t y) {
    return cursors[x].bytes() > cursors[y].bytes();
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(greater)> heap(greater);
  for (std::size_t i = 0; i < cursors.size(); ++i) {
    auto more = cursors[i].next();
    if (!more.ok()) return std::move(more).error();
    if (*more) heap.push(i);
  }
  std::string records;
  Totals totals;
  for (std::uint64_t merged = 0; !heap.empty(); ++merged) {
    if (merged % kPollRecords == kPollRecords - 1 && cancel && cancel()) {
      return Error::interrupted();
    }
    // Stays valid: every cursor's bytes point into its own blob.
    const std::string_view current = cursors[heap.top()].bytes();
    std::uint64_t weight = 0;
    while (!heap.empty() && cursors[heap.top()].bytes() == current) {
      std::size_t i = heap.top();
      heap.pop();
      if (__builtin_add_overflow(weight, cursors[i].weight(), &weight)) {
        return damaged("merged weight overflows 64 bits");
      }
      auto more = cursors[i].next();
      if (!more.ok()) return std::move(more).error();
      if (*more) heap.push(i);
    }
    if (!add_chunk(totals, current.size(), weight)) {
      return damaged("merged total bytes overflow 64 bits");
    }
    put_record(records, current, weight);
  }
  return assemble(totals, records);
}

}  // namespace tarvik::training
