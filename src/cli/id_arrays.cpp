// Token-id streams in the command's three formats.
#include "cli/id_arrays.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "cli/text.h"

namespace tarvik::cli {
namespace {

constexpr std::size_t kReadBlock = 1 << 20;
constexpr std::string_view kNpyMagic = "\x93NUMPY";

std::size_t item_size(IdDtype dtype) { return dtype == IdDtype::kUint16 ? 2 : 4; }

std::string_view npy_descr(IdDtype dtype) { return dtype == IdDtype::kUint16 ? "<u2" : "<u4"; }

Error bad_input(const InputStream& in, const std::string& what) {
  return Error::invalid_argument(in.name() + ": " + what);
}

// ---- writers ----

class TextWriter final : public IdWriter {
 public:
  explicit TextWriter(OutputFile& out) : out_(out) {}

  Status write(std::span<const TokenId> ids) override {
    line_.clear();
    char digits[16];
    for (TokenId id : ids) {
      if (!line_start_) line_ += ' ';
      line_start_ = false;
      auto [end, ec] = std::to_chars(digits, digits + sizeof digits, id);
      line_.append(digits, end);
    }
    return out_.write(line_);
  }
  Status end_document() override {
    line_start_ = true;
    return out_.write("\n");
  }
  Status finish() override { return {}; }

 private:
  OutputFile& out_;
  std::string line_;
  bool line_start_ = true;
};

class ArrayWriter final : public IdWriter {
 public:
  ArrayWriter(IdDtype dtype, bool npy, OutputFile& out) : dtype_(dtype), npy_(npy), out_(out) {}

  Status start() { return npy_ ? out_.write(npy_header(dtype_, 0)) : Status{}; }

  Status write(std::span<const TokenId> ids) override {
    const std::size_t size = item_size(dtype_);
    bytes_.resize(ids.size() * size);
    unsigned char* at = reinterpret_cast<unsigned char*>(bytes_.data());
    for (TokenId id : ids) {
      if (size == 2 && id > 0xFFFF)
        return Error::internal("id " + std::to_string(id) + " does not fit uint16");
      for (std::size_t b = 0; b < size; ++b) *at++ = static_cast<unsigned char>(id >> (8 * b));
    }
    count_ += ids.size();
    return out_.write(bytes_);
  }
  Status end_document() override { return {}; }
  Status finish() override { return npy_ ? out_.write_at(0, npy_header(dtype_, count_)) : Status{}; }

 private:
  IdDtype dtype_;
  bool npy_;
  OutputFile& out_;
  std::string bytes_;
  std::uint64_t count_ = 0;
};

// ---- readers ----

class TextReader final : public IdReader {
 public:
  explicit TextReader(InputStream& in) : in_(in), block_(kReadBlock) {}

  Result<std::size_t> read(std::span<TokenId> out) override {
    std::size_t produced = 0;
    while (produced < out.size()) {
      if (pos_ == end_) {
        if (at_end_) break;
        Result<std::size_t> got = in_.read(block_);
        if (!got) return std::move(got).error();
        pos_ = 0;
        end_ = *got;
        if (end_ == 0) {
          at_end_ = true;
          if (digits_ > 0) out[produced++] = static_cast<TokenId>(value_);
          digits_ = 0;
          break;
        }
      }
      const char c = block_[pos_++];
      if (c >= '0' && c <= '9') {
        value_ = value_ * 10 + static_cast<std::uint64_t>(c - '0');
        if (value_ > UINT32_MAX)
          return bad_input(in_, "line " + std::to_string(line_) + ": token id too large");
        ++digits_;
      } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        if (digits_ > 0) out[produced++] = static_cast<TokenId>(value_);
        digits_ = 0;
        value_ = 0;
        if (c == '\n') ++line_;
      } else {
        return bad_input(in_, "line " + std::to_string(line_) +
                                  ": expected token ids (decimal numbers separated by spaces)");
      }
    }
    return produced;
  }

 private:
  InputStream& in_;
  std::vector<char> block_;
  std::size_t pos_ = 0, end_ = 0;
  bool at_end_ = false;
  std::uint64_t value_ = 0;
  std::size_t digits_ = 0;
  std::uint64_t line_ = 1;
};

class ArrayReader final : public IdReader {
 public:
  ArrayReader(IdDtype dtype, std::optional<std::uint64_t> expected, InputStream& in)
      : dtype_(dtype), expected_(expected), in_(in) {}

