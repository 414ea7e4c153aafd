// The Tokenizer facade (declared in the public tarvik/tokenizer.h) and its
// internal state: one shared, immutable compiled model plus the filters.
//
// The model is never changed in place: add_special_token and prune build a
// new Encoder and swap the pointer, so a copy of the Tokenizer, or a worker
// still encoding with the old model, keeps reading the one it holds.
#pragma once

#include <memory>
#include <vector>

#include "corpus/filters.h"
#include "encoder/encoder.h"
#include "tarvik/tokenizer.h"

namespace tarvik {

struct Tokenizer::State {
  // Never changed while shared. Not const only so that a model that no other
  // Tokenizer holds can hand its tables on to its successor.
  std::shared_ptr<Encoder> model;
  std::vector<Filter> filters;
};

}  // namespace tarvik
