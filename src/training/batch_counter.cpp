// Counting text fed a piece at a time, in batches on the worker pool.
#include "training/batch_counter.h"

#include <algorithm>
#include <atomic>

#include "common/text.h"
#include "common/worker_pool.h"
#include "training/file_blocks.h"

namespace tarvik::training {
namespace {

// A runner polls between slices of this size; parts are at least kMinPart so
// that handing one out costs little next to counting it.
constexpr std::uint64_t kSliceBytes = std::uint64_t{4} << 20;
constexpr std::uint64_t kMinPart = std::uint64_t{1} << 20;

}  // namespace

BatchCounter::BatchCounter(std::uint64_t batch_bytes, std::uint64_t expected_bytes)
    : batch_bytes_(std::max<std::uint64_t>(batch_bytes, 1)),
      counters_(ChunkCounter::for_text_of(std::max<std::size_t>(1, WorkerPool::shared().size()),
                                          expected_bytes)) {}

void BatchCounter::feed(std::string_view block) {
  if (!in_text_) {
    in_text_ = true;
    open_start_ = buffer_.size();
    scanned_ = 0;
  }
  buffer_.append(block);
  fed_ += block.size();
}

void BatchCounter::finish_text() {
  if (!in_text_) return;
  if (buffer_.size() > open_start_) stretches_.emplace_back(open_start_, buffer_.size());
  in_text_ = false;
}

Status BatchCounter::count(const CancelCheck& cancel) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(buffer_.data());
  std::uint64_t keep = buffer_.size();  // start of the bytes carried into the next batch
  if (in_text_) {
    // The open text is counted up to its last whitespace byte; the chunk
    // that byte starts may go on in the next block. The bytes already known
    // to hold none are not searched again, so a chunk of gigabytes costs one
    // scan in all.
    std::uint64_t stop = open_start_ + scanned_;
    std::uint64_t last = buffer_.size();
    while (last > stop && !is_chunk_space(bytes[last - 1])) --last;
    if (last > stop && last - 1 > open_start_) {
      stretches_.emplace_back(open_start_, last - 1);
      keep = last - 1;
    } else {
      keep = open_start_;
    }
  }

  // Parts for the runners: long stretches cut just before whitespace bytes
  // (which leaves their chunks whole), short ones grouped.
  const std::size_t runners = counters_.size();
  std::uint64_t total = 0;
  for (const auto& [begin, end] : stretches_) total += end - begin;
  const std::uint64_t target = std::max(kMinPart, total / (runners * 4) + 1);
  std::vector<std::string_view> views;
  std::vector<std::size_t> parts{0};  // views[parts[k]..parts[k+1]) form part k
  std::uint64_t part_size = 0;
  for (auto [begin, end] : stretches_) {
    while (begin < end) {
      std::uint64_t cut = end;
      if (end - begin > target) {
        cut = begin + target;
        while (cut < end && !is_chunk_space(bytes[cut])) ++cut;
      }
      views.emplace_back(buffer_.data() + begin, cut - begin);
      part_size += cut - begin;
      if (part_size >= target) {
        parts.push_back(views.size());
        part_size = 0;
      }
      begin = cut;
    }
  }
  if (parts.back() != views.size()) parts.push_back(views.size());

  const std::size_t part_count = parts.size() - 1;
  std::atomic<std::size_t> next{0};
  PoolStop poll(cancel);
  WorkerPool::shared().run(
      std::min(runners, std::max<std::size_t>(part_count, 1)),
      [&](std::size_t runner) {
        ChunkCounter& counter = counters_[runner];
        for (;;) {
          const std::size_t part = next.fetch_add(1);
          if (part >= part_count || poll()) return;
          for (std::size_t v = parts[part]; v < parts[part + 1]; ++v) {
            std::string_view text = views[v];
            while (!text.empty()) {
              std::string_view slice = text.substr(0, kSliceBytes);
              counter.feed(slice);
              text.remove_prefix(slice.size());
              if (poll()) return;
            }
            counter.finish_text();
          }
        }
      },
      // Asked by the calling thread while it waits too.
      [&] { poll(); });
  if (poll.stopped()) return Error::interrupted();

  stretches_.clear();
  buffer_.erase(0, keep);
  if (in_text_) {
    // What is left is the open chunk, searched in full.
    open_start_ = 0;
    scanned_ = buffer_.size();
  }
  carried_ = buffer_.size();
  if (buffer_.capacity() > 2 * (batch_bytes_ + carried_)) buffer_.shrink_to_fit();
  return {};
}

Result<ChunkCounts> BatchCounter::finish(const CancelCheck& cancel) {
  finish_text();
  TARVIK_TRY(count(cancel));
  return ChunkCounter::merge(counters_);
}

Result<ChunkCounts> count_files(const std::vector<std::string>& paths, bool joined,
                                const CountingObserver& observe, const CancelCheck& cancel) {
  // Regular files are opened again when their turn comes, so that thousands
  // of them need not be open at once; anything else stays open from the
  // check, since a pipe's data goes to the reader that opened it first.
  CountingProgress progress{0, std::uint64_t{0}, false};
  std::vector<std::optional<BlockReader>> kept(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    Result<BlockReader> reader = BlockReader::open(paths[i], BlockReader::kDefaultBlock, cancel);
    if (!reader.ok()) return std::move(reader).error();
    if (progress.total && reader->is_regular()) {
      *progress.total += reader->size();
    } else {
      progress.total.reset();
    }
    if (!reader->is_regular()) kept[i].emplace(std::move(reader).value());
  }
  auto report = [&]() -> Status { return observe ? observe(progress) : Status{}; };
  TARVIK_TRY(report());
  BatchCounter counter(BatchCounter::kDefaultBatch, progress.total.value_or(0));
  for (std::size_t i = 0; i < paths.size(); ++i) {
    Result<BlockReader> reader =
        kept[i] ? Result<BlockReader>(std::move(*kept[i]))
                : BlockReader::open(paths[i], BlockReader::kDefaultBlock, cancel);
    kept[i].reset();
    if (!reader.ok()) return std::move(reader).error();
    for (;;) {
      Result<std::string_view> block = reader->next(cancel);
      if (!block.ok()) return std::move(block).error();
      if (block->empty()) break;
      counter.feed(*block);
      if (counter.full()) {
        TARVIK_TRY(counter.count(cancel));
      } else if (cancel && cancel()) {
        return Error::interrupted();
      }
      progress.done = counter.bytes_fed();
      TARVIK_TRY(report());
    }
    if (!joined) counter.finish_text();
  }
  if (joined) counter.finish_text();
  Result<ChunkCounts> counts = counter.finish(cancel);
  if (!counts.ok()) return counts;
  progress.finished = true;
  TARVIK_TRY(report());
  return counts;
}

}  // namespace tarvik::training
