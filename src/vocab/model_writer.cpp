// Writing the model file: the exact indented layout, rendered in one pass
// into a buffer sized beforehand.
#include "vocab/model_file.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "tarvik/version.h"
#include "vocab/json_writer.h"

namespace tarvik {
namespace {

using detail::ByteBuffer;

char* put(char* out, std::string_view s) {
  std::memcpy(out, s.data(), s.size());
  return out + s.size();
}

// The element line of every byte value inside a "bytes" array: eight spaces
// and the value, without the separator.
struct ByteLines {
  std::array<std::array<char, 12>, 256> text{};
  std::array<std::uint8_t, 256> size{};

  ByteLines() {
    for (unsigned b = 0; b < 256; ++b) {
      char* out = put(text[b].data(), "        ");
      out = detail::write_u64(out, b);
      size[b] = static_cast<std::uint8_t>(out - text[b].data());
    }
  }
};

const ByteLines& byte_lines() {
  static const ByteLines lines;
  return lines;
}

// Room a "bytes" array of n elements may take: per element a line of at most
// 11 characters and its ",\n", plus the brackets and the closing indentation.
constexpr std::size_t bytes_array_bound(std::size_t n) {
  return 16 + 13 * n;
}

// A "bytes" array as the value of a key at depth 3 (elements at depth 4).
char* write_bytes_array(char* out, std::string_view bytes) {
  if (bytes.empty()) return put(out, "[]");
  const ByteLines& lines = byte_lines();
  out = put(out, "[\n");
  bool first = true;
  for (char ch : bytes) {
    unsigned char b = static_cast<unsigned char>(ch);
    if (!first) out = put(out, ",\n");
    first = false;
    std::memcpy(out, lines.text[b].data(), 12);  // copy the whole slot; only size[b] counts
    out += lines.size[b];
  }
  return put(out, "\n      ]");
}

constexpr std::size_t kTokenOverhead = 160 + detail::kMaxDoubleChars + 3 * detail::kMaxU64Chars;
constexpr std::size_t kBigramBound = 96 + detail::kMaxDoubleChars + 2 * detail::kMaxU64Chars;
constexpr std::size_t kSpecialOverhead = 96 + detail::kMaxU64Chars;

void write_token(ByteBuffer& buf, const Token& token) {
  char* out = buf.room(kTokenOverhead + bytes_array_bound(token.bytes.size()));
  out = put(out, "    {\n      \"id\": ");
  out = detail::write_u64(out, token.id);
  out = put(out, ",\n      \"bytes\": ");
  out = write_bytes_array(out, token.bytes);
  out = put(out, ",\n      \"log_prob\": ");
  out = detail::write_double(out, token.log_prob);
  out = put(out, ",\n      \"merge_pair\": ");
  if (token.merge_pair) {
    out = put(out, "[\n        ");
    out = detail::write_u64(out, token.merge_pair->first);
    out = put(out, ",\n        ");
    out = detail::write_u64(out, token.merge_pair->second);
    out = put(out, "\n      ]");
  } else {
    out = put(out, "null");
  }
  out = put(out, "\n    }");
  buf.commit(out);
}

void write_bigram(ByteBuffer& buf, std::uint64_t key, double log_prob) {
  char* out = buf.room(kBigramBound);
  out = put(out, "    {\n      \"left\": ");
  out = detail::write_u64(out, bigram_left(key));
  out = put(out, ",\n      \"right\": ");
  out = detail::write_u64(out, bigram_right(key));
  out = put(out, ",\n      \"log_prob\": ");
  out = detail::write_double(out, log_prob);
  out = put(out, "\n    }");
  buf.commit(out);
}

void write_special(ByteBuffer& buf, const SpecialToken& special) {
  char* out = buf.room(kSpecialOverhead + detail::max_string_chars(special.name.size()) +
                       bytes_array_bound(special.bytes.size()));
  out = put(out, "    {\n      \"name\": ");
  out = detail::write_string(out, special.name);
  out = put(out, ",\n      \"id\": ");
  out = detail::write_u64(out, special.id);
  out = put(out, ",\n      \"bytes\": ");
  out = write_bytes_array(out, special.bytes);
  out = put(out, "\n    }");
  buf.commit(out);
}

// Writes the records of one top-level array: "[]" when there are none,
// otherwise one record per line group, separated by ",\n".
template <class Range, class WriteOne>
void write_records(ByteBuffer& buf, const Range& range, WriteOne write_one) {
  if (range.empty()) {
    buf.append("[]");
    return;
  }
  buf.append("[\n");
  bool first = true;
  for (const auto& item : range) {
    if (!first) buf.append(",\n");
    first = false;
    write_one(item);
  }
  buf.append("\n  ]");
}

// Room a "filters" array element may take: its line, quotes and separator.
constexpr std::size_t kFilterOverhead = 16;

// An upper bound of the document size, so that rendering never reallocates.
std::size_t document_bound(const Vocab& vocab, std::span<const Filter> filters) {
  std::size_t size = 256;
  for (const Token& token : vocab.tokens) {
    size += kTokenOverhead + bytes_array_bound(token.bytes.size()) + 2;
  }
  size += vocab.bigrams.size() * (kBigramBound + 2);
  for (const SpecialToken& special : vocab.special_tokens) {
    size += kSpecialOverhead + detail::max_string_chars(special.name.size()) +
            bytes_array_bound(special.bytes.size()) + 2;
  }
  for (Filter filter : filters) {
    size += kFilterOverhead + detail::max_string_chars(filter_name(filter).size());
  }
  return size;
}

}  // namespace

namespace detail {

ByteBuffer render_model_buffer(const Vocab& vocab, std::span<const Filter> filters) {
  ByteBuffer buf(document_bound(vocab, filters));
  buf.append("{\n  \"version\": \"");
  buf.append(TARVIK_VERSION);
  buf.append("\",\n  \"tokens\": ");
  write_records(buf, vocab.tokens, [&](const Token& token) { write_token(buf, token); });
  buf.append(",\n  \"bigrams\": ");
  write_records(buf, vocab.bigrams,
                [&](const auto& entry) { write_bigram(buf, entry.first, entry.second); });
  buf.append(",\n  \"vocab_size\": ");
  char* out = buf.room(kMaxU64Chars);
  buf.commit(write_u64(out, vocab.vocab_size));
  buf.append(",\n  \"special_tokens\": ");
  write_records(buf, vocab.special_tokens,
                [&](const SpecialToken& special) { write_special(buf, special); });
  if (!filters.empty()) {
    buf.append(",\n  \"filters\": ");
    write_records(buf, filters, [&](Filter filter) {
      std::string_view name = filter_name(filter);
      char* at = buf.room(kFilterOverhead + max_string_chars(name.size()));
      at = put(at, "    ");
      buf.commit(write_string(at, name));
    });
  }
  buf.append("\n}");
  return buf;
}

}  // namespace detail

std::string render_model(const Vocab& vocab, std::span<const Filter> filters) {
  return std::string(detail::render_model_buffer(vocab, filters).view());
}

}  // namespace tarvik
