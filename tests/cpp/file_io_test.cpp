// File I/O below the Python layer: OS error values, failure-safe saving (a
// save that cannot complete leaves the old file whole, also when no
// temporary file may be created next to it), and interruption of blocking
// opens and endless reads.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "check.h"
#include "common/file_io.h"

using namespace tarvik;

namespace {

using testing::check;
using testing::check_eq;

constexpr uid_t kNobody = 65534;

std::string make_temp_dir() {
  char pattern[] = "/tmp/file_io_test.XXXXXX";
  return ::mkdtemp(pattern);
}

void remove_tree(const std::string& dir) {
  ::chmod(dir.c_str(), 0755);
  [[maybe_unused]] int rc = std::system(("rm -rf '" + dir + "'").c_str());
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void test_errors() {
  const std::string dir = make_temp_dir();
  Result<detail::ByteBuffer> missing = read_file(dir + "/missing.json");
  check(!missing.ok() && missing.error().kind == ErrorKind::kIo &&
            missing.error().message == "No such file or directory (os error 2)" &&
            missing.error().os_error == ENOENT && missing.error().path == dir + "/missing.json",
        "a missing file: the OS text, errno and path");
  Status nul = save_file(std::string("a\0b", 3), "x");
  check(!nul.ok() && nul.error().message == "file name contained an unexpected NUL byte",
        "a NUL in the path");
  Status into_dir = save_file(dir + "/", "x");
  check(!into_dir.ok() && into_dir.error().os_error == EISDIR, "a directory path");
  remove_tree(dir);
}

void test_replace() {
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/model.json";
  check(save_file(path, "first").ok() && slurp(path) == "first", "a new file");
  ::chmod(path.c_str(), 0640);
  check(save_file(path, "second, longer").ok() && slurp(path) == "second, longer",
        "a replaced file");
  struct stat st;
  check(::stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0640,
        "the permission bits carry over");
  Result<detail::ByteBuffer> back = read_file(path);
  check(back.ok() && back->view() == "second, longer", "read_file reads it whole");
  remove_tree(dir);
}

// Runs `body` in a child process, as nobody when running as root (so that a
// 0555 directory of root's takes no new file from it), and returns whether
// it exited 0.
template <class Body>
bool in_locked_out_child(Body body) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(2);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A writable model in a directory that takes no temporary file: the save
// goes in place. When the new content cannot get its space (here a file-size
// limit, as a full disk would), the old file must survive untouched.
void test_in_place_save_keeps_old_file() {
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/model.json";
  const std::string old_content(64 << 10, 'o');
  std::ofstream(path, std::ios::binary) << old_content;
  if (::geteuid() == 0 && ::chown(path.c_str(), kNobody, kNobody) != 0) {
    check(false, "chown to nobody");
  }
  ::chmod(path.c_str(), 0644);
  ::chmod(dir.c_str(), 0555);

  bool refused = in_locked_out_child([&] {
    if (::access(dir.c_str(), W_OK) == 0) return false;  // the test would not reach the path
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {100 << 10, 100 << 10};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    Status saved = save_file(path, std::string(1 << 20, 'n'));
    if (saved.ok()) {
      std::printf("  the save succeeded beyond the file-size limit\n");
      return false;
    }
    if (saved.error().os_error != EFBIG) {
      std::printf("  unexpected error: %s\n", saved.error().message.c_str());
      return false;
    }
    return true;
  });
  check(refused, "an in-place save that cannot reserve its space is refused with the OS error");
  check(slurp(path) == old_content, "the refused save left the old file whole");

  bool shrunk = in_locked_out_child([&] {
    return save_file(path, "short").ok() && slurp(path) == "short";
  });
  check(shrunk, "an in-place save that fits replaces the content exactly");
  remove_tree(dir);
}

int g_signals = 0;
void on_alarm(int) {
  ++g_signals;
}

// Blocking opens of a FIFO without a peer, interrupted by a repeating timer
// signal: each EINTR asks the callback, which says "retry" twice and then
// "stop".
void test_interrupted_fifo() {
  const std::string dir = make_temp_dir();
  const std::string fifo = dir + "/fifo";
  check(::mkfifo(fifo.c_str(), 0600) == 0, "mkfifo");
  struct sigaction action = {};
  action.sa_handler = on_alarm;  // no SA_RESTART: the blocked open fails with EINTR
  struct sigaction previous;
  ::sigaction(SIGALRM, &action, &previous);
  struct itimerval timer = {{0, 20000}, {0, 20000}};
  ::setitimer(ITIMER_REAL, &timer, nullptr);

  int calls = 0;
  auto third_stops = [&] { return ++calls == 3; };
  Result<detail::ByteBuffer> read = read_file(fifo, third_stops);
  check(!read.ok() && read.error().kind == ErrorKind::kInterrupted && calls == 3,
        "reading a FIFO without a writer: retried until the callback stops it (calls " +
            std::to_string(calls) + ")");
  calls = 0;
  Status written = save_file(fifo, "data", third_stops);
  check(!written.ok() && written.error().kind == ErrorKind::kInterrupted && calls == 3,
        "writing a FIFO without a reader: retried until the callback stops it (calls " +
            std::to_string(calls) + ")");

  struct itimerval off = {};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &previous, nullptr);
  remove_tree(dir);
}

// An endless file never fails with EINTR; the read polls the callback.
void test_endless_read() {
  int polls = 0;
  Result<detail::ByteBuffer> read = read_file("/dev/zero", [&] { return ++polls == 2; });
  check(!read.ok() && read.error().kind == ErrorKind::kInterrupted && polls == 2,
        "reading /dev/zero stops when the poll says so");
}

}  // namespace

int main() {
  test_errors();
  test_replace();
  test_in_place_save_keeps_old_file();
  test_interrupted_fifo();
  test_endless_read();
  return testing::finish();
}
