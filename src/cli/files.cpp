// File access for the tarvik command.
#include "cli/files.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/text.h"

namespace tarvik::cli {
namespace {

constexpr std::size_t kOutputBufferSize = 1 << 20;
// How much written output may wait in the page cache before its writeback is
// started. The final fsync then waits for the last step only, instead of
// writing out the whole array (700 MB for 1 GB of text) after the encoding.
constexpr std::uint64_t kWritebackStep = std::uint64_t{32} << 20;

// Temporary files a signal handler must remove. A slot is filled (path first,
// then the flag) before the file is created and cleared after the rename or
// removal, so the handler sees either nothing or a complete path; unlinking a
// path that was already renamed away is harmless.
constexpr std::size_t kPendingSlots = 4;
constexpr std::size_t kMaxPendingPath = 4096;
struct PendingSlot {
  volatile std::sig_atomic_t used = 0;
  char path[kMaxPendingPath] = {};
};
std::array<PendingSlot, kPendingSlots> g_pending;

void remove_pending_and_die(int signal_number) {
  for (PendingSlot& slot : g_pending)
    if (slot.used) ::unlink(slot.path);
  // SA_RESETHAND restored the default action; the signal is blocked inside
  // this handler and is delivered again as soon as it returns.
  ::raise(signal_number);
}

int claim_slot(const std::string& path) {
  if (path.size() >= kMaxPendingPath) return -1;
  for (std::size_t i = 0; i < g_pending.size(); ++i) {
    if (g_pending[i].used) continue;
    std::memcpy(g_pending[i].path, path.c_str(), path.size() + 1);
    // The path must be complete before a handler can see the flag.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_pending[i].used = 1;
    return static_cast<int>(i);
  }
  return -1;
}

void release_slot(const std::string& path) {
  for (PendingSlot& slot : g_pending)
    if (slot.used && path == slot.path) slot.used = 0;
}

Error io_error(std::string_view action, const std::string& path, int error) {
  return Error::io(std::string(action) + " " + quoted(path) + ": " + std::strerror(error), error,
                   path);
}

Result<int> open_for_reading(const std::string& path) {
  if (path == "-") return STDIN_FILENO;
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return io_error("cannot open", path, errno);
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    return io_error("cannot open", path, EISDIR);
  }
  return fd;
}

// Writes all of `bytes`, resuming after partial and interrupted writes.
int write_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

}  // namespace

void install_signal_cleanup() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_pending_and_die;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(signal_number, &action, nullptr);
  }
}

Status check_readable(const std::string& path) {
  if (path == "-") return {};
  // Opening a named pipe waits for a writer, and its data would go with this
  // check: a readable one is left for its reader to open.
  struct stat info{};
  if (::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode) &&
      ::access(path.c_str(), R_OK) == 0) {
    return {};
  }
  Result<int> fd = open_for_reading(path);
  if (!fd) return std::move(fd).error();
  ::close(*fd);
  return {};
}

Status check_readable(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) TARVIK_TRY(check_readable(path));
  return {};
}

Result<InputStream> InputStream::open(const std::string& path) {
  Result<int> fd = open_for_reading(path);
  if (!fd) return std::move(fd).error();
  return InputStream(*fd, path == "-" ? std::string("standard input") : path);
}

Descriptor::Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

int Descriptor::close() {
  const int fd = std::exchange(fd_, -1);
  if (fd <= STDERR_FILENO) return 0;
  return ::close(fd) == 0 ? 0 : errno;
}

Result<std::size_t> InputStream::read(std::span<char> buffer) {
  for (;;) {
    ssize_t got = ::read(fd_.get(), buffer.data(), buffer.size());
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return io_error("cannot read", name_, errno);
  }
}

OutputFile::OutputFile(int fd, std::string name, std::string temp_path, std::string target)
    : fd_(fd),
      name_(std::move(name)),
      temp_path_(std::move(temp_path)),
      target_(std::move(target)) {
  buffer_.reserve(kOutputBufferSize);
}

