// What the batch and array methods need beyond single texts: many texts held
// for encoding without the lock, many id lists read for decoding, and arrays
// that numpy wraps without copying.
#pragma once

#include "python/compat.h"

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "python/guards.h"
#include "tarvik/tokenizer.h"

namespace tarvik::py {

// Filtered texts whose bytes stay valid while the lock is released.
struct TextBatch {
  std::vector<Ref> owners;            // the objects the views point into
  std::deque<std::string> copies;     // converted or filtered bytes (never move)
  std::vector<std::string_view> views;
};

// Converts one text by the str-or-bytes rule (TypeError "text must be str or
// bytes" otherwise), filters it and appends it.
bool append_text(PyObject* text, const Tokenizer& tokenizer, TextBatch* out);

// Iterates `texts` once, converting each item by the str-or-bytes rule and
// applying the tokenizer's filters, and hands the items to `encode` a window
// at a time: kWindowTexts of them, or fewer once they hold kWindowBytes. So
// only two windows' views and temporary UTF-8 copies are alive at once, and
// a batch needs little beyond its input and its ids. `encode` runs with the
// lock held (it may release it) and raises what it returns false for; it is
// not called for an empty input. It may call `read_ahead` once, with the
// lock held, to read the next window while it encodes this one (false: an
// error is raised); the next window is read after it returns otherwise.
// A non-text item raises TypeError "texts[i]: text must be str or bytes".
inline constexpr std::size_t kWindowTexts = 1024;
inline constexpr std::size_t kWindowBytes = std::size_t{1} << 20;
using ReadAhead = std::function<bool()>;
using EncodeWindow = std::function<bool(const TextBatch&, const ReadAhead& read_ahead)>;
bool convert_texts(PyObject* texts, const Tokenizer& tokenizer, const EncodeWindow& encode);

// Reads each item of `id_lists` as decode reads its argument; an item with
// the buffer protocol and a one-dimensional integer format is read directly.
// The lists go to `decode` a window of about a million ids at a time, in
// order, with pending signals checked before each; false from it stops the
// reading. Errors name the item: "id_lists[i]: ...".
bool convert_id_lists(PyObject* id_lists,
                      const std::function<bool(std::vector<std::vector<TokenId>>&)>& decode);

// numpy.frombuffer over the ids (uint32) or the boundaries (int64), which the
// array then owns: no copy. ImportError naming `method` when numpy is missing.
PyObject* ids_to_array(MappedIds ids, const char* method);
PyObject* offsets_to_array(std::vector<std::uint64_t> offsets, const char* method);

}  // namespace tarvik::py
