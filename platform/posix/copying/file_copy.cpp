#include "platform/posix/copying/file_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/posix/copying/write_behind.h"

namespace cdcopy::posix {

namespace {

// Errors that say only that this way of copying is not available between these two files.
bool CannotCopyThisWay(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == ENOTTY || error == EBADF || error == EPERM;
}

enum class Outcome { Done, Failed, NotHere };

Outcome Clone(int from, int to) {
  int result;
  while ((result = ioctl(to, FICLONE, from)) != 0 && errno == EINTR) {
  }
  if (result == 0) return Outcome::Done;
  return CannotCopyThisWay(errno) ? Outcome::NotHere : Outcome::Failed;
}

// copy_file_range and sendfile move both files' offsets by what they copied, so when one gives
// way the next carries on from there. They go a window at a time, still within the kernel.
template <typename Step>
Outcome CopyInSteps(Step step, WriteBehind& behind) {
  behind.Start();
  for (;;) {
    ssize_t copied = step();
    if (copied > 0) {
      behind.Copied();
      continue;
    }
    if (copied == 0) return Outcome::Done;
    if (errno == EINTR) continue;
    return CannotCopyThisWay(errno) ? Outcome::NotHere : Outcome::Failed;
  }
}

constexpr std::size_t kChunk = WriteBehind::kWindow;

Outcome KernelCopy(int from, int to, WriteBehind& behind) {
  return CopyInSteps([&] { return copy_file_range(from, nullptr, to, nullptr, kChunk, 0); },
                     behind);
}

Outcome Sendfile(int from, int to, WriteBehind& behind) {
  return CopyInSteps([&] { return sendfile(to, from, nullptr, kChunk); }, behind);
}

// The last resort, through a buffer fixed in size so that no copy allocates.
Outcome ReadWrite(int from, int to, WriteBehind& behind) {
  static char buffer[1 << 17];
  behind.Start();
  for (;;) {
    ssize_t got = read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Outcome::Failed;
    if (got == 0) return Outcome::Done;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(to, buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return Outcome::Failed;
      done += put;
    }
    behind.Copied();
  }
}

// A clone shares the source's blocks: nothing to write behind.
Outcome Clone(int from, int to, WriteBehind&) {
  return Clone(from, to);
}

bool CopyContents(int from, int to, CopyMethod first) {
  using Way = Outcome (*)(int, int, WriteBehind&);
  constexpr Way ways[] = {Clone, KernelCopy, Sendfile, ReadWrite};
  WriteBehind behind(from, to);
  for (auto i = static_cast<std::size_t>(first); i < std::size(ways); ++i) {
    Outcome outcome = ways[i](from, to, behind);
    if (outcome != Outcome::NotHere) return outcome == Outcome::Done;
  }
  return false;
}

}  // namespace

bool CopyFileInto(int from, const struct stat& source, int dirFd, const char* name, bool exists,
                  bool failIfExists, Credentials& credentials, const HandOver& handOver,
                  TempFileKind kind, CopyMethod first) {
  struct stat target;
  if (exists && fstatat(dirFd, name, &target, AT_SYMLINK_NOFOLLOW) == 0) {
    if (failIfExists || S_ISDIR(target.st_mode)) return false;
    // Judged from the mode, not access(): root may write anything, Windows still says no.
    if (S_ISREG(target.st_mode) && !(target.st_mode & S_IWUSR)) return false;
  }
  if (!TempFilesPossible(dirFd)) return false;
  SweepLeftovers(dirFd);
  // Where what is made is handed over, a named file is made with the run's own rights once the
  // identity is seen to be allowed to make it.
  const MayMake may = handOver.needed ? MayMakeIn(dirFd) : MayMake::CannotTell;
  if (may == MayMake::No) return false;
  TemporaryFile temp(dirFd, 0600, kind, credentials, may == MayMake::Yes);
  if (!temp || !handOver.To(credentials, temp.File()) || !CopyContents(from, temp.File(), first)) {
    return false;
  }
  // A disc that ends early without a read error (a cut-short image) is not a whole copy.
  struct stat copied;
  if (fstat(temp.File(), &copied) != 0 || copied.st_size != source.st_size) return false;
  // Writable whatever the disc's file was, as the attribute reset leaves it, and set before the
  // copy can be seen, through the file itself, which may have been handed over already.
  {
    ActingAs own(credentials, Identity{});
    if (!own.Holds() || fchmod(temp.File(), WritableMode()) != 0) return false;
    const timespec times[2] = {{0, UTIME_NOW}, source.st_mtim};
    futimens(temp.File(), times);
  }
  return temp.Commit(name);
}

namespace {

// It can only be read by setting it; the run has one thread.
mode_t CurrentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

mode_t WritableMode() {
  return (0666 & ~CurrentUmask()) | 0600;
}

mode_t FolderMode() {
  return 0777 & ~CurrentUmask();
}

mode_t ReadOnlyMode() {
  return 0444 & ~CurrentUmask();
}

}  // namespace cdcopy::posix
