// The JSON model file.
//
// save_model writes the Vocab as the indented document users and other tools
// read; load_model reads any document the reading rules accept (object or
// positional records, unknown keys skipped). Errors are kIo with the text
// that follows "Failed to save model: " / "Failed to load model: ".
//
// Filters: the document holds the key "filters" (the names the filters report,
// in order) only when there are some, so a model without filters is written
// exactly as before; a document without the key loads with none.
//
// Saving never leaves a half-written model in place of a good one: a regular
// file (or a path that does not exist yet) is replaced through a temporary
// file in the same directory, fsync'd and renamed over it. The new file gets
// 0666 minus the umask, or the old file's permission bits; a symlink keeps
// pointing at the replaced file. FIFOs, devices and other non-regular paths
// are written in place, as is a writable file in a directory where no
// temporary file may be created.
//
// Loading never trusts the document's sizes: nothing is allocated from a
// declared count, skipped values nest at most 256 deep, and ids, merge pairs
// and vocab_size are taken as written (consumers check positions).
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// Parses a document held in memory (already checked to be UTF-8 or not).
Result<ModelDocument> parse_model(std::string_view text);

// `on_interrupt` is called when a signal interrupts a read or a write; true
// stops the work with kInterrupted.
Status save_model(const Vocab& vocab, std::span<const Filter> filters, const std::string& path,
                  const CancelCheck& on_interrupt = {});
Result<ModelDocument> load_model(const std::string& path, const CancelCheck& on_interrupt = {});

}  // namespace tarvik
