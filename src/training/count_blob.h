// Chunk counts as bytes, so that counts made on many machines can be summed
// and trained on once.
//
// A blob is: the magic "TVKCOUNT"; the format version (4 bytes, little
// endian, currently 1); varints (7 bits per byte, low first, no overlong
// forms) for the number of chunks, the sum of length x weight (the bytes of
// text counted) and the sum of the lengths; the chunks in ascending byte
// order, each as varints (its length, its weight) and then its bytes; and an
// 8-byte little endian checksum of everything before it. Every blob has
// exactly one form for its counts, so merging in any grouping and order gives
// the same bytes. A blob is its distinct chunk bytes plus two varints a chunk
// and a few dozen bytes: 1.14-1.25x the distinct bytes on the shared corpora.
//
// Reading checks everything: magic, version, checksum, varints, lengths that
// run past the end, chunks out of order or repeated, a zero weight, bytes that
// cannot form a chunk (whitespace after the first byte), totals that disagree
// with the records or overflow 64 bits. Each failure is an
// Error::invalid_argument naming the problem.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "training/chunk_counts.h"

namespace tarvik::training {

inline constexpr std::uint32_t kCountBlobVersion = 1;

// The blob of `counts` (sorting them by bytes on the way).
std::string write_count_blob(ChunkCounts& counts);

// The counts a blob holds.
Result<ChunkCounts> read_count_blob(std::string_view blob);

// The checksum a blob ends with, of the bytes before it (for tests and tools
// that build blobs by hand).
std::uint64_t count_blob_checksum(std::string_view data);

// The blob of the summed counts of all `blobs` (the empty counts for none).
// `cancel` is asked every few thousand records.
Result<std::string> merge_count_blobs(const std::vector<std::string_view>& blobs,
                                      const CancelCheck& cancel = {});

}  // namespace tarvik::training
