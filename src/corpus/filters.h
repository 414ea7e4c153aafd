// Pre-tokenization filters: stateless rewrites of the input bytes.
//
// All work on bytes and leave every byte >= 0x80 untouched, so non-ASCII UTF-8
// passes through unchanged.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarvik {

enum class Filter : unsigned char { kLowercaseAscii, kStripNonPrintable, kNormalizeWhitespace };

// The filter an accepted name selects ("lowercase" and "lowercase_ascii" are
// the same filter); nothing for any other name. Case-sensitive.
std::optional<Filter> filter_from_name(std::string_view name);

// The name the filter reports for itself.
std::string_view filter_name(Filter filter);

std::string apply_filter(Filter filter, std::string_view input);

// Applies the filters in order; a copy of `input` when there are none.
std::string apply_filters(std::span<const Filter> filters, std::string_view input);

}  // namespace tarvik
