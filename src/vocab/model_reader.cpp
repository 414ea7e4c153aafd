// Reading the model file: its records in object or positional form, with
// the messages and positions users see on a bad file.
#include "vocab/model_file.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/text.h"
#include "vocab/json_reader.h"
#include "vocab/json_writer.h"

namespace tarvik {
namespace {

using detail::JsonReader;
using detail::NumberText;
using detail::Scan;

// A record of the document: its fields in order, which of them an object
// must hold, and how many elements its positional form needs at least.
struct RecordShape {
  std::string_view name;
  std::span<const std::string_view> fields;
  unsigned required;  // bit i: field i is required
  std::size_t min_elements;
  // The positional form holds the first max_elements fields; the later ones
  // exist only in the object form, where keys name them.
  std::size_t max_elements;
};

constexpr std::string_view kVocabFileFields[] = {"version",    "tokens",         "bigrams",
                                                 "vocab_size", "special_tokens", "filters"};
constexpr std::string_view kTokenFields[] = {"id", "bytes", "log_prob", "merge_pair"};
constexpr std::string_view kBigramFields[] = {"left", "right", "log_prob"};
constexpr std::string_view kSpecialFields[] = {"name", "id", "bytes"};

constexpr RecordShape kVocabFileShape{"VocabFile", kVocabFileFields, 0b001111, 4, 5};
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
constexpr std::string_view kExpectFilter =
    "a filter name (lowercase_ascii, strip_non_printable or normalize_whitespace)";

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
            document.filters.emplace_back();
            return read_filter(document.filters.back());
          });
      }
    });
    if (ok) {
      r_.skip_ws();
      if (!r_.at_end()) r_.fail(r_.offset(), "trailing characters after the document");
    }
    if (r_.failed()) return r_.error();

    std::vector<BigramTable::Entry> entries;
    entries.reserve(bigrams.size());
    for (const BigramEntry& entry : bigrams) {
      entries.emplace_back(bigram_key(entry.left, entry.right), entry.log_prob);
    }
    vocab.bigrams = BigramTable::from_entries(std::move(entries));
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

  // The elements of the array or object whose opening bracket is at the
  // cursor, up to and including `close`: element(i) reads the i-th one.
  // `count` gets their number and `close_at` the offset of the closing bracket.
  template <class ReadElement>
  bool elements(char close, ReadElement element, std::size_t& count, std::size_t& close_at) {
    r_.advance();
    r_.skip_ws();
    count = 0;
    close_at = r_.offset();
    if (r_.peek() == close) {
      r_.advance();
      return true;
    }
    for (;;) {
      if (!element(count)) return false;
      ++count;
      Scan next = r_.after_element(close);
      if (next == Scan::kError) return false;
      if (next == Scan::kDone) {
        close_at = r_.offset() - 1;
        return true;
      }
    }
  }

  template <class ReadField>
  bool object_record(const RecordShape& shape, ReadField& read_field) {
    unsigned seen = 0;
    std::size_t count;
    std::size_t close_at;
    bool ok = elements('}', [&](std::size_t) {
      std::size_t key_at = r_.offset();
      if (r_.peek() != '"') return r_.fail_here("an object", "expected a string key");
      std::string_view key;
      if (!r_.read_key(key)) return false;
      r_.skip_ws();
      if (r_.peek() != ':') return r_.fail_here("an object", "expected `:` after an object key");
      r_.advance();
      std::size_t field = 0;
      while (field < shape.fields.size() && shape.fields[field] != key) ++field;
      if (field == shape.fields.size()) return r_.skip_value();
      unsigned bit = 1u << field;
      if (seen & bit) {
        return r_.fail(key_at, "duplicate field `" + std::string(shape.fields[field]) + "`");
      }
      seen |= bit;
      return read_field(field);
    }, count, close_at);
    if (!ok) return false;
    if (unsigned missing = shape.required & ~seen) {
      std::string_view name = shape.fields[std::countr_zero(missing)];
      return r_.fail(close_at, "missing field `" + std::string(name) + "`");
    }
    return true;
  }

  template <class ReadField>
  bool positional_record(const RecordShape& shape, ReadField& read_field) {
    std::size_t count;
    std::size_t close_at;
    bool ok = elements(']', [&](std::size_t index) {
      // Extra elements are counted, so that the message tells the real length.
      return index < shape.max_elements ? read_field(index) : r_.skip_value();
    }, count, close_at);
    if (!ok) return false;
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
    std::size_t count;
    std::size_t close_at;
    return elements(']', [&](std::size_t) { return read_element(); }, count, close_at);
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
    TokenId ids[2] = {0, 0};
    std::size_t count;
    std::size_t close_at;
    bool ok = elements(']', [&](std::size_t index) {
      return index < 2 ? read_id(ids[index]) : r_.skip_value();
    }, count, close_at);
    if (!ok) return false;
    if (count != 2) {
      return r_.fail(close_at, "invalid length " + std::to_string(count) + ", expected " +
                                   std::string(kExpectPairLength));
    }
    pair = MergePair{ids[0], ids[1]};
    return true;
  }

  // A record whose field i is read by the i-th of `readers`.
  template <class... Readers>
  bool fields(const RecordShape& shape, Readers... readers) {
    return record(shape, [&](std::size_t field) {
      std::size_t index = 0;
      bool ok = false;
      ((index++ == field && (ok = readers(), true)) || ...);
      return ok;
    });
  }

  bool read_token(Token& t) {
    return fields(kTokenShape, [&] { return read_id(t.id); }, [&] { return read_bytes(t.bytes); },
                  [&] { return read_f64(t.log_prob); },
                  [&] { return read_merge_pair(t.merge_pair); });
  }

  bool read_bigram(BigramEntry& e) {
    return fields(kBigramShape, [&] { return read_id(e.left); }, [&] { return read_id(e.right); },
                  [&] { return read_f64(e.log_prob); });
  }

  bool read_special(SpecialToken& s) {
    return fields(kSpecialShape, [&] { return read_string(s.name); },
                  [&] { return read_id(s.id); }, [&] { return read_bytes(s.bytes); });
  }

  bool read_filter(Filter& filter) {
    r_.skip_ws();
    std::size_t at = r_.offset();
    std::string name;
    if (!read_string(name)) return false;
    std::optional<Filter> known = filter_from_name(name);
    if (!known) {
      std::string quoted(detail::max_string_chars(name.size()), '\0');
      quoted.resize(static_cast<std::size_t>(detail::write_string(quoted.data(), name) -
                                             quoted.data()));
      return r_.fail(at, "invalid value: unknown filter " + quoted + ", expected " +
                             std::string(kExpectFilter));
    }
    filter = *known;
    return true;
  }

  JsonReader r_;
  std::string scratch_;
};

}  // namespace

Result<ModelDocument> parse_model(std::string_view text) {
  if (!is_valid_utf8(text)) return Error::io("stream did not contain valid UTF-8");
  return ModelReader(text).read();
}

}  // namespace tarvik
