// Reading a file in blocks, for counting files far larger than memory.
//
// Each read is retried when a signal interrupts it (after polling the
// cancellation check, so Ctrl-C can stop a read that blocks); every OS
// failure is common/file_io's os_error: kIo carrying the errno and the path,
// worded "{system text} (os error {n})". Unlike read_file there, it never
// holds more than one block of the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "tarvik/callbacks.h"

namespace tarvik::training {

class BlockReader {
 public:
  static constexpr std::size_t kDefaultBlock = std::size_t{1} << 20;

  // Opens `path` for reading; a directory is refused with EISDIR. Opening a
  // named pipe waits for a writer: a signal that interrupts the wait polls
  // `cancel`, so Ctrl-C can end it (kInterrupted).
  static Result<BlockReader> open(const std::string& path, std::size_t block = kDefaultBlock,
                                  const CancelCheck& cancel = {});

  // Whether the file is a regular one, which can be opened again and read
  // from its start (a pipe's data goes to the first reader that opens it).
  bool is_regular() const { return regular_; }

  BlockReader(BlockReader&& other) noexcept;
  BlockReader& operator=(BlockReader&& other) noexcept;
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;
  ~BlockReader();

  // The next block, valid until the next call; empty at the end of the file.
  Result<std::string_view> next(const CancelCheck& cancel = {});

  // The file's size when it is a regular file, else 0.
  std::uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }

 private:
  BlockReader(int fd, std::string path, std::size_t block, std::uint64_t size, bool regular);
  int fd_ = -1;
  bool regular_ = false;
  std::string path_;
  std::vector<char> buffer_;
  std::uint64_t size_ = 0;
};

}  // namespace tarvik::training
