// Whole-file reads, complete writes and failure-safe saving.
#include "common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace tarvik {
namespace {

// After EINTR: true to retry the call, false to give up as interrupted.
bool retry_after_interrupt(const CancelCheck& on_interrupt) {
  return !on_interrupt || !on_interrupt();
}

// strerror_r comes in two flavours; these overloads accept either result.
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) {
  return rc == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) {
  return text;
}

Error nul_in_path() {
  return Error::io("file name contained an unexpected NUL byte");
}

// Closes a descriptor once, on every path out of the function that opened it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports the error close() gives (delayed write errors).
  // EINTR is not retried: on Linux the descriptor is gone either way.
  Status close(const std::string& path) {
    int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) return os_error(errno, path);
    return {};
  }

 private:
  int fd_;
};

Result<int> open_file(const std::string& path, int flags, mode_t mode,
                      const CancelCheck& on_interrupt) {
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno != EINTR) return os_error(errno, path);
    if (!retry_after_interrupt(on_interrupt)) return Error::interrupted();
  }
}

Status write_all_to(int fd, std::string_view data, const CancelCheck& on_interrupt,
                    const std::string& path) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno != EINTR) return os_error(errno, path);
      if (!retry_after_interrupt(on_interrupt)) return Error::interrupted();
      continue;
    }
    if (n == 0) return Error::io("failed to write whole buffer", 0, path);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Runs a call that reports failure as -1 with errno, retrying after EINTR.
template <class Call>
Status retrying(Call call, const CancelCheck& on_interrupt, const std::string& path) {
  while (call() != 0) {
    if (errno != EINTR) return os_error(errno, path);
    if (!retry_after_interrupt(on_interrupt)) return Error::interrupted();
  }
  return {};
}

// Writes straight into the path. A FIFO or device is written as it is. A
// regular file is overwritten only once the space for all of `data` is
// reserved, so that a full disk refuses the save instead of leaving a
// truncated file; the old tail is cut after the new content is written.
Status write_in_place(const std::string& path, std::string_view data,
                      const CancelCheck& on_interrupt) {
  Result<int> opened = open_file(path, O_WRONLY | O_CREAT, 0666, on_interrupt);
  if (!opened.ok()) return std::move(opened).error();
  Fd fd(*opened);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_error(errno, path);
  if (!S_ISREG(st.st_mode)) {
    TARVIK_TRY(write_all_to(fd.get(), data, on_interrupt, path));
    return fd.close(path);
  }
  if (!data.empty()) {
    int rc;
    while ((rc = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(data.size()))) == EINTR) {
      if (!retry_after_interrupt(on_interrupt)) return Error::interrupted();
    }
    if (rc != 0) return os_error(rc, path);
  }
  TARVIK_TRY(write_all_to(fd.get(), data, on_interrupt, path));
  TARVIK_TRY(retrying([&] { return ::ftruncate(fd.get(), static_cast<off_t>(data.size())); },
                      on_interrupt, path));
  return fd.close(path);
}

// A name for the temporary file beside `target`; the process id and a counter
// keep it unique, and O_EXCL with a retry covers a stale file of that name.
std::string temporary_name(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.size() > 200) base.resize(200);  // stay below the file-name length limit
  return dir + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1));
}

void sync_directory_of(const std::string& target) {
  std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the rename has already happened
  ::close(fd);
}

