// A growable array of trivially copyable values in its own memory mapping.
//
// Training's big arrays live here rather than on the malloc heap: growing
// remaps the pages instead of copying into a second block (so there is no
// moment with both the old and the new block resident), shrinking and
// freeing hand the pages straight back to the system, and the heap does not
// fragment. Failure to map throws std::bad_alloc like any allocation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "common/mapped_memory.h"

namespace tarvik::training {

template <class T>
class MappedVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  MappedVector() = default;
  MappedVector(const MappedVector&) = delete;
  MappedVector& operator=(const MappedVector&) = delete;
  MappedVector(MappedVector&& other) noexcept
      : memory_(std::move(other.memory_)),
        data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  MappedVector& operator=(MappedVector&& other) noexcept {
    if (this != &other) {
      memory_ = std::move(other.memory_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }

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
    if (n > capacity_) remap(std::max({n, capacity_ + capacity_ / 2, kPageBytes / sizeof(T)}));
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
    } else if (memory_.rounded(size_ * sizeof(T)) < memory_.bytes()) {
      remap(size_);
    }
  }

  // Gives the whole pages of elements [first, last) back to the system: an
  // array read once from front to back can shrink as it is read. The
  // elements in them read as zero afterwards.
  void discard(std::size_t first, std::size_t last) {
    memory_.discard(first * sizeof(T), (last - first) * sizeof(T));
  }
  // Makes the pages of elements [first, last) resident and writable, keeping
  // their contents (see MappedMemory::populate).
  void populate(std::size_t first, std::size_t last) {
    memory_.populate(first * sizeof(T), (last - first) * sizeof(T));
  }

  void release() {
    memory_.release();
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

  // The same pages as an array of `count` U, which the caller has written
  // there and which must fit in the mapping; leaves this one empty. Lets a
  // large array be rewritten in place as a smaller kind of record instead of
  // into a second mapping.
  template <class U>
  MappedVector<U> reinterpret_as(std::size_t count) && {
    MappedVector<U> out;
    out.capacity_ = memory_.bytes() / sizeof(U);
    if (count > out.capacity_) throw std::bad_alloc();
    out.memory_ = std::move(memory_);
    out.data_ = static_cast<U*>(out.memory_.data());
    out.size_ = count;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return out;
  }

 private:
  template <class>
  friend class MappedVector;

  void remap(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    memory_.resize(n * sizeof(T));
    data_ = static_cast<T*>(memory_.data());
    capacity_ = memory_.bytes() / sizeof(T);
  }

  MappedMemory memory_;
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tarvik::training
