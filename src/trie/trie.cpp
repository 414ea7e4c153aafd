// Building the double-array byte trie.
//
// The tokens are sorted by their bytes (stable, so among equal byte strings
// the later table entry comes last), then the nodes are placed breadth first:
// each node's children are the distinct bytes at its depth over its range of
// the sorted order, and the node gets the first base at which all of those
// child slots are free. A node with one child and no token ending at it
// whose tokens share at least kMinChain more bytes becomes a chain instead:
// the shared bytes go to the pool and the node where they end is placed in the
// first free slot, parentless, and queued like any other.
#include "trie/trie.h"

#include <algorithm>
#include <deque>
#include <numeric>
#include <string>
#include <string_view>

namespace tarvik {
namespace {

struct Pending {
  Trie::NodeIndex node;
  std::size_t depth;
  std::size_t lo;
  std::size_t hi;
};

struct ChildRange {
  unsigned char byte;
  std::size_t lo;
  std::size_t hi;
};

}  // namespace

Result<Trie> Trie::build(std::span<const Token> tokens) {
  Trie trie;
  trie.max_token_len_ = 1;
  if (!tokens.empty()) {
    std::size_t longest = tokens[0].bytes.size();
    for (const Token& token : tokens) longest = std::max(longest, token.bytes.size());
    trie.max_token_len_ = longest;
  }

  std::vector<std::size_t> order(tokens.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::string_view(tokens[a].bytes) < std::string_view(tokens[b].bytes);
  });
  auto bytes_of = [&](std::size_t i) -> const std::string& { return tokens[order[i]].bytes; };

  // Slot 0 is the root. Every slot up to `used.size()` exists; the array is
  // grown in steps and trimmed at the end.
  auto& slots = trie.slots_;
  std::vector<bool> used;
  // False when `size` slots would need node indices beyond 31 bits.
  auto ensure = [&](std::size_t size) {
    if (size >= kMaxSlots) return false;
    if (slots.size() < size) {
      const std::size_t grown =
          std::min(kMaxSlots, std::max(size, slots.size() + slots.size() / 2 + 1024));
      slots.resize(grown);
      used.resize(grown, false);
    }
    return true;
  };
  const auto too_many = [] {
    return Error::limit("vocabulary too large for the trie: it would need more than " +
                        std::to_string(kMaxSlots) + " slots");
  };
  if (!ensure(257)) return too_many();
  used[kRoot] = true;
  slots[kRoot].check = kFreeCheck - 1;  // no parent, not terminal until a token says so
  std::size_t first_free = 1;
  std::size_t highest_used = 0;

  std::vector<NodeIndex> chain_heads;
  std::deque<Pending> queue;
  queue.push_back({kRoot, 0, 0, order.size()});
  std::vector<ChildRange> children;
  while (!queue.empty()) {
    const Pending item = queue.front();
    queue.pop_front();
    std::size_t i = item.lo;
    // The tokens that end exactly here sort first; the last of them is the
    // latest in table order.
    while (i < item.hi && bytes_of(i).size() == item.depth) {
      slots[item.node].term = tokens[order[i]].id;
      slots[item.node].check |= 1;
      ++i;
    }
    children.clear();
    while (i < item.hi) {
      const unsigned char byte = static_cast<unsigned char>(bytes_of(i)[item.depth]);
      const std::size_t lo = i;
      while (i < item.hi && static_cast<unsigned char>(bytes_of(i)[item.depth]) == byte) ++i;
      children.push_back({byte, lo, i});
    }
    if (children.empty()) continue;  // a leaf keeps base 0; its checks never match

    if (children.size() == 1 && children[0].lo == item.lo && item.node != kRoot) {
      // Every token here shares the bytes up to the first and last tokens'
      // common prefix, and none ends before it (it would sort first and be
      // shorter than that prefix), so the nodes down to it form one run.
      const std::string& first = bytes_of(item.lo);
      const std::string& last = bytes_of(item.hi - 1);
      std::size_t end = item.depth + 1;
      const std::size_t common = std::min(first.size(), last.size());
      while (end < common && first[end] == last[end]) ++end;
      if (end - item.depth >= kMinChain) {
        const std::size_t pos = first_free;
        if (!ensure(pos + 257)) return too_many();
        const NodeIndex target = static_cast<NodeIndex>(pos);
        used[pos] = true;
        slots[pos].check = kFreeCheck - 1;  // parentless: no double-array step reaches it
        highest_used = std::max(highest_used, pos);
        while (first_free < used.size() && used[first_free]) ++first_free;

        const std::size_t length = end - item.depth;
        trie.chains_.push_back({trie.pool_.size(), length, target});
        trie.pool_.insert(trie.pool_.end(), first.begin() + item.depth, first.begin() + end);
        slots[item.node].term = static_cast<TokenId>(trie.chains_.size());
        chain_heads.push_back(item.node);
        trie.node_count_ += length;
        queue.push_back({target, end, item.lo, item.hi});
        continue;
      }
    }

    const unsigned first_byte = children.front().byte;
    std::size_t pos = std::max<std::size_t>(first_free, first_byte);
    std::size_t base = 0;
    for (;; ++pos) {
      if (!ensure(pos + 257)) return too_many();
      if (used[pos]) continue;
      base = pos - first_byte;
      bool fits = true;
      for (const ChildRange& child : children) {
        if (used[base + child.byte]) {
          fits = false;
          break;
        }
      }
      if (fits) break;
    }
    slots[item.node].base = static_cast<NodeIndex>(base);
    for (const ChildRange& child : children) {
      const std::size_t slot = base + child.byte;
      used[slot] = true;
      slots[slot].check = item.node << 1;
      highest_used = std::max(highest_used, slot);
      queue.push_back({static_cast<NodeIndex>(slot), item.depth + 1, child.lo, child.hi});
    }
    trie.node_count_ += children.size();
    while (first_free < used.size() && used[first_free]) ++first_free;
  }

  // Every base is at most highest_used, so base + 255 stays inside. The
  // padding after highest_used is free, so chain heads may point there.
  slots.resize(highest_used + 257);
  slots.shrink_to_fit();
  if (!chain_heads.empty()) {
    const std::size_t trap = highest_used + 1;
    for (std::size_t b = 0; b < 256; ++b) slots[trap + b].check = kTrapCheck;
    for (const NodeIndex head : chain_heads) slots[head].base = static_cast<NodeIndex>(trap);
  }
  trie.pool_.shrink_to_fit();
  return trie;
}

}  // namespace tarvik
