// Encoding many texts on the worker pool, joined in input order.
//
// Work is cut into units: one per text, except that a text split by the
// chunked mode is cut into the same pieces (Encoder::piece_end) that
// encode_parallel cuts it into, so item i comes out exactly as encoding it
// alone would. Units are taken in windows of at least 64 KiB of input and 32
// groups a runner, a group being consecutive units of a few KiB (fewer bytes
// when the whole batch is small, so that every runner gets a share). Within
// a window the pool's runners take groups from its counter, and after it the
// calling thread appends the window's ids to the sink in input order and
// lets their memory go. So the working memory stays one window's ids
// whatever the batch size, and the sink sees every id once.
//
// Cancellation is polled on the calling thread only (it may run signal
// handlers), between units and windows, at most every ~50 ms; a stop makes
// every runner skip the units it has not started. A failing unit stops the
// units after it, and the first failure in input order is returned;
// std::bad_alloc in a runner is thrown again on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "common/result.h"
#include "encoder/encoder.h"
#include "tarvik/callbacks.h"
#include "tarvik/tokenizer.h"

namespace tarvik {

// One encoding mode of an Encoder, as a unit of a batch runs it.
struct BatchMode {
  Result<TokenIds> (Encoder::*encode)(std::string_view, const CancelCheck&) const;
  // Texts above kParallelThreshold are cut into pieces (Encoder::piece_end).
  bool chunked = false;
};

// Appends the ids of texts[0..] to `out` and writes texts.size() + 1
// boundaries (counted from the first appended id) to `offsets`. `meanwhile`,
// when set, is called at most once, on the calling thread, while the pool's
// threads encode the first window (see WorkerPool::run); it is not called
// for an empty batch.
Status run_batch(const Encoder& encoder, BatchMode mode, std::span<const std::string_view> texts,
                 IdSink& out, std::span<std::uint64_t> offsets, const CancelCheck& cancel,
                 const std::function<void()>& meanwhile = {});

}  // namespace tarvik
