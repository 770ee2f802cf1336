// A whole file read into memory: the account files, the mount table, the X authority file.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

// What the descriptor holds, from its start (the same descriptor may be read again, as a mount
// table is; a pipe from where it stands), up to about `limit` bytes: a file named by someone
// else may be endless.
inline std::string ReadWhole(int fd, std::size_t limit = static_cast<std::size_t>(-1)) {
  std::string text;
  char buffer[8192];
  for (off_t at = 0; fd >= 0 && text.size() < limit;) {
    ssize_t got = pread(fd, buffer, sizeof buffer, at);
    if (got < 0 && errno == ESPIPE) got = read(fd, buffer, sizeof buffer);  // a pipe
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    at += got;
  }
  return text;
}

// A file named by someone else: opened without waiting, so that a FIFO with no writer reads as
// empty instead of hanging, and read only if it is a file or a pipe (a shell's process
// substitution), never a device.
inline std::string ReadWhole(const std::string& path,
                             std::size_t limit = static_cast<std::size_t>(-1)) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd || fstat(fd.Get(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) ||
      fcntl(fd.Get(), F_SETFL, 0) != 0) {
    return "";
  }
  return ReadWhole(fd.Get(), limit);
}

}  // namespace cdcopy::posix
