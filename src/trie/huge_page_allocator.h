// An allocator for the large read-mostly tables of the encoders (trie slots,
// bigram rows and filters) and their big working buffers.
//
// Encoding reads these tables at random, so with 4 KiB pages most lookups of a
// multi-megabyte table also miss the TLB. Blocks of at least 256 KiB
// are aligned to 2 MiB and advised for transparent huge pages, so the kernel
// backs them with 2 MiB pages where it allows that on request; smaller blocks
// come from operator new. The advice is only a hint: without huge pages the
// memory behaves as any other.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace tarvik {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
constexpr std::size_t kHugePageThreshold = std::size_t{256} << 10;

// Memory for `bytes` bytes; release with release_huge_page_memory(p, bytes).
inline void* allocate_huge_page_memory(std::size_t bytes) {
  if (bytes < kHugePageThreshold) return ::operator new(bytes);
  const std::size_t rounded = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  void* data = std::aligned_alloc(kHugePageBytes, rounded);
  if (data == nullptr) throw std::bad_alloc();
  madvise(data, rounded, MADV_HUGEPAGE);
  return data;
}

inline void release_huge_page_memory(void* data, std::size_t bytes) {
  if (data == nullptr) return;
  if (bytes < kHugePageThreshold) {
    ::operator delete(data);
  } else {
    std::free(data);
  }
}

template <class T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_huge_page_memory(count * sizeof(T)));
  }
  void deallocate(T* data, std::size_t count) { release_huge_page_memory(data, count * sizeof(T)); }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const {
    return true;
  }
};

}  // namespace tarvik