namespace {

// The link `path` names, resolved against the link's own directory, or
// nothing when `path` is not a symbolic link.
std::optional<std::string> next_hop(const std::string& path) {
  struct stat info{};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return std::nullopt;
  // Links under /proc report a size of 0, so leave room for any path.
  std::string target(std::max<std::size_t>(static_cast<std::size_t>(info.st_size), 4096) + 1, '\0');
  const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return target.front() == '/' || slash == std::string::npos ? target
                                                             : path.substr(0, slash + 1) + target;
}

constexpr int kMaxHops = 40;

// The directory that holds `path`'s last component.
std::string parent_directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// `path` with its directory's links, dots and doubled slashes resolved, so
// that //dev/./stdout reads as /dev/stdout and /dev/fd/1 as /proc/PID/fd/1.
std::string with_real_directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  char* real = ::realpath(parent_directory(path).c_str(), nullptr);
  if (real == nullptr) return path;
  std::string resolved(real);
  std::free(real);
  if (resolved.back() != '/') resolved += '/';
  return resolved + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

// Standard output or error named as a file (/dev/stdout, /dev/fd/1,
// /proc/self/fd/2, under any spelling or through links): the descriptor the
// command inherited, written in place. Renaming over what such a name
// resolves to would replace the file the shell opened (and lose what it
// appends to) instead of writing to it.
int inherited_stream(const std::string& path) {
  if (path == "-") return STDOUT_FILENO;
  const std::string own_fds = "/proc/" + std::to_string(::getpid()) + "/fd/";
  std::optional<std::string> hop = path;
  for (int hops = 0; hop && hops < kMaxHops; ++hops, hop = next_hop(*hop)) {
    const std::string name = with_real_directory(*hop);
    if (name == "/dev/stdout" || name == own_fds + "1") return STDOUT_FILENO;
    if (name == "/dev/stderr" || name == own_fds + "2") return STDERR_FILENO;
  }
  return -1;
}

// The path a chain of symbolic links ends at, whether or not that exists, so
// that a dangling link gets its file created rather than being replaced. A
// chain that never ends (a loop) is left as it is: opening it reports ELOOP.
std::string link_destination(std::string path) {
  for (int hops = 0; hops < kMaxHops; ++hops) {
    std::optional<std::string> next = next_hop(path);
    if (!next) return path;
    path = std::move(*next);
  }
  return path;
}

// In a sticky directory (/tmp) only a file's owner, the directory's owner or
// root may rename over the file, though anyone may create files there: the
// rename that ends a run must be known to be allowed before the run starts.
bool may_replace(const std::string& path, const struct stat& file) {
  const uid_t user = ::geteuid();
  if (user == 0 || file.st_uid == user) return true;
  struct stat dir{};
  // A failure here is the rename's to report.
  if (::stat(parent_directory(path).c_str(), &dir) != 0) return true;
  return !(dir.st_mode & S_ISVTX) || dir.st_uid == user;
}

}  // namespace

