#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace cdcopy::posix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

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

inline std::string ReadWhole(const std::string& path,
                             std::size_t limit = static_cast<std::size_t>(-1)) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return ReadWhole(fd.Get(), limit);
}

// The /proc name of a descriptor: the very file it holds, for the calls that take only a name.
struct ProcFdName {
  explicit ProcFdName(int fd) { std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
  char path[32];
};

}  // namespace cdcopy::posix
