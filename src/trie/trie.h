// The byte trie over every token of a vocabulary.
//
// Semantics: one node per distinct non-empty prefix of the token byte strings
// plus the root. A node is terminal when some token's bytes end there; when
// several tokens share the same bytes, the one that comes later in the token
// table is the one reported. A token's own id field is reported, not its
// position. A token with empty bytes would end at the root, which no walk
// reports, so such a token is never produced.
//
// Layout: a double array. Node x's child for byte b lives in slot
// base(x) + b and is valid only when that slot's check equals x, so one step
// of a walk is one indexed read plus one compare, with no hashing or
// searching. Slots are 12 bytes (base; check with the terminal flag in its
// low bit; terminal id), so a trained vocabulary of a few thousand tokens fits
// in the second-level cache instead of the megabytes of one 257-entry row per
// node. Nodes are placed breadth first, keeping the hot upper levels next to
// each other. The terminal flag is stored apart from the id, so every 32-bit
// id (4294967295 included) is representable.
//
// The slot array is padded so that base + 255 of every node stays inside it:
// a walk can never read outside the array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/mapped_memory.h"
#include "common/result.h"
#include "vocab/vocab.h"

namespace tarvik {

class Trie {
 public:
  using NodeIndex = std::uint32_t;
  static constexpr NodeIndex kRoot = 0;

  // Builds the trie over `tokens` in table order. Keeps no reference to the
  // table. A vocabulary whose trie would need more than kMaxSlots slots (node
  // indices are 31 bits) is a kLimit error; std::bad_alloc means memory ran out.
  static Result<Trie> build(std::span<const Token> tokens);

  // The longest token in bytes (the first token's length is the starting
  // point, so empty tokens count as 0), or 1 for an empty table.
  std::size_t max_token_len() const { return max_token_len_; }
  // Distinct non-empty prefixes of the token byte strings, plus the root.
  std::size_t node_count() const { return node_count_; }
  // Bytes held by the slot array.
  std::size_t memory_bytes() const { return slots_.size() * sizeof(Slot); }

  std::optional<NodeIndex> child(NodeIndex node, unsigned char byte) const {
    const NodeIndex next = slots_[node].base + byte;
    if ((slots_[next].check >> 1) != node) return std::nullopt;
    return next;
  }
  std::optional<TokenId> terminal(NodeIndex node) const {
    if (!(slots_[node].check & 1)) return std::nullopt;
    return slots_[node].term;
  }

  // Reports, in order of increasing length, every token whose bytes equal
  // [begin, e) for some e <= limit, as report(id, e). Returns false when the
  // very first step from the root fails (no token starts with *begin), true
  // otherwise. Requires begin < limit.
  template <class Report>
  bool walk(const unsigned char* begin, const unsigned char* limit, Report&& report) const {
    const Slot* slots = slots_.data();
    NodeIndex node = kRoot;
    const unsigned char* q = begin;
    do {
      const NodeIndex next = slots[node].base + *q;
      const std::uint32_t check = slots[next].check;
      if ((check >> 1) != node) return q != begin;
      node = next;
      ++q;
      if (check & 1) report(slots[node].term, q);
    } while (q < limit);
    return true;
  }

  // The end of the longest token that matches at `begin` (up to limit), and
  // its id; found is false when none does. Requires begin < limit.
  struct Longest {
    const unsigned char* end;
    TokenId id;
    bool found;
  };
  Longest longest(const unsigned char* begin, const unsigned char* limit) const {
    const Slot* slots = slots_.data();
    NodeIndex node = kRoot;
    const unsigned char* end = begin;
    TokenId id = 0;
    for (const unsigned char* q = begin; q < limit;) {
      const NodeIndex next = slots[node].base + *q;
      const std::uint32_t check = slots[next].check;
      if ((check >> 1) != node) break;
      node = next;
      ++q;
      if (check & 1) {
        end = q;
        id = slots[node].term;
      }
    }
    return {end, id, end != begin};
  }

 private:
  // A slot's check holds (parent node << 1) | terminal flag; a free slot's
  // is all ones, whose parent part no node index reaches.
  static constexpr std::uint32_t kFreeCheck = 0xFFFFFFFFu;
  static constexpr std::size_t kMaxSlots = 0x7FFFFFFFu;

  Trie() = default;  // only build() makes one: every trie has its padded root

  struct Slot {
    NodeIndex base = 0;
    std::uint32_t check = kFreeCheck;
    TokenId term = 0;
  };

  std::vector<Slot, HugePageAllocator<Slot>> slots_;
  std::size_t max_token_len_ = 1;
  std::size_t node_count_ = 1;
};

}  // namespace tarvik
