// A growable array of trivially copyable values in its own memory mapping.
//
// Training's big arrays live here rather than on the malloc heap: growing
// remaps the pages instead of copying into a second block (so there is no
// moment with both the old and the new block resident), shrinking and
// freeing hand the pages straight back to the system, and the heap does not
// fragment. Failure to map throws std::bad_alloc like any allocation.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tarvik::training {

template <class T>
class MappedVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  MappedVector() = default;
  MappedVector(const MappedVector&) = delete;
  MappedVector& operator=(const MappedVector&) = delete;
  MappedVector(MappedVector&& other) noexcept { swap(other); }
  MappedVector& operator=(MappedVector&& other) noexcept {
    if (this != &other) {
      release();
      swap(other);
    }
    return *this;
  }
  ~MappedVector() { release(); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& front() { return data_[0]; }
  T& back() { return data_[size_ - 1]; }

  void reserve(std::size_t n) {
    if (n > capacity_) remap(n);
  }

  // Like reserve, but grows by half again at least, so that appending in
  // small steps is amortised O(1).
  void reserve_more(std::size_t n) {
    if (n > capacity_) remap(std::max({n, capacity_ + capacity_ / 2, kPage / sizeof(T)}));
  }

  void push_back(const T& value) {
    reserve_more(size_ + 1);
    data_[size_++] = value;
  }
  void pop_back() { --size_; }

  // New elements are set to `fill`.
  void resize(std::size_t n, const T& fill = T{}) {
    reserve(n);
    if (n > size_) std::fill(data_ + size_, data_ + n, fill);
    size_ = n;
  }
  // New elements keep whatever the memory holds.
  void resize_for_overwrite(std::size_t n) {
    reserve(n);
    size_ = n;
  }
  void clear() { size_ = 0; }

  // Returns the pages beyond the current size to the system.
  void shrink_to_fit() {
    if (size_ == 0) {
      release();
    } else if (bytes_for(size_) < bytes_for(capacity_)) {
      remap(size_);
    }
  }

  void release() {
    if (data_ != nullptr) ::munmap(data_, bytes_for(capacity_));
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  static constexpr std::size_t kPage = 4096;
  static std::size_t bytes_for(std::size_t n) {
    return (n * sizeof(T) + kPage - 1) / kPage * kPage;
  }

  void remap(std::size_t n) {
    std::size_t bytes = bytes_for(n);
    void* p;
    if (data_ == nullptr) {
      p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    } else {
      p = ::mremap(data_, bytes_for(capacity_), bytes, MREMAP_MAYMOVE);
    }
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    capacity_ = bytes / sizeof(T);
  }

  void swap(MappedVector& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tarvik::training
