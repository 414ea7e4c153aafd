// The JSON model file: its layout as written, its records as read, and the
// file-system side of saving and loading.
#include "vocab/model_file.h"

#include "common/text.h"
#include "corpus/filters.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "vocab/json_buffer.h"
#include "vocab/json_reader.h"
#include "vocab/json_writer.h"

namespace tarvik {
namespace {

using detail::ByteBuffer;
using detail::JsonReader;
using detail::NumberText;
using detail::Scan;

// ---------------------------------------------------------------------------
// Writing

constexpr std::string_view kVersion = "0.1.1";

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

// An upper bound of the document size, so that rendering never reallocates.
std::size_t document_bound(const Vocab& vocab, std::span<const Filter> filters) {
  std::size_t size = 256;
  for (Filter filter : filters) size += filter_name(filter).size() + 16;
  for (const Token& token : vocab.tokens) {
    size += kTokenOverhead + bytes_array_bound(token.bytes.size()) + 2;
  }
  size += vocab.bigrams.size() * (kBigramBound + 2);
  for (const SpecialToken& special : vocab.special_tokens) {
    size += kSpecialOverhead + detail::max_string_chars(special.name.size()) +
            bytes_array_bound(special.bytes.size()) + 2;
  }
  return size;
}

ByteBuffer render(const Vocab& vocab, std::span<const Filter> filters) {
  ByteBuffer buf(document_bound(vocab, filters));
  buf.append("{\n  \"version\": \"");
  buf.append(kVersion);
  buf.append("\",\n  \"tokens\": ");
  write_records(buf, vocab.tokens, [&](const Token& token) { write_token(buf, token); });
  buf.append(",\n  \"bigrams\": ");
  write_records(buf, vocab.bigrams,
                [&](const auto& entry) { write_bigram(buf, entry.first, entry.second); });
  buf.append(",\n  \"vocab_size\": ");
  char* out = buf.room(detail::kMaxU64Chars);
  buf.commit(detail::write_u64(out, vocab.vocab_size));
  buf.append(",\n  \"special_tokens\": ");
  write_records(buf, vocab.special_tokens,
                [&](const SpecialToken& special) { write_special(buf, special); });
  // Only a model with filters has the key, so other files stay as they were.
  if (!filters.empty()) {
    buf.append(",\n  \"filters\": ");
    write_records(buf, filters, [&](Filter filter) {
      buf.append("    \"");
      buf.append(filter_name(filter));
      buf.append("\"");
    });
  }
  buf.append("\n}");
  return buf;
}

// ---------------------------------------------------------------------------
// Reading

// A record of the document: its fields in order, which of them an object
// must hold, and how many elements its positional form needs at least.
struct RecordShape {
  std::string_view name;
  std::span<const std::string_view> fields;
  unsigned required;  // bit i: field i is required
  std::size_t min_elements;
  std::size_t max_elements;  // the positional form knows the first this many fields
};

constexpr std::string_view kVocabFileFields[] = {"version",    "tokens",         "bigrams",
                                                 "vocab_size", "special_tokens", "filters"};
constexpr std::string_view kTokenFields[] = {"id", "bytes", "log_prob", "merge_pair"};
constexpr std::string_view kBigramFields[] = {"left", "right", "log_prob"};
constexpr std::string_view kSpecialFields[] = {"name", "id", "bytes"};

constexpr RecordShape kVocabFileShape{"VocabFile", kVocabFileFields, 0b01111, 4, 5};
constexpr RecordShape kTokenShape{"Token", kTokenFields, 0b0111, 4, 4};
constexpr RecordShape kBigramShape{"BigramEntry", kBigramFields, 0b111, 3, 3};
constexpr RecordShape kSpecialShape{"SpecialToken", kSpecialFields, 0b111, 3, 3};

constexpr std::string_view kExpectId = "a token id (an integer from 0 to 4294967295)";
constexpr std::string_view kExpectByte = "a byte value (an integer from 0 to 255)";
constexpr std::string_view kExpectSize = "an integer from 0 to 18446744073709551615";
constexpr std::string_view kExpectNumber = "a number";
constexpr std::string_view kExpectString = "a string";
constexpr std::string_view kExpectBytes = "an array of byte values";
constexpr std::string_view kExpectMergePair = "null or an array of 2 token ids";
constexpr std::string_view kExpectPairLength = "an array of 2 token ids";

struct BigramEntry {
  TokenId left = 0;
  TokenId right = 0;
  double log_prob = 0.0;
};

class ModelReader {
 public:
  explicit ModelReader(std::string_view text) : r_(text) {}

