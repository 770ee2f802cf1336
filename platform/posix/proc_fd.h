#pragma once

#include <cstdio>

namespace cdcopy::posix {

// The /proc name of a descriptor: the very file it holds, for the calls that take only a name.
struct ProcFdName {
  explicit ProcFdName(int fd) { std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
  char path[32];
};

}  // namespace cdcopy::posix
