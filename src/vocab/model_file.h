// The JSON model file.
//
// save_model writes the Vocab as the indented document users and other tools
// read; load_model reads any document the reading rules accept (object or
// positional records, unknown keys skipped). Errors are kIo with the text
// that follows "Failed to save model: " / "Failed to load model: ".
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"
#include "vocab/vocab.h"

namespace tarvik {

// The document text, exactly as save_model writes it.
std::string render_model(const Vocab& vocab);

// Parses a document held in memory (already checked to be UTF-8 or not).
Result<Vocab> parse_model(std::string_view text);

Status save_model(const Vocab& vocab, const std::string& path);
Result<Vocab> load_model(const std::string& path);

}  // namespace tarvik
