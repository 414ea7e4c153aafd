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
// of its own with no parent. A walk that finds no child of x compares the
// input with the label at once and goes on from y. Nothing ends inside a
// chain, so walking it whole reports exactly what stepping through it would.
// Without chains a token of n bytes costs n slots and every walk over it n
// dependent reads; with them a long token costs about its own bytes, and a
// walk one memcmp.
//
// The slot array is padded so that base + 255 of every node stays inside it:
// a walk can never read outside the array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "common/result.h"
#include "trie/huge_page_allocator.h"
#include "vocab/vocab.h"

namespace tarvik {

class Trie {
 public:
  using NodeIndex = std::uint32_t;
  static constexpr NodeIndex kRoot = 0;

  // Runs of single-child, non-terminal nodes at least this long become
  // chains. Shorter runs stay in the double array, where a step costs less
  // than a call to memcmp; ordinary vocabularies have almost none this long.
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
    const Slot* slots = slots_.data();
    NodeIndex node = kRoot;
    const unsigned char* q = begin;
    do {
      const NodeIndex next = slots[node].base + *q;
      std::uint32_t check = slots[next].check;
      if ((check >> 1) == node) {
        node = next;
        ++q;
      } else {
        // A chain starts only below the root, so q != begin whenever one is taken.
        if (!follow_chain(node, q, limit)) return q != begin;
        check = slots[node].check;
      }
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
      std::uint32_t check = slots[next].check;
      if ((check >> 1) == node) {
        node = next;
        ++q;
      } else {
        if (!follow_chain(node, q, limit)) break;
        check = slots[node].check;
      }
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
    TokenId term = 0;  // the token id when terminal; else 1 + chain index, or 0
  };
  // The bytes of a run below its first node (pool_[offset, offset + length))
  // and the node reached after them.
  struct Chain {
    std::size_t offset;
    std::size_t length;
    NodeIndex target;
  };

  // Called when `node` has no child for *q. If node starts a chain whose
  // label equals the input from q and ends by `limit`, moves node to the
  // chain's end and q past the label and returns true; otherwise the walk is
  // over (a partial match reports nothing, as no token ends inside a chain).
  bool follow_chain(NodeIndex& node, const unsigned char*& q, const unsigned char* limit) const {
    const Slot& here = slots_[node];
    if ((here.check & 1) || here.term == 0) [[likely]] return false;
    const Chain& chain = chains_[here.term - 1];
    if (static_cast<std::size_t>(limit - q) < chain.length) return false;
    if (std::memcmp(q, pool_.data() + chain.offset, chain.length) != 0) return false;
    q += chain.length;
    node = chain.target;
    return true;
  }

  std::vector<Slot, HugePageAllocator<Slot>> slots_;
  std::vector<Chain> chains_;
  std::vector<unsigned char, HugePageAllocator<unsigned char>> pool_;
  std::size_t max_token_len_ = 1;
  std::size_t node_count_ = 1;
};

}  // namespace tarvik
