// A growable byte buffer for whole files: the rendered model text on saving,
// the file's bytes on loading.
//
// Performance note: a trained model file is tens of megabytes, and on the
// machines we measured, faulting in fresh 4 KiB pages cost as much as
// rendering or parsing the text itself (a std::string of 40 MB spends ~40 ms
// in page faults and zero-filling). The buffer therefore lives in a huge-page
// MappedMemory (a 2 MiB fault instead of 512 small ones; ~5x cheaper) and is
// never zero-filled. Without huge-page support it degrades to ordinary pages.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "common/mapped_memory.h"

namespace tarvik::detail {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(std::size_t capacity) { reserve(capacity); }
  ByteBuffer(ByteBuffer&& other) noexcept
      : memory_(std::move(other.memory_)), size_(std::exchange(other.size_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    memory_ = std::move(other.memory_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  // A position with at least `n` writable bytes after it (throws
  // std::bad_alloc when the memory cannot be had).
  char* room(std::size_t n) {
    if (capacity() - size_ < n) grow(n);
    return data() + size_;
  }
  // Marks everything before `end` (a position inside the last room()) as written.
  void commit(char* end) { size_ = static_cast<std::size_t>(end - data()); }
  void append(std::string_view s);

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return memory_.bytes(); }
  std::string_view view() const { return {data(), size_}; }

  // Makes the capacity at least `capacity` bytes.
  void reserve(std::size_t capacity);

 private:
  char* data() const { return static_cast<char*>(memory_.data()); }
  void grow(std::size_t n);

  MappedMemory memory_{MappedMemory::Pages::kHuge};
  std::size_t size_ = 0;
};

}  // namespace tarvik::detail
