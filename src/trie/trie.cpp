// Building the double-array byte trie.
//
// The tokens are sorted by their bytes (stable, so among equal byte strings
// the later table entry comes last), then the nodes are placed breadth first:
// each node's children are the distinct bytes at its depth over its range of
// the sorted order, and the node gets the first base at which all of those
// child slots are free.
#include "trie/trie.h"

#include <algorithm>
#include <cstring>
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
  auto ensure = [&](std::size_t size) {
    if (size >= kMaxSlots) return false;  // node indices must fit in 31 bits
    if (slots.size() < size) {
      const std::size_t grown = std::max(size, slots.size() + slots.size() / 2 + 1024);
      slots.resize(grown);
      used.resize(grown, false);
    }
    return true;
  };
  const auto too_large = [] {
    return Error::limit("vocabulary too large for the trie: it would need more than " +
                        std::to_string(kMaxSlots) + " slots");
  };
  ensure(257);
  used[kRoot] = true;
  slots[kRoot].check = kFreeCheck - 1;  // no parent, not terminal until a token says so
  std::size_t first_free = 1;
  std::size_t highest_used = 0;

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

    const unsigned first_byte = children.front().byte;
    std::size_t pos = std::max<std::size_t>(first_free, first_byte);
    std::size_t base = 0;
    for (;; ++pos) {
      if (!ensure(pos + 257)) return too_large();
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

  // Every base is at most highest_used, so base + 255 stays inside.
  slots.resize(highest_used + 257);
  slots.shrink_to_fit();
  return trie;
}

}  // namespace tarvik