  Result<std::size_t> read(std::span<TokenId> out) override {
    const std::size_t size = item_size(dtype_);
    std::size_t produced = 0;
    while (produced < out.size()) {
      if (block_.size() - offset_ < size) {
        if (at_end_) break;
        // Keep the piece of a value cut by the block boundary, then refill.
        block_.erase(0, offset_);
        offset_ = 0;
        const std::size_t keep = block_.size();
        block_.resize(keep + kReadBlock);
        Result<std::size_t> got = in_.read(std::span<char>(block_.data() + keep, kReadBlock));
        if (!got) return std::move(got).error();
        block_.resize(keep + *got);
        if (*got == 0) at_end_ = true;
        continue;
      }
      const std::size_t whole = std::min((block_.size() - offset_) / size, out.size() - produced);
      const auto* at = reinterpret_cast<const unsigned char*>(block_.data() + offset_);
      for (std::size_t i = 0; i < whole; ++i, at += size) {
        TokenId id = 0;
        for (std::size_t b = 0; b < size; ++b) id |= static_cast<TokenId>(at[b]) << (8 * b);
        out[produced++] = id;
      }
      offset_ += whole * size;
      read_ += whole;
    }
    if (produced == 0) TARVIK_TRY(check_end());
    return produced;
  }

 private:
  Status check_end() const {
    if (block_.size() > offset_)
      return bad_input(in_, "ends with " + std::to_string(block_.size() - offset_) +
                                " byte(s) that are not a whole " +
                                std::string(dtype_name(dtype_)) + " value");
    if (expected_ && *expected_ != read_)
      return bad_input(in_, "holds " + std::to_string(read_) + " ids but its header says " +
                                std::to_string(*expected_));
    return {};
  }

