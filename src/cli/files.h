// File access for the tarvik command: whole-file input, buffered streaming
// input and output on file descriptors, and output files that appear only
// when complete.
//
// Errors are Error::io values whose message is already phrased for the user
// ("cannot open 'x': No such file or directory"). The path "-" means standard
// input for readers and standard output for OutputFile::open.
//
// OutputFile writes to a temporary file beside the target (same directory, so
// the final rename is atomic) and renames it over the target only in commit().
// Until then the target is untouched: a failed or abandoned run removes the
// temporary file in the destructor, and install_signal_cleanup() makes SIGINT,
// SIGTERM and SIGHUP remove it too before the process dies of the signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarvik/result.h"

namespace tarvik::cli {

// Installs the handlers that remove a pending OutputFile's temporary file when
// the process is killed by SIGINT, SIGTERM or SIGHUP; the default action
// (death by that signal) follows. Call once, before opening outputs.
void install_signal_cleanup();

// Fails with the same message InputStream::open would give when a file cannot be
// opened for reading (missing, unreadable, a directory); reads nothing. A
// readable named pipe is not opened, since that would take its data.
Status check_readable(const std::string& path);
Status check_readable(const std::vector<std::string>& paths);

// Sole owner of an open file descriptor; the standard streams are only
// borrowed and never closed.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept;
  Descriptor& operator=(Descriptor&&) = delete;
  ~Descriptor() { (void)close(); }

  int get() const { return fd_; }
  // close(2)'s errno, or 0; the descriptor is released either way.
  int close();

 private:
  int fd_;
};

// Sequential reads from a file or standard input, in the caller's buffer.
class InputStream {
 public:
  static Result<InputStream> open(const std::string& path);

  // Fills up to buffer.size() bytes; 0 means end of input.
  Result<std::size_t> read(std::span<char> buffer);
  const std::string& name() const { return name_; }

 private:
  InputStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  Descriptor fd_;
  std::string name_;
};

// Fails when `output` is an existing file that is also one of `inputs` (the
// same file under any name): the output replaces its file when it is done,
// which would destroy an input or the model the command was given.
Status check_output_is_not_an_input(const std::string& output,
                                    const std::vector<std::string>& inputs);

// True for "-" and for a destination that exists and is neither a regular
// file nor a directory (a FIFO, a device): OutputFile writes those in place
// and cannot seek back in them.
bool is_stream_target(const std::string& path);

// A buffered output to a new file (via a temporary one), written in place to
// standard output or another stream.
class OutputFile {
 public:
  // Creates the temporary file at once, so an unwritable destination is found
  // before any work. A symbolic link is followed: the file it names is the one
  // replaced. A destination that exists and is not a regular file (a FIFO, a
  // device such as /dev/null) is written in place, since renaming over it
  // would replace it by a regular file.
  static Result<OutputFile> open(const std::string& path);
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  // Removes the temporary file unless commit() succeeded.
  ~OutputFile();

  Status write(std::string_view bytes);
  // Overwrites bytes already written at `offset` (flushing first); a file only.
  Status write_at(std::uint64_t offset, std::string_view bytes);
  // Flushes, and for a file syncs it and renames it over the target.
  Status commit();
  const std::string& name() const { return name_; }
  // Standard output or a destination written in place: no seeking back, no
  // temporary file.
  bool is_stream() const { return temp_path_.empty(); }

 private:
  OutputFile(int fd, std::string name, std::string temp_path, std::string target = {});
  Status flush();
  // Writes `bytes` at the end of the file (or to standard output).
  Status write_through(std::string_view bytes);
  Status fail(std::string_view action, int error) const;

  Descriptor fd_;
  std::string name_;       // as the user gave it, for messages
  std::string temp_path_;  // empty when written in place (standard output, a FIFO, a device)
  std::string target_;     // what the temporary file is renamed to
  std::string buffer_;
  std::uint64_t written_ = 0;         // bytes handed to the file so far
  std::uint64_t writeback_from_ = 0;  // where the writeback not yet asked for starts
  bool committed_ = false;
};

}  // namespace tarvik::cli
