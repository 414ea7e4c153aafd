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
        "there); use the default mode or --document-per-line");
  return {};
}

Status DocumentCutter::end_document() {
  if (!raw_.empty()) {
    add_filtered(model_.apply_filters(raw_));
    raw_.clear();
  }
  emit(pending_, true);
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
  // Until a context-weighted document passes kWholeLimit it may still end up
  // one unit, so it is held; from then on, the library's encoding of the
  // whole document is fixed kChunk pieces from its start, and every complete
  // piece can go.
  if (mode_ != EncodeMode::kScored || document_bytes_ <= kWholeLimit) {
    pending_.append(bytes);
    return;
  }
  std::size_t used = 0;
  if (!pending_.empty()) {
    used = std::min(kChunk - pending_.size() % kChunk, bytes.size());
    pending_.append(bytes.substr(0, used));
    if (pending_.size() % kChunk != 0) return;
    for (std::size_t at = 0; at < pending_.size(); at += kChunk)
      emit(std::string_view(pending_).substr(at, kChunk), false);
    pending_.clear();
  }
  while (bytes.size() - used >= kChunk) {
    emit(bytes.substr(used, kChunk), false);
    used += kChunk;
  }
  pending_.assign(bytes.substr(used));
}

void DocumentCutter::emit(std::string_view bytes, bool ends_document) {
  out_.arena.append(bytes);
  out_.units.push_back({out_.arena.size(), ends_document});
}

}  // namespace tarvik::cli
