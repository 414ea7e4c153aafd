// Reading a file in blocks.
#include "training/file_blocks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/file_io.h"

namespace tarvik::training {
Result<BlockReader> BlockReader::open(const std::string& path, std::size_t block,
                                      const CancelCheck& cancel) {
  if (path.find('\0') != std::string::npos) {
    return Error::io("file name contained an unexpected NUL byte", 0, path);
  }
  int fd;
  for (;;) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) break;
    if (cancel && cancel()) return Error::interrupted();
  }
  if (fd < 0) return os_error(errno, path);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    int err = errno;
    ::close(fd);
    return os_error(err, path);
  }
  if (S_ISDIR(info.st_mode)) {
    ::close(fd);
    return os_error(EISDIR, path);
  }
  const bool regular = S_ISREG(info.st_mode);
  std::uint64_t size = regular ? static_cast<std::uint64_t>(info.st_size) : 0;
  return BlockReader(fd, path, block == 0 ? kDefaultBlock : block, size, regular);
}

BlockReader::BlockReader(int fd, std::string path, std::size_t block, std::uint64_t size,
                         bool regular)
    : fd_(fd), regular_(regular), path_(std::move(path)), buffer_(block), size_(size) {}

BlockReader::BlockReader(BlockReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      regular_(other.regular_),
      path_(std::move(other.path_)),
      buffer_(std::move(other.buffer_)),
      size_(other.size_) {}

BlockReader& BlockReader::operator=(BlockReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    regular_ = other.regular_;
    path_ = std::move(other.path_);
    buffer_ = std::move(other.buffer_);
    size_ = other.size_;
  }
  return *this;
}

BlockReader::~BlockReader() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::string_view> BlockReader::next(const CancelCheck& cancel) {
  // Fill the whole buffer where the file allows, so that block boundaries
  // (which never change the counts) at least do not multiply.
  std::size_t filled = 0;
  while (filled < buffer_.size()) {
    ssize_t n = ::read(fd_, buffer_.data() + filled, buffer_.size() - filled);
    if (n < 0) {
      if (errno == EINTR) {
        if (cancel && cancel()) return Error::interrupted();
        continue;
      }
      return os_error(errno, path_);
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return std::string_view(buffer_.data(), filled);
}

}  // namespace tarvik::training