  Result<ModelDocument> read() {
    ModelDocument document;
    Vocab& vocab = document.vocab;
    std::vector<BigramEntry> bigrams;
    bool ok = record(kVocabFileShape, [&](std::size_t field) {
      switch (field) {
        case 0:
          return read_string(scratch_);  // any version is accepted
        case 1:
          return array("an array of tokens", [&] {
            vocab.tokens.emplace_back();
            return read_token(vocab.tokens.back());
          });
        case 2:
          return array("an array of bigram entries", [&] {
            bigrams.emplace_back();
            return read_bigram(bigrams.back());
          });
        case 3:
          return read_integer(UINT64_MAX, kExpectSize, vocab.vocab_size);
        case 4:
          return array("an array of special tokens", [&] {
            vocab.special_tokens.emplace_back();
            return read_special(vocab.special_tokens.back());
          });
        default:
          return array("an array of filter names", [&] {
            std::size_t at = r_.offset();
            if (!read_string(scratch_)) return false;
            std::optional<Filter> filter = filter_from_name(scratch_);
            if (!filter) return r_.fail(at, "unknown filter `" + scratch_ + "`");
            document.filters.push_back(*filter);
            return true;
          });
      }
    });
    if (ok) {
      r_.skip_ws();
      if (!r_.at_end()) r_.fail(r_.offset(), "trailing characters after the document");
    }
    if (r_.failed()) return r_.error();

    vocab.bigrams.reserve(bigrams.size());
    for (const BigramEntry& entry : bigrams) {
      vocab.bigrams.insert_or_assign(bigram_key(entry.left, entry.right), entry.log_prob);
    }
    for (const SpecialToken& special : vocab.special_tokens) {
      vocab.id_by_name.insert_or_assign(special.name, special.id);
    }
    return document;
  }

 private:
  // Reports a value of the wrong type at the cursor, describing what is there.
  bool type_error(std::string_view expected) {
    std::size_t at = r_.offset();
    std::string found;
    if (!r_.describe_value(found)) return false;  // a syntax error inside it comes first
    return r_.fail(at, "invalid type: " + found + ", expected " + std::string(expected));
  }

  // A record in object or positional form; read_field(i) reads the value of
  // field i at the cursor.
  template <class ReadField>
  bool record(const RecordShape& shape, ReadField read_field) {
    r_.skip_ws();
    char c = r_.peek();
    if (c == '{') return object_record(shape, read_field);
    if (c == '[') return positional_record(shape, read_field);
    return type_error("struct " + std::string(shape.name));
  }

  template <class ReadField>
  bool object_record(const RecordShape& shape, ReadField& read_field) {
    r_.advance();
    r_.skip_ws();
    unsigned seen = 0;
    std::size_t close_at = r_.offset();
    if (r_.peek() == '}') {
      r_.advance();
    } else {
      for (;;) {
        std::size_t key_at = r_.offset();
        if (r_.peek() != '"') return r_.fail_here("an object", "expected a string key");
        std::string_view key;
        if (!r_.read_key(key)) return false;
        r_.skip_ws();
        if (r_.peek() != ':') return r_.fail_here("an object", "expected `:` after an object key");
        r_.advance();
        std::size_t field = 0;
        while (field < shape.fields.size() && shape.fields[field] != key) ++field;
        if (field == shape.fields.size()) {
          if (!r_.skip_value()) return false;
        } else {
          unsigned bit = 1u << field;
          if (seen & bit) {
            return r_.fail(key_at, "duplicate field `" + std::string(shape.fields[field]) + "`");
          }
          seen |= bit;
          if (!read_field(field)) return false;
        }
        Scan next = r_.after_element('}');
        if (next == Scan::kError) return false;
        if (next == Scan::kDone) {
          close_at = r_.offset() - 1;
          break;
        }
      }
    }
    if (unsigned missing = shape.required & ~seen) {
      std::string_view name = shape.fields[std::countr_zero(missing)];
      return r_.fail(close_at, "missing field `" + std::string(name) + "`");
    }
    return true;
  }

