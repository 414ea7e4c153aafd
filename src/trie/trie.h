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
// Chains: a run of at least kMinChain nodes below the root that each have one
// child and no token ending at them is not stored node by node. Its first
// node x keeps a slot (with no children in the double array) whose unused
// terminal id holds 1 + the index of a chain record: the run's bytes (a label
// in a shared byte pool) and the node y where the run ends, which gets a slot
// of its own with no parent. x's base points into a trap (see kTrapCheck), so
// a walk that finds no child of x learns it from the check it already read,
// compares the input with the label 16 bytes at a time and goes on from y.
// Nothing ends inside a chain, so walking it whole reports exactly what
// stepping through it would. Without chains a token of n bytes costs n slots
// and every walk over it n dependent reads; with them a long token costs
// about its own bytes, and a walk over it one pass of independent compares.
//
// The slot array is padded so that base + 255 of every node stays inside it:
// a walk can never read outside the array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

  // Runs of single-child, non-terminal nodes at least this long become
  // chains. Shorter runs stay in the double array, whose steps are cheap
  // enough there; a trained vocabulary of thousands of tokens has a few
  // hundred runs this long (runs of spaces, rules of '=').
  static constexpr std::size_t kMinChain = 16;

  // Builds the trie over `tokens` in table order. Keeps no reference to the
  // table. A trie needing more slots than node indices can address is a
  // limit error; only running out of memory throws (std::bad_alloc).
  static Result<Trie> build(std::span<const Token> tokens);

  // The longest token in bytes (the first token's length is the starting
  // point, so empty tokens count as 0), or 1 for an empty table.
  std::size_t max_token_len() const { return max_token_len_; }
  // Distinct non-empty prefixes of the token byte strings, plus the root
  // (the nodes inside chains included).
  std::size_t node_count() const { return node_count_; }
  // Nodes stored in the slot array and runs stored as chains.
  std::size_t slot_count() const { return slots_.size(); }
  std::size_t chain_count() const { return chains_.size(); }
  // Bytes held by the slot array, the chain records and their labels.
  std::size_t memory_bytes() const {
    return slots_.size() * sizeof(Slot) + chains_.size() * sizeof(Chain) + pool_.size();
  }

  // Reports, in order of increasing length, every token whose bytes equal
  // [begin, e) for some e <= limit, as report(id, e). Returns false when the
  // very first step from the root fails (no token starts with *begin), true
  // otherwise. Requires begin < limit.
  template <class Report>
  bool walk(const unsigned char* begin, const unsigned char* limit, Report&& report) const {
    return walk_from(kRoot, begin, begin, limit, report);
  }

  // The end of the longest token that matches at `begin` (up to limit), and
  // its id; found is false when none does. Requires begin < limit.
  //
  // Measured on the greedy mode (8192-token model, heldout/mixed.txt, one
  // thread, builds alternated): keeping the last token seen by masks instead
  // of the branch on the terminal flag was slower (8.3-8.5x tiktoken against
  // 8.5-9.6x), and even a walk that tracks no token at all (wrong answers,
  // as a bound) was only about 7 % faster: the walk's own dependent steps
  // and its exit are what cost. Taking the first two, three or four steps
  // without branches (a failed step moves to a node without children) and
  // branching once after them did not help either: two were as fast, three
  // 3 % and four 7 % slower.
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
      if ((check >> 1) != node) {
        if (check != kTrapCheck) [[likely]] break;
        return longest_on(node, q, limit, {end, id, end != begin});
      }
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
  // The checks of the 256 slots at the end of the array (its padding) when
  // the trie has chains. Every chain's first node has its base there, so a
  // walk that leaves the double array at such a node sees this value without
  // reading anything more, and every other exit costs one compare. Other
  // nodes' missing children can land there too, so the node is confirmed
  // before its chain is taken. The parent part is no node index.
  static constexpr std::uint32_t kTrapCheck = 0xFFFFFFFDu;
  static constexpr std::size_t kMaxSlots = 0x7FFFFFFFu;

  Trie() = default;  // only build() makes one: every trie has its padded root

  struct Slot {
    NodeIndex base = 0;
    std::uint32_t check = kFreeCheck;
    TokenId term = 0;  // the token id when terminal; else 1 + chain index, or 0
  };
  // The bytes of a run below its first node (pool_[offset, offset + length))
  // and the node reached after them.
  struct Chain {
    std::size_t offset;
    std::size_t length;
    NodeIndex target;
  };

  // Where a walk goes on when `node` has no child for *q and the failed
  // step read kTrapCheck: if node starts a chain whose label equals the input
  // from q and ends by `limit`, the chain's end node and the input just past
  // the label; otherwise end is null and the walk is over (a partial match
  // reports nothing, as no token ends inside a chain). The trap also catches
  // missing children of other nodes whose base lies near the end of the
  // array; only a chain's first node names a chain.
  struct Jump {
    const unsigned char* end;
    NodeIndex node;
  };
  [[gnu::always_inline]] Jump follow_chain(NodeIndex node, const unsigned char* q,
                                           const unsigned char* limit) const {
    const Slot& here = slots_[node];
    if ((here.check & 1) || here.term == 0) return {nullptr, node};
    const Chain& chain = chains_[here.term - 1];
    if (static_cast<std::size_t>(limit - q) < chain.length) return {nullptr, node};
    if (!same_label(q, pool_.data() + chain.offset, chain.length)) return {nullptr, node};
    return {q + chain.length, chain.target};
  }

  // walk() from `node`, which the input up to q has reached (q < limit).
  template <class Report>
  bool walk_from(NodeIndex node, const unsigned char* begin, const unsigned char* q,
                 const unsigned char* limit, Report& report) const {
    const Slot* slots = slots_.data();
    do {
      NodeIndex next = slots[node].base + *q;
      std::uint32_t check = slots[next].check;
      if ((check >> 1) != node) {
        if (check != kTrapCheck) [[likely]] return q != begin;
        const Jump jump = follow_chain(node, q, limit);
        // The root's missing children can land in the trap too: q == begin.
        if (jump.end == nullptr) return q != begin;
        next = jump.node;
        q = jump.end - 1;
        check = slots[next].check;
      }
      node = next;
      ++q;
      if (check & 1) report(slots[node].term, q);
    } while (q < limit);
    return true;
  }

  // The rest of longest() from a step that read kTrapCheck. Out of line and
  // called last, so that nothing of the ordinary steps lives across it and
  // they keep their registers.
  [[gnu::noinline]] Longest longest_on(NodeIndex node, const unsigned char* q,
                                       const unsigned char* limit, Longest found) const {
    auto keep = [&](TokenId id, const unsigned char* end) { found = {end, id, true}; };
    walk_from(node, q, q, limit, keep);
    return found;
  }

  // Whether a[0, n) == b[0, n), for n >= 16, 16 bytes at a time (the last
  // block overlapping). Written out rather than a call to memcmp: a call in
  // the walk would take the registers that its ordinary steps live in.
  [[gnu::always_inline]] static bool same_label(const unsigned char* a, const unsigned char* b,
                                                std::size_t n) {
    auto differs = [](const unsigned char* x, const unsigned char* y) {
      std::uint64_t x0, x1, y0, y1;
      std::memcpy(&x0, x, 8);
      std::memcpy(&x1, x + 8, 8);
      std::memcpy(&y0, y, 8);
      std::memcpy(&y1, y + 8, 8);
      return ((x0 ^ y0) | (x1 ^ y1)) != 0;
    };
    for (std::size_t i = 0; i + 16 < n; i += 16) {
      if (differs(a + i, b + i)) return false;
    }
    return !differs(a + n - 16, b + n - 16);
  }
  static_assert(kMinChain >= 16, "same_label reads 16 bytes at a time");

  std::vector<Slot, HugePageAllocator<Slot>> slots_;
  std::vector<Chain> chains_;
  std::vector<unsigned char, HugePageAllocator<unsigned char>> pool_;
  std::size_t max_token_len_ = 1;
  std::size_t node_count_ = 1;
};

}  // namespace tarvik