// Replaces the regular file `target` (or creates it) through a temporary file
// in the same directory, so that a failure part-way leaves the old file whole.
// `existing` holds the old file's status when there is one; its owner and
// permission bits carry over to the new file. Returns nullopt when the
// temporary file cannot be created for lack of permission, so that the caller
// can fall back to writing in place (which may still be allowed).
std::optional<Status> replace_file(const std::string& path, const std::string& target,
                                   const struct stat* existing, std::string_view data,
                                   const CancelCheck& on_interrupt) {
  std::string temp;
  int raw = -1;
  for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
    temp = temporary_name(target);
    raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (raw >= 0 || errno == EEXIST) continue;
    if (errno == EACCES || errno == EPERM) return std::nullopt;
    if (errno != EINTR) return Status(os_error(errno, path));
    if (!retry_after_interrupt(on_interrupt)) return Status(Error::interrupted());
  }
  if (raw < 0) return Status(os_error(EEXIST, path));
  Fd fd(raw);
  auto fail = [&](Error error) {
    ::unlink(temp.c_str());
    return Status(std::move(error));
  };
  if (existing) {
    // Keep the old file's owner where we may (chown first: it can clear the
    // set-id bits that the mode then restores), and its permission bits.
    [[maybe_unused]] int ignored = ::fchown(fd.get(), existing->st_uid, existing->st_gid);
    ::fchmod(fd.get(), existing->st_mode & 07777);
  }
  if (Status s = write_all_to(fd.get(), data, on_interrupt, path); !s.ok()) {
    return fail(std::move(s).error());
  }
  while (::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) {
    if (errno != EINTR) return fail(os_error(errno, path));
    if (!retry_after_interrupt(on_interrupt)) return fail(Error::interrupted());
  }
  if (Status s = fd.close(path); !s.ok()) return fail(std::move(s).error());
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail(os_error(errno, path));
  sync_directory_of(target);
  return Status();
}

}  // namespace

std::string os_error_text(int err) {
  char buf[256];
  return std::string(strerror_text(strerror_r(err, buf, sizeof buf), buf)) + " (os error " +
         std::to_string(err) + ")";
}

Error os_error(int err, std::string path) {
  return Error::io(os_error_text(err), err, std::move(path));
}

Status write_all(int fd, std::string_view data, const CancelCheck& on_interrupt) {
  return write_all_to(fd, data, on_interrupt, {});
}

Status save_file(const std::string& path, std::string_view data,
                 const CancelCheck& on_interrupt) {
  if (path.find('\0') != std::string::npos) return nul_in_path();
  if (path.empty() || path.back() == '/') return write_in_place(path, data, on_interrupt);

  struct stat st;
  std::string target = path;
  bool exists;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      // Replace the file the link points to and keep the link.
      if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return write_in_place(path, data, on_interrupt);
      }
      char* real = ::realpath(path.c_str(), nullptr);
      if (!real) return write_in_place(path, data, on_interrupt);
      target = real;
      std::free(real);
    } else if (!S_ISREG(st.st_mode)) {
      return write_in_place(path, data, on_interrupt);
    }
    exists = true;
  } else if (errno == ENOENT) {
    exists = false;
  } else {
    return write_in_place(path, data, on_interrupt);  // reports the path's own error
  }
  // Replacing by rename needs only the directory's permission; a file we may
  // not write stays refused, as writing it in place would be.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    return os_error(errno, path);
  }
  if (std::optional<Status> s =
          replace_file(path, target, exists ? &st : nullptr, data, on_interrupt)) {
    return *s;
  }
  return write_in_place(path, data, on_interrupt);
}

Result<detail::ByteBuffer> read_file(const std::string& path, const CancelCheck& on_interrupt) {
  if (path.find('\0') != std::string::npos) return nul_in_path();
  Result<int> opened = open_file(path, O_RDONLY, 0, on_interrupt);
  if (!opened.ok()) return std::move(opened).error();
  Fd fd(*opened);
  struct stat st;
  std::size_t expected = 0;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    expected = static_cast<std::size_t>(st.st_size);
  }
  // One byte more than the reported size, so that the end is seen without a
  // second allocation; files that report no size grow the buffer as they go.
  detail::ByteBuffer data(expected + 1 > 65536 ? expected + 1 : 65536);
  std::size_t since_poll = 0;
  for (;;) {
    char* out = data.room(1);
    std::size_t space = data.capacity() - data.size();
    ssize_t n = ::read(fd.get(), out, space);
    if (n < 0) {
      if (errno != EINTR) return os_error(errno, path);
      if (!retry_after_interrupt(on_interrupt)) return Error::interrupted();
      continue;
    }
    if (n == 0) break;
    data.commit(out + n);
    since_poll += static_cast<std::size_t>(n);
    if (since_poll >= kPollBytes) {
      since_poll = 0;
      if (on_interrupt && on_interrupt()) return Error::interrupted();
    }
  }
  return data;
}

}  // namespace tarvik
