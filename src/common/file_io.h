// Files and descriptors: whole-file reads, complete writes, and saving a
// file so that a failure never destroys what was there.
//
// Errors are kIo values whose message is the text users see after the
// caller's prefix: "{system description} (os error {errno})" with the errno
// and the path in the Error's own fields, "failed to write whole buffer" for
// a write that accepts nothing, "file name contained an unexpected NUL byte".
//
// Interruption (PEP 475 style): a blocking open, read, write or fsync that
// fails with EINTR calls `on_interrupt`; when it returns true the operation
// stops with Error::interrupted(), otherwise (or without a callback) the call
// is retried. A caller that runs its signal handlers in the callback thus
// lets a handler's exception win, and a FIFO without a peer can be left with
// Ctrl-C. Reading also polls `on_interrupt` every kPollBytes, so an endless
// file (/dev/zero) can be stopped too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/byte_buffer.h"
#include "common/result.h"
#include "tarvik/callbacks.h"

namespace tarvik {

inline constexpr std::size_t kPollBytes = std::size_t{8} << 20;

// "{description} (os error {err})", the description as strerror gives it.
std::string os_error_text(int err);
// Error::io(os_error_text(err), err, path).
Error os_error(int err, std::string path = {});

// Writes all of `data` to `fd`, continuing after partial writes.
Status write_all(int fd, std::string_view data, const CancelCheck& on_interrupt = {});

// The whole content of the file at `path`, read until end of file (the
// buffer is sized from the file's length where the file system reports one).
Result<detail::ByteBuffer> read_file(const std::string& path, const CancelCheck& on_interrupt = {});

// Makes the file at `path` hold exactly `data`, so that a failure leaves the
// old file whole:
// - a regular file (or a path that does not exist yet) is replaced through a
//   temporary file in the same directory, fsync'd and renamed over it; the
//   new file keeps the old one's owner where allowed and its permission bits
//   (0666 minus the umask for a new file); a symlink keeps pointing at the
//   replaced file;
// - FIFOs, devices and other non-regular files are written in place;
// - a writable regular file in a directory where no temporary file may be
//   created is overwritten in place, but only after the space for the new
//   content has been reserved: when it cannot be, the save is refused with
//   the system's error and the old file is left untouched.
Status save_file(const std::string& path, std::string_view data,
                 const CancelCheck& on_interrupt = {});

}  // namespace tarvik
