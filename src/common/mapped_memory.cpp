// Anonymous mappings that grow by mremap, and huge-page-advised heap blocks.
#include "common/mapped_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#define TARVIK_COPY_ON_REMAP 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARVIK_COPY_ON_REMAP 1
#endif
#endif

namespace tarvik {
namespace {

// ThreadSanitizer does not see mremap: pages it moves would keep the access
// history of whatever was mapped at their new address before (a finished
// thread's stack, say), and it would report races that never happened. Under
// it, a move is a fresh mapping and a copy.
void* remap(void* old, std::size_t old_bytes, std::size_t length) {
#if defined(TARVIK_COPY_ON_REMAP)
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return p;
  std::memcpy(p, old, std::min(old_bytes, length));
  ::munmap(old, old_bytes);
  return p;
#else
  return ::mremap(old, old_bytes, length, MREMAP_MAYMOVE);
#endif
}

std::size_t round_up(std::size_t n, std::size_t to) {
  return (n + to - 1) / to * to;
}

// A fresh mapping of `bytes` (a multiple of kHugePageBytes) that starts on a
// huge-page boundary: over-allocate by one huge page, then give back the
// unaligned ends.
void* map_huge_aligned(std::size_t bytes) {
  void* p = ::mmap(nullptr, bytes + kHugePageBytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return p;
  auto begin = reinterpret_cast<std::uintptr_t>(p);
  std::uintptr_t aligned = round_up(begin, kHugePageBytes);
  if (aligned > begin) ::munmap(p, aligned - begin);
  std::uintptr_t tail = begin + bytes + kHugePageBytes - (aligned + bytes);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

void advise_huge_pages(void* data, std::size_t bytes) {
  auto begin = reinterpret_cast<std::uintptr_t>(data);
  std::uintptr_t first = round_up(begin, kHugePageBytes);
  std::uintptr_t last = (begin + bytes) / kHugePageBytes * kHugePageBytes;
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

MappedMemory::MappedMemory(MappedMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      pages_(other.pages_) {}

MappedMemory& MappedMemory::operator=(MappedMemory&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    pages_ = other.pages_;
  }
  return *this;
}

std::size_t MappedMemory::rounded(std::size_t bytes) const {
  const std::size_t unit =
      pages_ == Pages::kHuge && bytes >= kHugePageBytes ? kHugePageBytes : kPageBytes;
  if (bytes > SIZE_MAX - unit) throw std::bad_alloc();
  return round_up(bytes, unit);
}

void MappedMemory::resize(std::size_t bytes) {
  if (bytes == 0) {
    release();
    return;
  }
  const std::size_t length = rounded(bytes);
  if (length == bytes_) return;
  const bool huge = pages_ == Pages::kHuge && length >= kHugePageBytes;
  void* p;
  if (data_ != nullptr) {
    p = remap(data_, bytes_, length);
  } else if (huge) {
    p = map_huge_aligned(length);
  } else {
    p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = p;
  bytes_ = length;
  if (huge) advise_huge_pages(data_, bytes_);
}

void MappedMemory::discard(std::size_t offset, std::size_t bytes) {
  // Rounded inward by the system's page size, which may exceed kPageBytes:
  // a page that reaches outside the range may hold data still to be read.
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data_) + offset;
  const std::uintptr_t first = round_up(begin, page);
  const std::uintptr_t last = (begin + bytes) / page * page;
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

void MappedMemory::populate(std::size_t offset, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data_) + offset;
  const std::uintptr_t first = begin / page * page;
  const std::uintptr_t last = round_up(begin + bytes, page);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)offset;
  (void)bytes;
#endif
}

void MappedMemory::release() {
  if (data_ != nullptr) ::munmap(data_, bytes_);
  data_ = nullptr;
  bytes_ = 0;
}

void* allocate_huge_page_memory(std::size_t bytes) {
  if (bytes < kHugePageThreshold) return ::operator new(bytes);
  if (bytes > SIZE_MAX - kHugePageBytes) throw std::bad_alloc();
  const std::size_t length = round_up(bytes, kHugePageBytes);
  void* data = std::aligned_alloc(kHugePageBytes, length);
  if (data == nullptr) throw std::bad_alloc();
  ::madvise(data, length, MADV_HUGEPAGE);
  return data;
}

void release_huge_page_memory(void* data, std::size_t bytes) {
  if (data == nullptr) return;
  if (bytes < kHugePageThreshold) {
    ::operator delete(data);
  } else {
    std::free(data);
  }
}

}  // namespace tarvik