Status check_output_is_not_an_input(const std::string& output,
                                    const std::vector<std::string>& inputs) {
  if (inherited_stream(output) >= 0) return {};
  struct stat out{};
  if (::stat(output.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return {};
  for (const std::string& input : inputs) {
    struct stat in{};
    const bool standard_input = input == "-";
    if ((standard_input ? ::fstat(STDIN_FILENO, &in) : ::stat(input.c_str(), &in)) != 0) continue;
    if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
      return Error::invalid_argument("refusing to write " + quoted(output) + ": it is " +
                                     (standard_input    ? std::string("the standard input")
                                      : input == output ? std::string("also an input")
                                                        : "the input " + quoted(input)) +
                                     " of this command, which the output would replace");
    }
  }
  return {};
}

bool is_stream_target(const std::string& path) {
  if (inherited_stream(path) >= 0) return true;
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

Result<OutputFile> OutputFile::open(const std::string& requested) {
  if (requested.empty()) return io_error("cannot write", requested, ENOENT);
  if (const int fd = inherited_stream(requested); fd >= 0) {
    return OutputFile(fd, fd == STDOUT_FILENO ? "standard output" : "standard error", {});
  }
  // Through a symbolic link the rename must replace the file, not the link.
  std::string path = link_destination(requested);
  struct stat info {};
  std::optional<mode_t> keep_mode;  // an existing file's permissions, kept by its replacement
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ELOOP) return io_error("cannot write", requested, ELOOP);
  } else {
    if (S_ISDIR(info.st_mode)) return io_error("cannot write", requested, EISDIR);
    if (!S_ISREG(info.st_mode)) {
      for (;;) {
        int fd = ::open(requested.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) return OutputFile(fd, requested, {});
        if (errno != EINTR) return io_error("cannot write", requested, errno);
      }
    }
    if (!may_replace(path, info)) return io_error("cannot write", requested, EPERM);
    keep_mode = info.st_mode & 07777;
  }
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::random_device seed;
  for (int attempt = 0;; ++attempt) {
    std::string temp = dir + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
                       std::to_string(seed() & 0xFFFFFF);
    // Registered before the file exists, so there is no moment at which a
    // signal would leave a file the handler does not know.
    int slot = claim_slot(temp);
    // O_EXCL: never open a file someone else made; 0666 less the umask, as
    // any new file gets.
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    int error = errno;
    if (fd >= 0) {
      if (keep_mode) (void)::fchmod(fd, *keep_mode);  // best effort, as cp does
      return OutputFile(fd, requested, std::move(temp), path);
    }
    if (slot >= 0) g_pending[static_cast<std::size_t>(slot)].used = 0;
    if (error == EINTR || (error == EEXIST && attempt < 100)) continue;
    return io_error("cannot write", requested, error);
  }
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      name_(std::move(other.name_)),
      temp_path_(std::move(other.temp_path_)),
      target_(std::move(other.target_)),
      buffer_(std::move(other.buffer_)),
      committed_(other.committed_) {
  other.temp_path_.clear();
  other.committed_ = true;
}

OutputFile::~OutputFile() {
  if (temp_path_.empty()) return;
  (void)fd_.close();
  if (!committed_) ::unlink(temp_path_.c_str());
  release_slot(temp_path_);
}

Status OutputFile::fail(std::string_view action, int error) const {
  return io_error(action, name_, error);
}

Status OutputFile::write_through(std::string_view bytes) {
  if (int error = write_fully(fd_.get(), bytes)) return fail("cannot write", error);
  written_ += bytes.size();
#ifdef SYNC_FILE_RANGE_WRITE
  if (!is_stream() && written_ - writeback_from_ >= kWritebackStep) {
    // A hint: a failure here shows again, and is reported, at the fsync.
    (void)::sync_file_range(fd_.get(), static_cast<off_t>(writeback_from_),
                            static_cast<off_t>(written_ - writeback_from_), SYNC_FILE_RANGE_WRITE);
    writeback_from_ = written_;
  }
#endif
  return {};
}

Status OutputFile::flush() {
  TARVIK_TRY(write_through(buffer_));
  buffer_.clear();
  return {};
}

Status OutputFile::write(std::string_view bytes) {
  if (buffer_.size() + bytes.size() > kOutputBufferSize) {
    TARVIK_TRY(flush());
    if (bytes.size() >= kOutputBufferSize) return write_through(bytes);
  }
  buffer_.append(bytes);
  return {};
}

Status OutputFile::write_at(std::uint64_t offset, std::string_view bytes) {
  if (is_stream()) return Error::internal("write_at on a stream: " + name_);
  TARVIK_TRY(flush());
  while (!bytes.empty()) {
    ssize_t written = ::pwrite(fd_.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail("cannot write", errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
    offset += static_cast<std::uint64_t>(written);
  }
  return {};
}

Status OutputFile::commit() {
  TARVIK_TRY(flush());
  if (is_stream()) return {};
  if (::fsync(fd_.get()) != 0) return fail("cannot write", errno);
  if (int error = fd_.close()) return fail("cannot write", error);
  if (::rename(temp_path_.c_str(), target_.c_str()) != 0) return fail("cannot write", errno);
  committed_ = true;
  return {};
}

}  // namespace tarvik::cli