  IdDtype dtype_;
  std::optional<std::uint64_t> expected_;
  InputStream& in_;
  std::string block_;
  std::size_t offset_ = 0;
  bool at_end_ = false;
  std::uint64_t read_ = 0;
};

// Reads exactly `size` bytes of a header into `out`; a short input is an error.
Status read_exactly(InputStream& in, std::size_t size, std::string& out) {
  out.resize(size);
  std::size_t have = 0;
  while (have < size) {
    Result<std::size_t> got = in.read(std::span<char>(out.data() + have, size - have));
    if (!got) return std::move(got).error();
    if (*got == 0) return bad_input(in, "not an npy file (truncated header)");
    have += *got;
  }
  return {};
}

// The value text after `'key':` in an npy header dictionary, up to the next
// top-level comma or closing brace.
std::optional<std::string_view> npy_field(std::string_view dict, std::string_view key) {
  const std::string name = quoted(key);
  std::size_t at = dict.find(name);
  if (at == std::string_view::npos) return std::nullopt;
  at = dict.find(':', at + name.size());
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t end = at + 1;
  int depth = 0;
  while (end < dict.size() && (depth > 0 || (dict[end] != ',' && dict[end] != '}'))) {
    if (dict[end] == '(') ++depth;
    if (dict[end] == ')') --depth;
    ++end;
  }
  std::string_view value = dict.substr(at + 1, end - at - 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  return value;
}

// Reads an npy header: the dtype and the element count of a 1-D unsigned array.
Result<std::pair<IdDtype, std::uint64_t>> read_npy_header(InputStream& in) {
  std::string head;
  TARVIK_TRY(read_exactly(in, 8, head));
  if (head.compare(0, kNpyMagic.size(), kNpyMagic) != 0) return bad_input(in, "not an npy file");
  const unsigned major = static_cast<unsigned char>(head[6]);
  std::size_t length_bytes = major == 1 ? 2 : major == 2 || major == 3 ? 4 : 0;
  if (length_bytes == 0)
    return bad_input(in, "unsupported npy format version " + std::to_string(major));
  std::string length_field;
  TARVIK_TRY(read_exactly(in, length_bytes, length_field));
  std::size_t header_length = 0;
  for (std::size_t b = 0; b < length_bytes; ++b)
    header_length |= static_cast<std::size_t>(static_cast<unsigned char>(length_field[b])) << (8 * b);
  if (header_length > (1u << 20)) return bad_input(in, "npy header too large");
  std::string dict;
  TARVIK_TRY(read_exactly(in, header_length, dict));

  // A dictionary literal padded with spaces and ended by a line feed, which
  // the data follows: a length field that runs past it (into the ids) or
  // stops short of its end is damage, not ids to read from the wrong place.
  const std::size_t open = dict.find_first_not_of(' ');
  const std::size_t close = dict.find_last_not_of(" \t\r\n");
  if (open == std::string::npos || dict[open] != '{' || dict[close] != '}' || dict.back() != '\n')
    return bad_input(in, "malformed npy header");
  std::optional<std::string_view> descr = npy_field(dict, "descr");
  std::optional<std::string_view> shape = npy_field(dict, "shape");
  std::optional<std::string_view> order = npy_field(dict, "fortran_order");
  // Order means nothing for one dimension, but it must be one of the two.
  if (!descr || !shape || !order || (*order != "False" && *order != "True"))
    return bad_input(in, "malformed npy header");
  IdDtype dtype;
  if (*descr == "'<u2'") {
    dtype = IdDtype::kUint16;
  } else if (*descr == "'<u4'") {
    dtype = IdDtype::kUint32;
  } else {
    return bad_input(in, "npy dtype " + std::string(*descr) +
                             " is not supported (expected uint16 '<u2' or uint32 '<u4')");
  }
  // A 1-D shape reads "(N,)"; anything else (scalars, matrices) is refused.
  std::string_view dims = *shape;
  if (dims.size() < 4 || dims.front() != '(' || dims.substr(dims.size() - 2) != ",)")
    return bad_input(in, "npy array must be 1-D, its shape is " + std::string(dims));
  dims = dims.substr(1, dims.size() - 3);
  std::uint64_t count = 0;
  auto [end, ec] = std::from_chars(dims.data(), dims.data() + dims.size(), count);
  if (ec != std::errc() || end != dims.data() + dims.size())
    return bad_input(in, "npy array must be 1-D, its shape is " + std::string(*shape));
  return std::make_pair(dtype, count);
}

}  // namespace

std::optional<IdFormat> parse_format(std::string_view name) {
  if (name == "text") return IdFormat::kText;
  if (name == "npy") return IdFormat::kNpy;
  if (name == "bin") return IdFormat::kBin;
  return std::nullopt;
}

std::optional<IdDtype> parse_dtype(std::string_view name) {
  if (name == "uint16") return IdDtype::kUint16;
  if (name == "uint32") return IdDtype::kUint32;
  return std::nullopt;
}

std::string_view dtype_name(IdDtype dtype) {
  return dtype == IdDtype::kUint16 ? "uint16" : "uint32";
}

std::uint64_t dtype_capacity(IdDtype dtype) {
  return dtype == IdDtype::kUint16 ? (std::uint64_t{1} << 16) : (std::uint64_t{1} << 32);
}

Result<IdEncoding> id_encoding_from(const ParsedArgs& args) {
  static constexpr std::string_view kFormats[] = {"text", "npy", "bin"};
  static constexpr std::string_view kDtypes[] = {"uint16", "uint32"};
  Result<std::string_view> format = args.get_choice("format", "text", kFormats);
  if (!format) return std::move(format).error();
  Result<std::string_view> dtype = args.get_choice("dtype", "uint32", kDtypes);
  if (!dtype) return std::move(dtype).error();
  IdEncoding out{*parse_format(*format), *parse_dtype(*dtype), args.has("dtype")};
  if (out.format == IdFormat::kText && out.dtype_given)
    return Error::invalid_argument("--dtype applies to --format npy or bin only");
  return out;
}

std::string npy_header(IdDtype dtype, std::uint64_t count) {
  std::string dict = "{'descr': '" + std::string(npy_descr(dtype)) +
                     "', 'fortran_order': False, 'shape': (" + std::to_string(count) + ",), }";
  std::string header(kNpyMagic);
  header += '\x01';
  header += '\x00';
  const std::size_t length = kNpyHeaderSize - header.size() - 2;
  header += static_cast<char>(length & 0xFF);
  header += static_cast<char>(length >> 8);
  header += dict;
  header.append(kNpyHeaderSize - header.size() - 1, ' ');
  header += '\n';
  return header;
}

Result<std::unique_ptr<IdWriter>> make_writer(IdFormat format, IdDtype dtype, OutputFile& out) {
  if (format == IdFormat::kText) return std::unique_ptr<IdWriter>(new TextWriter(out));
  auto writer = std::make_unique<ArrayWriter>(dtype, format == IdFormat::kNpy, out);
  TARVIK_TRY(writer->start());
  return std::unique_ptr<IdWriter>(std::move(writer));
}

Result<std::unique_ptr<IdReader>> make_reader(const IdEncoding& encoding, InputStream& in) {
  if (encoding.format == IdFormat::kText) return std::unique_ptr<IdReader>(new TextReader(in));
  IdDtype dtype = encoding.dtype;
  std::optional<std::uint64_t> expected;
  if (encoding.format == IdFormat::kNpy) {
    Result<std::pair<IdDtype, std::uint64_t>> header = read_npy_header(in);
    if (!header) return std::move(header).error();
    if (encoding.dtype_given && header->first != dtype)
      return bad_input(in, "holds " + std::string(dtype_name(header->first)) +
                               " values, not " + std::string(dtype_name(dtype)));
    dtype = header->first;
    expected = header->second;
  }
  return std::unique_ptr<IdReader>(new ArrayReader(dtype, expected, in));
}

}  // namespace tarvik::cli
