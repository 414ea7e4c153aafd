// Token-id streams in the command's three formats.
//
// - text: decimal ids separated by single spaces, one line per document
//   (reading accepts any run of spaces, tabs and line ends between ids);
// - npy:  a NumPy .npy file, format version 1.0, one little-endian 1-D array
//   of uint16 ("<u2") or uint32 ("<u4");
// - bin:  the same values raw, little-endian, with no header.
//
// Writers take ids in pieces and know nothing of where they come from, so a
// producer may hand over a document at a time or a block at a time; the
// array writers never hold more than their output buffer. The npy header is
// written first with a fixed width and its count patched in by finish(), so
// the output must be a file. Readers hand ids back in blocks; text that is not
// an id or does not fit 32 bits, a value cut short at the end, an npy header
// that is malformed, of another dtype or shape, or whose count disagrees with
// the data is an error naming the input. Whether an id is in a vocabulary is
// the caller's check.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/arguments.h"
#include "cli/files.h"
#include "tarvik/result.h"
#include "tarvik/types.h"

namespace tarvik::cli {

enum class IdFormat : std::uint8_t { kText, kNpy, kBin };
enum class IdDtype : std::uint8_t { kUint16, kUint32 };

std::optional<IdFormat> parse_format(std::string_view name);
std::optional<IdDtype> parse_dtype(std::string_view name);
std::string_view dtype_name(IdDtype dtype);
// The largest number of distinct ids the dtype can hold (65536 for uint16).
std::uint64_t dtype_capacity(IdDtype dtype);

// The --format and --dtype options of encode and decode, read by id_encoding_from.
inline constexpr OptionSpec kFormatOption{
    "format", 'f', "FORMAT",
    "text (decimal ids separated by spaces, a line per document; the default), npy (a "
    "NumPy array; written only to a file, never a stream) or bin (raw little-endian values)"};
inline constexpr OptionSpec kDtypeOption{
    "dtype", '\0', "DTYPE", "uint16 or uint32 (the default) for npy and bin; npy input carries its own"};

struct IdEncoding {
  IdFormat format = IdFormat::kText;
  IdDtype dtype = IdDtype::kUint32;
  bool dtype_given = false;
};
// Reads them (text and uint32 by default); --dtype with text is refused.
Result<IdEncoding> id_encoding_from(const ParsedArgs& args);

class IdWriter {
 public:
  virtual ~IdWriter() = default;
  // Appends ids to the current document.
  virtual Status write(std::span<const TokenId> ids) = 0;
  // Ends the current document (a line end in text; nothing in the arrays).
  virtual Status end_document() = 0;
  // Completes the output (npy: the final header); the caller then commits it.
  virtual Status finish() = 0;
};

// The writer of `format` on `out`, which must outlive it. For the arrays the
// caller has checked that every id fits `dtype` (a larger one is an internal
// fault) and, for npy, that `out` is not a stream (see is_stream_target).
Result<std::unique_ptr<IdWriter>> make_writer(IdFormat format, IdDtype dtype, OutputFile& out);

class IdReader {
 public:
  virtual ~IdReader() = default;
  // Fills `out` from the front; returns how many ids it wrote, 0 at the end.
  virtual Result<std::size_t> read(std::span<TokenId> out) = 0;
};

// A reader on `in`, which must outlive it. An npy input carries its dtype;
// the one given is then only checked against it when given explicitly.
Result<std::unique_ptr<IdReader>> make_reader(const IdEncoding& encoding, InputStream& in);

// The npy v1.0 header for a 1-D array of `count` values: always kNpyHeaderSize
// bytes (a multiple of 64, wide enough for any count), so it can be rewritten
// in place once the count is known.
inline constexpr std::size_t kNpyHeaderSize = 128;
std::string npy_header(IdDtype dtype, std::uint64_t count);

}  // namespace tarvik::cli
