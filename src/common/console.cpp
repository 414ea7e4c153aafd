// Console output on standard error.
#include "common/console.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "common/file_io.h"

namespace tarvik {
namespace {

std::mutex& stderr_mutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

Status write_stderr(std::string_view text) {
  std::lock_guard<std::mutex> lock(stderr_mutex());
  Status written = write_all(STDERR_FILENO, text);
  if (written.ok()) return {};
  if (written.error().os_error == EBADF) return {};  // no standard error at all: nothing to report to
  return Error::internal("failed printing to stderr: " + written.error().message);
}

}  // namespace tarvik
