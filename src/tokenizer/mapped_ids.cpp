// MappedIds: the growable id array of batch encodings, on a MappedMemory.
#include "common/mapped_memory.h"
#include "tarvik/tokenizer.h"

#include <algorithm>

namespace tarvik {

struct MappedIds::Memory {
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
  if (needed > memory.mapping.bytes()) {
    // Doubling keeps the remaps few; pages past the end are never touched,
    // so they cost address space only.
    memory.mapping.resize(std::max(needed, 2 * memory.mapping.bytes()));
  }
  memory.size = size + count;
  return static_cast<TokenId*>(memory.mapping.data()) + size;
}

TokenId* MappedIds::data() const {
  return static_cast<TokenId*>(memory_->mapping.data());
}

std::size_t MappedIds::size() const {
  return memory_->size;
}

}  // namespace tarvik
