// The JSON model file: a Vocab and the active filters.
//
// render_model writes the indented document users and other tools read
// (model_writer.cpp); parse_model reads any document the reading rules accept,
// object or positional records, unknown keys skipped (model_reader.cpp);
// save_model and load_model put the two on the file system through
// common/file_io.h, whose failure-safe save they use. Errors are kIo with the
// text that follows "Failed to save model: " / "Failed to load model: ";
// kInterrupted when `on_interrupt` asked to stop.
//
// The same vocabulary and filters always give the same bytes: the "bigrams"
// array is sorted by (left, right). The "filters" key (the filter names in
// order) is written only when there is a filter, so a model without filters
// gives the file it gave before the key existed; on reading it is optional,
// and a name that is not a filter is an error naming it.
//
// Loading never trusts the document's sizes: nothing is allocated from a
// declared count, skipped values nest at most 256 deep, and ids, merge pairs
// and vocab_size are taken as written (consumers check positions).
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "common/result.h"
#include "corpus/filters.h"
#include "tarvik/callbacks.h"
#include "vocab/vocab.h"

namespace tarvik {

struct ModelDocument {
  Vocab vocab;
  std::vector<Filter> filters;
};

// The document text, exactly as save_model writes it.
std::string render_model(const Vocab& vocab, std::span<const Filter> filters = {});

// Parses a document held in memory (checked to be UTF-8 first).
Result<ModelDocument> parse_model(std::string_view text);

Status save_model(const Vocab& vocab, std::span<const Filter> filters, const std::string& path,
                  const CancelCheck& on_interrupt = {});
Result<ModelDocument> load_model(const std::string& path, const CancelCheck& on_interrupt = {});

namespace detail {
// render_model into a huge-page buffer, without the copy into a string.
ByteBuffer render_model_buffer(const Vocab& vocab, std::span<const Filter> filters);
}  // namespace detail

}  // namespace tarvik