  template <class ReadField>
  bool positional_record(const RecordShape& shape, ReadField& read_field) {
    r_.advance();
    r_.skip_ws();
    std::size_t count = 0;
    std::size_t close_at = r_.offset();
    if (r_.peek() == ']') {
      r_.advance();
    } else {
      for (;;) {
        if (count < shape.max_elements) {
          if (!read_field(count)) return false;
        } else if (!r_.skip_value()) {  // counted, so that the message tells the real length
          return false;
        }
        ++count;
        Scan next = r_.after_element(']');
        if (next == Scan::kError) return false;
        if (next == Scan::kDone) {
          close_at = r_.offset() - 1;
          break;
        }
      }
    }
    if (count < shape.min_elements || count > shape.max_elements) {
      return r_.fail(close_at, "invalid length " + std::to_string(count) + ", expected struct " +
                                   std::string(shape.name) + " with " +
                                   std::to_string(shape.max_elements) + " elements");
    }
    return true;
  }

  // An array whose elements read_element reads one by one.
  template <class ReadElement>
  bool array(std::string_view expected, ReadElement read_element) {
    r_.skip_ws();
    if (r_.peek() != '[') return type_error(expected);
    r_.advance();
    r_.skip_ws();
    if (r_.peek() == ']') {
      r_.advance();
      return true;
    }
    for (;;) {
      if (!read_element()) return false;
      Scan next = r_.after_element(']');
      if (next != Scan::kMore) return next == Scan::kDone;
    }
  }

  bool read_integer(std::uint64_t max, std::string_view expected, std::uint64_t& value) {
    r_.skip_ws();
    if (r_.try_read_uint(max, value)) return true;
    std::size_t at = r_.offset();
    char c = r_.peek();
    if (c != '-' && (c < '0' || c > '9')) return type_error(expected);
    NumberText number;
    if (!r_.read_number(number)) return false;
    if (!number.integral) {
      return r_.fail(at, "invalid type: floating point `" + std::string(number.text) +
                             "`, expected " + std::string(expected));
    }
    std::string_view digits = number.text.substr(number.negative ? 1 : 0);
    std::uint64_t v;
    bool fits = detail::parse_u64(digits, v) && v <= max && (!number.negative || v == 0);
    if (!fits) {
      return r_.fail(at, "invalid value: integer `" + std::string(number.text) + "`, expected " +
                             std::string(expected));
    }
    value = v;
    return true;
  }

  bool read_id(TokenId& id) {
    std::uint64_t v;
    if (!read_integer(UINT32_MAX, kExpectId, v)) return false;
    id = static_cast<TokenId>(v);
    return true;
  }

  bool read_f64(double& value) {
    r_.skip_ws();
    std::size_t at = r_.offset();
    char c = r_.peek();
    if (c != '-' && (c < '0' || c > '9')) return type_error(kExpectNumber);
    NumberText number;
    if (!r_.read_number(number)) return false;
    const char* first = number.text.data();
    const char* last = first + number.text.size();
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range) {
      // Too large when at least 1 in magnitude; otherwise below the
      // smallest subnormal, which reads as zero.
      if (leading_exponent(number.text) >= 0) {
        return r_.fail(at, "number out of range: `" + std::string(number.text.substr(0, 48)) +
                               "` is too large for a 64-bit float");
      }
      value = number.negative ? -0.0 : 0.0;
    } else if (ec != std::errc() || ptr != last) {
      return r_.fail(at, "invalid number");
    }
    return true;
  }

  // Decimal exponent of the first significant digit of a nonzero number
  // literal: 2 for "123.4", -3 for "0.00123", 400 for "1e400". An exponent
  // part far beyond the range of doubles saturates.
  static long long leading_exponent(std::string_view text) {
    std::size_t e = text.find_first_of("eE");
    std::string_view mantissa = text.substr(0, e);
    std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    std::size_t first = mantissa.find_first_of("123456789");
    long long place = first < point ? static_cast<long long>(point - first) - 1
                                    : -static_cast<long long>(first - point);
    long long exponent = 0;
    if (e != std::string_view::npos) {
      std::size_t i = e + 1;
      bool negative = text[i] == '-';
      if (text[i] == '-' || text[i] == '+') ++i;
      for (; i < text.size() && exponent < 1'000'000'000; ++i) {
        exponent = exponent * 10 + (text[i] - '0');
      }
      if (negative) exponent = -exponent;
    }
    return place + exponent;
  }

  bool read_string(std::string& out) {
    r_.skip_ws();
    if (r_.peek() != '"') return type_error(kExpectString);
    return r_.read_string(out);
  }

