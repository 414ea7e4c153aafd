// The batch runner: windows of units on the worker pool, joined in order.
#include "encoder/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "common/worker_pool.h"

namespace tarvik {
namespace {

// A window closes once it holds this much input and enough units to keep
// every runner busy to its end; its ids are then joined and freed. At its
// end a runner waits for the slowest one's last group: with pieces of long
// texts (a group each) that wait is about half a piece per window, so a
// window holds 32 groups a runner (with 8, `tarvik encode` on 1 GB kept the
// two cores 1.78 busy; with 32, 1.81-1.82).
constexpr std::size_t kWindowBytes = std::size_t{64} << 10;
constexpr std::size_t kGroupsPerRunner = 32;
constexpr std::size_t kGroupBytes = std::size_t{4} << 10;
constexpr std::size_t kMaxWindowUnits = std::size_t{1} << 16;
constexpr auto kPollInterval = std::chrono::milliseconds(50);

struct Unit {
  std::size_t item;
  std::size_t begin;
  std::size_t end;
  bool last;  // the item's last unit: its boundary follows
};

// The first failed unit of a window, in input order.
struct Failure {
  std::mutex mutex;
  std::atomic<std::size_t> unit{std::numeric_limits<std::size_t>::max()};
  std::optional<Error> error;  // unset: out of memory

  void record(std::size_t k, std::optional<Error> what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (k >= unit.load(std::memory_order_relaxed)) return;
    error = std::move(what);
    unit.store(k, std::memory_order_relaxed);
  }
};

// Rate-limits the caller's check and remembers a stop.
class Poll {
 public:
  explicit Poll(const CancelCheck& cancel) : cancel_(cancel) {}
  // True once the check has asked to stop.
  bool operator()() {
    if (!cancel_ || stopped_) return stopped_;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kPollInterval) return false;
    last_ = now;
    stopped_ = cancel_();
    return stopped_;
  }
  bool stopped() const { return stopped_; }

 private:
  const CancelCheck& cancel_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  bool stopped_ = false;
};

}  // namespace

Status run_batch(const Encoder& encoder, BatchMode mode, std::span<const std::string_view> texts,
                 IdSink& out, std::span<std::uint64_t> offsets, const CancelCheck& cancel,
                 const std::function<void()>& meanwhile) {
  if (offsets.size() != texts.size() + 1) {
    return Error::internal("batch boundaries: " + std::to_string(offsets.size()) +
                           " slots for " + std::to_string(texts.size()) + " texts");
  }
  offsets[0] = 0;
  WorkerPool& pool = WorkerPool::shared();
  const std::size_t min_groups = kGroupsPerRunner * pool.size();
  const std::thread::id caller = std::this_thread::get_id();
  Poll poll(cancel);
  std::uint64_t total = 0;
  std::size_t input_bytes = 0;
  for (std::string_view text : texts) input_bytes += text.size();
  out.expect(input_bytes);

  // Runners take groups of consecutive units, so that the shared counter
  // and the result buffers are touched once per few KiB of input rather than
  // once per (often tiny) text; a group is at most about one runner's fair
  // share of the input, so a small batch still spreads over every runner.
  const std::size_t group_bytes =
      std::clamp<std::size_t>(input_bytes / (kGroupsPerRunner * pool.size()), 1, kGroupBytes);

  std::vector<Unit> units;
  std::vector<std::size_t> group_begin;  // first unit of each group, then units.size()
  std::vector<TokenIds> slots;           // the ids of each unit of the window
  std::size_t item = 0;
  std::size_t item_pos = 0;  // next byte of texts[item] to put in a unit
  for (bool first_window = true; item < texts.size(); first_window = false) {
    // Gather one window of units, cut into groups.
    units.clear();
    group_begin.clear();
    std::size_t window_bytes = 0;
    std::size_t open_group_bytes = group_bytes;  // forces a group at the first unit
    while (item < texts.size() && units.size() < kMaxWindowUnits &&
           (window_bytes < kWindowBytes || group_begin.size() < min_groups)) {
      const std::size_t n = texts[item].size();
      const bool split = mode.chunked && n > kParallelThreshold;
      const std::size_t end = split ? encoder.piece_end(texts[item], item_pos) : n;
      // A unit of a group's size or more (a piece of a long text) gets a
      // group of its own, so that no short texts wait behind it.
      if (open_group_bytes >= group_bytes || end - item_pos >= group_bytes) {
        group_begin.push_back(units.size());
        open_group_bytes = 0;
      }
      units.push_back({item, item_pos, end, end == n});
      window_bytes += end - item_pos;
      open_group_bytes += end - item_pos;
      if (end == n) {
        ++item;
        item_pos = 0;
      } else {
        item_pos = end;
      }
    }
    const std::size_t groups = group_begin.size();
    group_begin.push_back(units.size());

    slots.clear();
    slots.resize(units.size());
    std::atomic<bool> stop{false};
    Failure failure;
    // The caller's check runs on the calling thread only; every runner sees
    // its verdict through `stop`, between units and inside a long one.
    auto check_caller = [&] {
      if (std::this_thread::get_id() == caller && poll()) stop.store(true, std::memory_order_relaxed);
    };
    const CancelCheck unit_cancel = [&] {
      check_caller();
      return stop.load(std::memory_order_relaxed);
    };
    auto encode_group = [&](std::size_t g) {
      for (std::size_t k = group_begin[g]; k < group_begin[g + 1]; ++k) {
        check_caller();
        // Units after a failed one need not run: the earlier failure wins.
        if (stop.load(std::memory_order_relaxed) ||
            k > failure.unit.load(std::memory_order_relaxed)) {
          return;
        }
        const Unit& unit = units[k];
        try {
          const std::string_view text = texts[unit.item].substr(unit.begin, unit.end - unit.begin);
          Result<TokenIds> ids = (encoder.*mode.encode)(text, unit_cancel);
          if (!ids.ok()) {
            failure.record(k, std::move(ids).error());
            return;
          }
          slots[k] = std::move(ids).value();
        } catch (const std::bad_alloc&) {
          failure.record(k, std::nullopt);
          return;
        } catch (...) {
          failure.record(k, Error::internal("unexpected failure while encoding a batch item"));
          return;
        }
      }
    };
    if (meanwhile && first_window) {
      try {
        pool.run(groups, encode_group, check_caller, meanwhile);
      } catch (const ForkedDuringRun& forked) {
        return Error::internal(forked.what());
      }
    } else {
      pool.run(groups, encode_group, check_caller);
    }

    // Every unit before the first failure ran, so no earlier one failed.
    if (failure.unit.load() != std::numeric_limits<std::size_t>::max()) {
      if (!failure.error) throw std::bad_alloc();
      return std::move(*failure.error);
    }
    if (poll.stopped() || poll()) return Error::interrupted();
    for (std::size_t k = 0; k < units.size(); ++k) {
      TokenIds& ids = slots[k];
      if (!ids.empty()) {
        std::memcpy(out.extend(ids.size()), ids.data(), ids.size() * sizeof(TokenId));
        total += ids.size();
        TokenIds().swap(ids);
      }
      if (units[k].last) offsets[units[k].item + 1] = total;
    }
  }
  return {};
}

}  // namespace tarvik
