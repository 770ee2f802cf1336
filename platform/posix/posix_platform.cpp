#include "platform/posix/posix_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "platform/posix/case_blind_path.h"
#include "platform/posix/file_copy.h"

namespace cdcopy {

Platform& SystemPlatform() {
  static posix::PosixPlatform platform;
  return platform;
}

namespace posix {

PosixPlatform::PosixPlatform() : umask_(::umask(0)) {
  ::umask(umask_);
  // A standard descriptor left closed by whoever started us would be handed to the next file
  // opened, where a flush of standard output could land: fill the gap with /dev/null.
  while (fcntl(STDERR_FILENO, F_GETFD) < 0 || fcntl(STDOUT_FILENO, F_GETFD) < 0 ||
         fcntl(STDIN_FILENO, F_GETFD) < 0) {
    if (open("/dev/null", O_RDWR) < 0) break;
  }
  // A closed pipe on standard output must not end the run before its copies are made.
  std::signal(SIGPIPE, SIG_IGN);
}

int PosixPlatform::MessageBoxA(const char* text, const char* caption, unsigned type) {
  return TerminalMessageBox(text, caption, type);
}

bool PosixPlatform::CopyFileA(const char* existingFile, const char* newFile, bool failIfExists) {
  return CopyWholeFile(existingFile, newFile, failIfExists);
}

bool PosixPlatform::SetFileAttributesA(const char* path, std::uint32_t attributes) {
  EntryName name;
  bool exists = false;
  UniqueFd dir = OpenParent(path, name, &exists);
  if (!dir || !exists) return false;
  // Only the file itself: a link planted in the installation must not pass the change on.
  struct stat st;
  if (fstatat(dir.Get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  return fchmodat(dir.Get(), name, mode & ~umask_, 0) == 0;
}

std::uint32_t PosixPlatform::GetFileAttributesA(const char* path) {
  EntryName name;
  bool exists = false;
  UniqueFd dir = OpenParent(path, name, &exists);
  struct stat st;
  if (!dir || !exists || fstatat(dir.Get(), name, &st, 0) != 0) return INVALID_FILE_ATTRIBUTES;
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_READONLY;
}

bool PosixPlatform::CreateDirectoryA(const char* path) {
  EntryName name;
  bool exists = false;
  UniqueFd dir = OpenParent(path, name, &exists);
  if (!dir || exists) return false;
  return mkdirat(dir.Get(), name, 0777) == 0;
}

void PosixPlatform::Sleep(std::uint32_t milliseconds) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  // An absolute deadline keeps the whole pause however often a signal interrupts it.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

void PosixPlatform::WriteStdout(const char* text) {
  std::fputs(text, stdout);
}

void PosixPlatform::FlushStdout() {
  std::fflush(stdout);
}

bool PosixPlatform::IsStdoutTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

}  // namespace posix
}  // namespace cdcopy