  bool read_bytes(std::string& out) {
    out.clear();
    return array(kExpectBytes, [&] {
      std::uint64_t v;
      if (!read_integer(255, kExpectByte, v)) return false;
      out.push_back(static_cast<char>(v));
      return true;
    });
  }

  bool read_merge_pair(std::optional<MergePair>& pair) {
    r_.skip_ws();
    char c = r_.peek();
    if (c == 'n') {
      pair.reset();
      return r_.read_literal("null");
    }
    if (c != '[') return type_error(kExpectMergePair);
    r_.advance();
    r_.skip_ws();
    TokenId ids[2] = {0, 0};
    std::size_t count = 0;
    std::size_t close_at = r_.offset();
    if (r_.peek() == ']') {
      r_.advance();
    } else {
      for (;;) {
        if (count < 2) {
          if (!read_id(ids[count])) return false;
        } else if (!r_.skip_value()) {
          return false;
        }
        ++count;
        Scan next = r_.after_element(']');
        if (next == Scan::kError) return false;
        if (next == Scan::kDone) {
          close_at = r_.offset() - 1;
          break;
        }
      }
    }
    if (count != 2) {
      return r_.fail(close_at, "invalid length " + std::to_string(count) + ", expected " +
                                   std::string(kExpectPairLength));
    }
    pair = MergePair{ids[0], ids[1]};
    return true;
  }

  bool read_token(Token& token) {
    return record(kTokenShape, [&](std::size_t field) {
      switch (field) {
        case 0:
          return read_id(token.id);
        case 1:
          return read_bytes(token.bytes);
        case 2:
          return read_f64(token.log_prob);
        default:
          return read_merge_pair(token.merge_pair);
      }
    });
  }

  bool read_bigram(BigramEntry& entry) {
    return record(kBigramShape, [&](std::size_t field) {
      switch (field) {
        case 0:
          return read_id(entry.left);
        case 1:
          return read_id(entry.right);
        default:
          return read_f64(entry.log_prob);
      }
    });
  }

  bool read_special(SpecialToken& special) {
    return record(kSpecialShape, [&](std::size_t field) {
      switch (field) {
        case 0:
          return read_string(special.name);
        case 1:
          return read_id(special.id);
        default:
          return read_bytes(special.bytes);
      }
    });
  }

  JsonReader r_;
  std::string scratch_;
};

// ---------------------------------------------------------------------------
// Files

[[maybe_unused]] const char* strerror_text(int rc, const char* buf) {
  return rc == 0 ? buf : "Unknown error";
}
const char* strerror_text(const char* text, const char*) {
  return text;
}

Error os_error(int err) {
  char buf[256];
  std::string text = strerror_text(strerror_r(err, buf, sizeof buf), buf);
  return Error::io(text + " (os error " + std::to_string(err) + ")");
}

Error nul_in_path() {
  return Error::io("file name contained an unexpected NUL byte");
}

// A signal interrupted a system call: go on unless the caller's check says stop.
Status after_interrupt(const CancelCheck& on_interrupt) {
  if (on_interrupt && on_interrupt()) return Error::interrupted();
  return {};
}

Status write_all(int fd, std::string_view data, const CancelCheck& on_interrupt) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) {
        TARVIK_TRY(after_interrupt(on_interrupt));
        continue;
      }
      return os_error(errno);
    }
    if (n == 0) return Error::io("failed to write whole buffer");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Closes a descriptor once, on every path out of the function that opened it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports the error close() gives (delayed write errors).
  Status close() {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) return os_error(errno);
    return {};
  }

 private:
  int fd_;
};

// Writes straight into the path: for FIFOs, devices and anything that is not
// a regular file, where a rename would replace the node itself.
Status write_in_place(const std::string& path, std::string_view data,
                      const CancelCheck& on_interrupt) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return os_error(errno);
  TARVIK_TRY(write_all(fd.get(), data, on_interrupt));
  return fd.close();
}

// A name for the temporary file beside `target`; the process id and a counter
// keep it unique, and O_EXCL with a retry covers a stale file of that name.
std::string temporary_name(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.size() > 200) base.resize(200);  // stay below the file-name length limit
  return dir + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1));
}

void sync_directory_of(const std::string& target) {
  std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the rename has already happened
  ::close(fd);
}

