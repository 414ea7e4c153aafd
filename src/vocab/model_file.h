// The JSON model file.
//
// save_model writes the Vocab as the indented document users and other tools
// read; load_model reads any document the reading rules accept (object or
// positional records, unknown keys skipped). Errors are kIo with the text
// that follows "Failed to save model: " / "Failed to load model: ".
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
