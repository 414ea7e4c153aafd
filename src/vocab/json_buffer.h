// Whole-document byte buffer for the model file: the rendered text on saving,
// the file's bytes on loading.
//
// Performance note: a trained model file is tens of megabytes, and on the
// machines we measured, faulting in fresh 4 KiB pages cost as much as
// rendering or parsing the text itself (a std::string of 40 MB spends ~40 ms
// in page faults and zero-filling). The buffer therefore takes its memory
// straight from mmap, asks for transparent huge pages (a 2 MiB fault instead
// of 512 small ones; ~5x cheaper) and never zero-fills. Without huge-page
// support it degrades to ordinary pages.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarvik::detail {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(std::size_t capacity) { reserve(capacity); }
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ~ByteBuffer();

  // A position with at least `n` writable bytes after it (throws
  // std::bad_alloc when the memory cannot be had).
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  // Marks everything before `end` (a position inside the last room()) as written.
  void commit(char* end) { size_ = static_cast<std::size_t>(end - data_); }
  void append(std::string_view s);

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_, size_}; }

  // Makes the capacity at least `capacity` bytes.
  void reserve(std::size_t capacity);

 private:
  void grow(std::size_t n);
  void release();

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tarvik::detail
