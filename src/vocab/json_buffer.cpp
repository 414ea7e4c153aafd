// Whole-document byte buffer backed by huge-page-advised anonymous memory.
#include "vocab/json_buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace tarvik::detail {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_up(std::size_t n, std::size_t to) {
  return (n + to - 1) / to * to;
}

// Advises the whole 2 MiB-aligned part of [p, p + n) for huge pages.
void advise_huge(char* p, std::size_t n) {
  auto begin = reinterpret_cast<std::uintptr_t>(p);
  std::uintptr_t first = round_up(begin, kHugePage);
  std::uintptr_t last = (begin + n) / kHugePage * kHugePage;
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() {
  release();
}

void ByteBuffer::release() {
  if (data_) ::munmap(data_, capacity_);
  data_ = nullptr;
  size_ = capacity_ = 0;
}

void ByteBuffer::append(std::string_view s) {
  char* out = room(s.size());
  std::memcpy(out, s.data(), s.size());
  commit(out + s.size());
}

void ByteBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  // Large buffers are rounded to whole huge pages, small ones to pages.
  capacity = round_up(capacity, capacity >= kHugePage ? kHugePage : 4096);
  void* p;
  if (data_) {
    p = ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
  } else if (capacity >= kHugePage) {
    // Over-allocate by one huge page so that the buffer can start on a
    // 2 MiB boundary, then give back the unaligned ends.
    p = ::mmap(nullptr, capacity + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
               -1, 0);
    if (p != MAP_FAILED) {
      auto begin = reinterpret_cast<std::uintptr_t>(p);
      std::uintptr_t aligned = round_up(begin, kHugePage);
      if (aligned > begin) ::munmap(p, aligned - begin);
      std::uintptr_t tail = begin + capacity + kHugePage - (aligned + capacity);
      if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + capacity), tail);
      p = reinterpret_cast<void*>(aligned);
    }
  } else {
    p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<char*>(p);
  capacity_ = capacity;
  advise_huge(data_, capacity_);
}

void ByteBuffer::grow(std::size_t n) {
  std::size_t wanted = capacity_ * 2;
  if (wanted < size_ + n) wanted = size_ + n;
  reserve(wanted);
}

}  // namespace tarvik::detail
