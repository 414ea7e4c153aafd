// Cuts documents that arrive in pieces into units that can be encoded one by
// one, in any order and on any thread, such that the units' encodings joined
// in order equal the encoding of each whole document.
//
// Input: raw bytes of one document at a time (feed, any number of pieces,
// then end_document). Output: units of the model's filtered bytes, collected
// in one arena with the end of each unit and whether it closes a document;
// take() hands them over and starts a new batch. Every byte fed comes out in
// exactly one unit, in order; an empty document yields one empty unit, so the
// caller still sees its end.
//
// Cutting rules (the reasons are in the .cpp):
// - context-weighted mode: a document whose filtered length is at most
//   kWholeLimit is one unit; a longer one is cut into pieces from its start
//   exactly where encoding the whole document cuts it (Tokenizer::piece_end:
//   every kChunk bytes, or just before a special token's name that would
//   cross that point);
// - greedy and dense modes: each document is one unit, and a document longer
//   than kSingleUnitLimit filtered bytes is refused (the cutter would have to
//   hold it whole);
// - the model's filters are applied per piece, with raw pieces cut only where
//   the filters cannot carry state across (after a byte that is neither
//   whitespace nor stripped), so filtering piecewise equals filtering whole.
// Memory: the unemitted tail of the current document (at most kChunk plus
// the longest special token's name plus one piece in context-weighted mode)
// plus the units not yet taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tarvik/result.h"
#include "tarvik/tokenizer.h"

namespace tarvik::cli {

// The library's chunking of long context-weighted inputs: inputs up to
// kWholeLimit bytes are one unit, longer ones are cut into pieces of about
// kChunk bytes.
inline constexpr std::size_t kWholeLimit = 131072;
inline constexpr std::size_t kChunk = 65536;
// The longest document the greedy and dense modes take.
inline constexpr std::uint64_t kSingleUnitLimit = std::uint64_t{64} << 20;

struct Units {
  struct Unit {
    std::size_t end;  // of its bytes in `arena`; it starts where the previous one ends
    bool ends_document;
  };
  std::string arena;
  std::vector<Unit> units;

  std::string_view bytes(std::size_t i) const {
    const std::size_t start = i == 0 ? 0 : units[i - 1].end;
    return std::string_view(arena).substr(start, units[i].end - start);
  }
};

class DocumentCutter {
 public:
  // `model` must outlive the cutter.
  DocumentCutter(const Tokenizer& model, EncodeMode mode);

  // Appends raw bytes to the current document; fails for a greedy or dense
  // document that grows beyond kSingleUnitLimit.
  Status feed(std::string_view raw);
  // Ends the current document; the next feed starts a new one.
  Status end_document();
  // The units completed since the last take(), in order.
  Units take();
  // Bytes held for the current document that no unit carries yet.
  std::size_t held() const { return raw_.size() + pending_.size(); }

 private:
  void add_filtered(std::string_view bytes);
  void emit(std::string_view bytes, bool ends_document);
  // Emits the piece of pending_ that starts at `at`; returns its end.
  std::size_t emit_piece(std::size_t at);

  const Tokenizer& model_;
  EncodeMode mode_;
  bool filtered_;       // the model has filters
  bool needs_safe_cut_;  // one of them carries state across bytes
  std::string raw_;      // raw bytes after the last safe cut, not yet filtered
  std::string pending_;  // filtered bytes of the current document not yet in a unit
  std::uint64_t document_bytes_ = 0;  // filtered bytes of the current document so far
  Units out_;
};

}  // namespace tarvik::cli