// Replaces the regular file `target` (or creates it) through a temporary file
// in the same directory, so that a failure part-way leaves the old file whole.
// `existing` holds the old file's status when there is one; its permission
// bits carry over to the new file. Returns nullopt when the temporary file
// cannot be created for lack of permission, so that the caller can fall back
// to writing in place (which may still be allowed).
std::optional<Status> replace_file(const std::string& target, const struct stat* existing,
                                   std::string_view data, const CancelCheck& on_interrupt) {
  std::string temp;
  int raw = -1;
  for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
    temp = temporary_name(target);
    raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (raw < 0 && errno != EEXIST) {
      if (errno == EACCES || errno == EPERM) return std::nullopt;
      return Status(os_error(errno));
    }
  }
  if (raw < 0) return Status(os_error(EEXIST));
  Fd fd(raw);
  auto fail = [&](Error error) {
    ::unlink(temp.c_str());
    return Status(std::move(error));
  };
  if (existing) {
    // Keep the old file's owner where we may (chown first: it can clear the
    // set-id bits that the mode then restores), and its permission bits.
    [[maybe_unused]] int ignored = ::fchown(fd.get(), existing->st_uid, existing->st_gid);
    ::fchmod(fd.get(), existing->st_mode & 07777);
  }
  if (Status s = write_all(fd.get(), data, on_interrupt); !s.ok()) return fail(std::move(s).error());
  if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) return fail(os_error(errno));
  if (Status s = fd.close(); !s.ok()) return fail(std::move(s).error());
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail(os_error(errno));
  sync_directory_of(target);
  return Status();
}

Status write_file(const std::string& path, std::string_view data,
                  const CancelCheck& on_interrupt) {
  if (path.find('\0') != std::string::npos) return nul_in_path();
  if (path.empty() || path.back() == '/') return write_in_place(path, data, on_interrupt);

  struct stat st;
  std::string target = path;
  bool exists;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      // Replace the file the link points to and keep the link.
      if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return write_in_place(path, data, on_interrupt);
      }
      char* real = ::realpath(path.c_str(), nullptr);
      if (!real) return write_in_place(path, data, on_interrupt);
      target = real;
      std::free(real);
    } else if (!S_ISREG(st.st_mode)) {
      return write_in_place(path, data, on_interrupt);
    }
    exists = true;
  } else if (errno == ENOENT) {
    exists = false;
  } else {
    return write_in_place(path, data, on_interrupt);  // reports the path's own error
  }
  // Replacing by rename needs only the directory's permission; a file we may
  // not write stays refused, as writing it in place would be.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    return os_error(errno);
  }
  if (std::optional<Status> s = replace_file(target, exists ? &st : nullptr, data, on_interrupt)) return *s;
  return write_in_place(path, data, on_interrupt);
}

Result<ByteBuffer> read_file(const std::string& path, const CancelCheck& on_interrupt) {
  if (path.find('\0') != std::string::npos) return nul_in_path();
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return os_error(errno);
  struct stat st;
  std::size_t expected = 0;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    expected = static_cast<std::size_t>(st.st_size);
  }
  // One byte more than the reported size, so that the end is seen without a
  // second allocation; files that report no size grow the buffer as they go.
  ByteBuffer data(expected + 1 > 65536 ? expected + 1 : 65536);
  for (;;) {
    char* out = data.room(1);
    std::size_t space = data.capacity() - data.size();
    ssize_t n = ::read(fd.get(), out, space);
    if (n < 0) {
      if (errno == EINTR) {
        TARVIK_TRY(after_interrupt(on_interrupt));
        continue;
      }
      return os_error(errno);
    }
    if (n == 0) break;
    data.commit(out + n);
  }
  return data;
}

}  // namespace

std::string render_model(const Vocab& vocab, std::span<const Filter> filters) {
  return std::string(render(vocab, filters).view());
}

Result<ModelDocument> parse_model(std::string_view text) {
  if (!is_valid_utf8(text)) return Error::io("stream did not contain valid UTF-8");
  return ModelReader(text).read();
}

Status save_model(const Vocab& vocab, std::span<const Filter> filters, const std::string& path,
                  const CancelCheck& on_interrupt) {
  if (path.find('\0') != std::string::npos) return nul_in_path();
  return write_file(path, render(vocab, filters).view(), on_interrupt);
}

Result<ModelDocument> load_model(const std::string& path, const CancelCheck& on_interrupt) {
  Result<ByteBuffer> text = read_file(path, on_interrupt);
  if (!text.ok()) return std::move(text).error();
  return parse_model(text->view());
}

}  // namespace tarvik
