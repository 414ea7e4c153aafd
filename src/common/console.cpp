// Console output on standard error.
#include "common/console.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include <unistd.h>

namespace tarvik {
namespace {

std::mutex& stderr_mutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

Status write_stderr(std::string_view text) {
  std::lock_guard<std::mutex> lock(stderr_mutex());
  while (!text.empty()) {
    ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0) {
      int err = errno;
      if (err == EINTR) continue;
      if (err == EBADF) return {};  // no standard error at all: nothing to report to
      return Error::internal("failed printing to stderr: " + std::string(std::strerror(err)) +
                             " (os error " + std::to_string(err) + ")");
    }
    if (written == 0)
      return Error::internal("failed printing to stderr: failed to write whole buffer");
    text.remove_prefix(static_cast<size_t>(written));
  }
  return {};
}

}  // namespace tarvik
