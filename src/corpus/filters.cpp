// Pre-tokenization filters.
#include "corpus/filters.h"

namespace tarvik {

std::optional<Filter> filter_from_name(std::string_view name) {
  if (name == "lowercase" || name == "lowercase_ascii") return Filter::kLowercaseAscii;
  if (name == "normalize_whitespace") return Filter::kNormalizeWhitespace;
  if (name == "strip_non_printable") return Filter::kStripNonPrintable;
  return std::nullopt;
}

std::string_view filter_name(Filter filter) {
  switch (filter) {
    case Filter::kLowercaseAscii:
      return "lowercase_ascii";
    case Filter::kStripNonPrintable:
      return "strip_non_printable";
    case Filter::kNormalizeWhitespace:
      return "normalize_whitespace";
  }
  return "";
}

std::string apply_filter(Filter filter, std::string_view input) {
  std::string out;
  out.reserve(input.size());
  switch (filter) {
    case Filter::kLowercaseAscii:
      for (char c : input) out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c);
      break;
    case Filter::kStripNonPrintable:
      for (char c : input) {
        auto b = static_cast<unsigned char>(c);
        if (b == 0x09 || b == 0x0A || b >= 0x20) out.push_back(c);
      }
      break;
    case Filter::kNormalizeWhitespace: {
      bool in_run = false;
      for (char c : input) {
        bool space = c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == ' ';
        if (!space) {
          out.push_back(c);
          in_run = false;
        } else if (!in_run) {
          out.push_back(' ');
          in_run = true;
        }
      }
      break;
    }
  }
  return out;
}

std::string apply_filters(std::span<const Filter> filters, std::string_view input) {
  if (filters.empty()) return std::string(input);
  std::string out = apply_filter(filters.front(), input);
  for (Filter filter : filters.subspan(1)) out = apply_filter(filter, out);
  return out;
}

}  // namespace tarvik
