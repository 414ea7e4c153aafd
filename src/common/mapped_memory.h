// Memory taken straight from the system: anonymous mappings and huge pages.
//
// Two kinds of user meet here. Buffers that grow while they are filled (the
// model file's text, training's big arrays) live in a MappedMemory: growing
// remaps the pages instead of copying into a second block, so there is never
// a moment with both the old and the new block resident, and releasing hands
// the pages straight back. Tables read at random (the encoders' trie slots and
// pair rows) come from HugePageAllocator, heap blocks aligned and advised for
// huge pages so that lookups in a multi-megabyte table stop missing the TLB.
//
// Huge pages are only advice: without transparent huge-page support the
// memory behaves like any other. Failing to get memory throws std::bad_alloc,
// as any allocation does; it means the machine is out of memory and nothing
// else.
#pragma once

#include <cstddef>
#include <new>

namespace tarvik {

inline constexpr std::size_t kPageBytes = 4096;
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Advises the whole huge-page-aligned part of [data, data + bytes) for
// transparent huge pages; parts smaller than one huge page get no advice.
void advise_huge_pages(void* data, std::size_t bytes);

// One private anonymous mapping that can grow and shrink in place or move.
// Its length is always a whole number of pages (of huge pages for a kHuge
// mapping of at least one huge page, which also starts on a huge-page
// boundary when first made and is advised for huge pages). New memory is zero
// when first mapped; nothing is ever zero-filled by this class.
class MappedMemory {
 public:
  enum class Pages : unsigned char { kSmall, kHuge };

  explicit MappedMemory(Pages pages = Pages::kSmall) : pages_(pages) {}
  MappedMemory(MappedMemory&& other) noexcept;
  MappedMemory& operator=(MappedMemory&& other) noexcept;
  MappedMemory(const MappedMemory&) = delete;
  MappedMemory& operator=(const MappedMemory&) = delete;
  ~MappedMemory() { release(); }

  void* data() const { return data_; }
  std::size_t bytes() const { return bytes_; }

  // The length a mapping of at least `bytes` bytes gets.
  std::size_t rounded(std::size_t bytes) const;

  // Makes the mapping rounded(bytes) long, keeping the contents up to the
  // shorter length; 0 releases it. The data may move. Throws std::bad_alloc.
  void resize(std::size_t bytes);

  // Gives the whole pages of [offset, offset + bytes) back to the system,
  // keeping the mapping: they read as zero afterwards. Only advice.
  void discard(std::size_t offset, std::size_t bytes);

  // Makes the pages of [offset, offset + bytes) resident and writable, as a
  // write would, keeping what they hold. Only advice, ignored by systems
  // that cannot do it.
  void populate(std::size_t offset, std::size_t bytes);

  // Unmaps everything; bytes() becomes 0.
  void release();

 private:
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
  Pages pages_;
};

// Heap blocks for the encoders' tables: blocks of at least
// kHugePageThreshold bytes are aligned to a huge page and advised for huge
// pages; smaller ones come from operator new. Release with
// release_huge_page_memory(p, bytes), passing the size allocated.
inline constexpr std::size_t kHugePageThreshold = std::size_t{256} << 10;

void* allocate_huge_page_memory(std::size_t bytes);
void release_huge_page_memory(void* data, std::size_t bytes);

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
