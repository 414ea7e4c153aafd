// A growable byte buffer backed by huge-page-advised anonymous memory.
#include "common/byte_buffer.h"

#include <cstring>

namespace tarvik::detail {

void ByteBuffer::append(std::string_view s) {
  char* out = room(s.size());
  std::memcpy(out, s.data(), s.size());
  commit(out + s.size());
}

void ByteBuffer::reserve(std::size_t capacity) {
  if (capacity > memory_.bytes()) memory_.resize(capacity);
}

void ByteBuffer::grow(std::size_t n) {
  std::size_t wanted = capacity() * 2;
  if (wanted < size_ + n) wanted = size_ + n;
  reserve(wanted);
}

}  // namespace tarvik::detail
