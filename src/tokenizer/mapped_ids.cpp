// MappedIds: the growable id array of batch encodings, on a MappedMemory.
#include "common/mapped_memory.h"
#include "tarvik/tokenizer.h"

#include <algorithm>
#include <new>
#include <vector>

namespace tarvik {

// Small results live on the heap: a mapping costs a page (and two system
// calls) however few ids it holds, which a caller keeping many short arrays
// would pay many times over. Past kHeapBytes the ids move, once, to a mapping
// that then grows by remapping instead of copying.
constexpr std::size_t kHeapBytes = std::size_t{256} << 10;

struct MappedIds::Memory {
  std::vector<TokenId> heap;
  MappedMemory mapping;
  std::size_t size = 0;
};

MappedIds::MappedIds() : memory_(std::make_unique<Memory>()) {}
MappedIds::MappedIds(MappedIds&&) noexcept = default;
MappedIds& MappedIds::operator=(MappedIds&&) noexcept = default;
MappedIds::~MappedIds() = default;

TokenId* MappedIds::extend(std::size_t count) {
  Memory& memory = *memory_;
  const std::size_t size = memory.size;
  if (count > (static_cast<std::size_t>(-1) / sizeof(TokenId)) - size) throw std::bad_alloc();
  const std::size_t needed = (size + count) * sizeof(TokenId);
  if (memory.mapping.data() == nullptr && needed <= kHeapBytes) {
    memory.heap.resize(size + count);
    memory.size = size + count;
    return memory.heap.data() + size;
  }
  if (needed > memory.mapping.bytes()) {
    // Doubling keeps the remaps few; pages past the end are never touched,
    // so they cost address space only.
    memory.mapping.resize(std::max({needed, 2 * memory.mapping.bytes(), 2 * kHeapBytes}));
  }
  if (!memory.heap.empty()) {
    std::copy(memory.heap.begin(), memory.heap.end(), static_cast<TokenId*>(memory.mapping.data()));
    std::vector<TokenId>().swap(memory.heap);
  }
  memory.size = size + count;
  return static_cast<TokenId*>(memory.mapping.data()) + size;
}

void MappedIds::expect(std::size_t most) {
  Memory& memory = *memory_;
  if (memory.size != 0 || memory.mapping.data() != nullptr) return;
  if (most > kHeapBytes / sizeof(TokenId)) {
    if (most > static_cast<std::size_t>(-1) / sizeof(TokenId)) return;
    try {
      memory.mapping.resize(most * sizeof(TokenId));
    } catch (const std::bad_alloc&) {
      // Only a hint: without the room, extend() grows the array as usual.
    }
  } else {
    memory.heap.reserve(most);
  }
}

TokenId* MappedIds::data() const {
  if (memory_->mapping.data() != nullptr) return static_cast<TokenId*>(memory_->mapping.data());
  return memory_->heap.empty() ? nullptr : memory_->heap.data();
}

std::size_t MappedIds::size() const {
  return memory_->size;
}

}  // namespace tarvik
