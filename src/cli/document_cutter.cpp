// Cuts streamed documents into independently encodable units.
#include "cli/document_cutter.h"

#include <algorithm>
#include <utility>

namespace tarvik::cli {
namespace {

// normalize_whitespace folds a run of whitespace into one space, so it
// remembers whether the previous byte was whitespace; the other filters map
// each byte on its own. After a line feed or a byte above 0x20 (which no
// filter removes or turns into whitespace) that memory is clear at every
// filter in the chain, so the raw text may be cut there.
bool safe_to_cut_after(char byte) {
  const auto b = static_cast<unsigned char>(byte);
  return b == '\n' || b > 0x20;
}

}  // namespace

DocumentCutter::DocumentCutter(const Tokenizer& model, EncodeMode mode)
    : model_(model), mode_(mode), filtered_(model.has_filters()) {
  const std::vector<std::string> names = model.filter_names();
  needs_safe_cut_ = std::find(names.begin(), names.end(), "normalize_whitespace") != names.end();
}

Status DocumentCutter::feed(std::string_view raw) {
  if (!filtered_) {
    add_filtered(raw);
  } else {
    std::size_t cut = raw.size();
    if (needs_safe_cut_)
      while (cut > 0 && !safe_to_cut_after(raw[cut - 1])) --cut;
    if (cut == 0) {
      raw_.append(raw);
    } else {
      raw_.append(raw.substr(0, cut));
      add_filtered(model_.apply_filters(raw_));
      raw_.assign(raw.substr(cut));
    }
  }
  if (mode_ != EncodeMode::kScored && document_bytes_ + raw_.size() > kSingleUnitLimit)
    return Error::invalid_argument(
        "a document longer than " + std::to_string(kSingleUnitLimit >> 20) +
        " MiB cannot be encoded in greedy or dense mode (the whole document is one unit "
        "there); use the default mode, or shorter documents (with --document-per-line a "
        "document is a line)");
  return {};
}

Status DocumentCutter::end_document() {
  if (!raw_.empty()) {
    add_filtered(model_.apply_filters(raw_));
    raw_.clear();
  }
  std::size_t at = 0;
  if (mode_ == EncodeMode::kScored && document_bytes_ > kWholeLimit) {
    while (pending_.size() - at > kChunk) at = emit_piece(at);
  }
  emit(std::string_view(pending_).substr(at), true);
  pending_.clear();
  document_bytes_ = 0;
  return {};
}

Units DocumentCutter::take() {
  Units taken = std::move(out_);
  out_ = Units{};
  return taken;
}

void DocumentCutter::add_filtered(std::string_view bytes) {
  document_bytes_ += bytes.size();
  pending_.append(bytes);
  // Until a context-weighted document passes kWholeLimit it may still end up
  // one unit, so it is held; from then on, the library cuts the whole
  // document into pieces from its start (Tokenizer::piece_end), and a piece
  // can go once the bytes that decide where it ends are here.
  if (mode_ != EncodeMode::kScored || document_bytes_ <= kWholeLimit) return;
  const std::size_t settled = kChunk + model_.piece_lookahead();
  std::size_t at = 0;
  while (pending_.size() - at > settled) at = emit_piece(at);
  pending_.erase(0, at);
}

std::size_t DocumentCutter::emit_piece(std::size_t at) {
  const std::string_view rest = std::string_view(pending_).substr(at);
  const std::size_t end = model_.piece_end(rest, 0);
  emit(rest.substr(0, end), false);
  return at + end;
}

void DocumentCutter::emit(std::string_view bytes, bool ends_document) {
  out_.arena.append(bytes);
  out_.units.push_back({out_.arena.size(), ends_document});
}

}  // namespace tarvik::cli
