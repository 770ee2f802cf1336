#include "platform/posix/file_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/posix/case_blind_path.h"
#include "platform/posix/signals.h"

namespace cdcopy::posix {

namespace {

// Errors that say only that this way of copying is not available between these two files.
bool CannotCopyThisWay(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == ENOTTY || error == EBADF || error == EPERM;
}

enum class Outcome { Done, Failed, NotHere };

Outcome Clone(int from, int to) {
  if (ioctl(to, FICLONE, from) == 0) return Outcome::Done;
  return CannotCopyThisWay(errno) ? Outcome::NotHere : Outcome::Failed;
}

// copy_file_range and sendfile move both files' offsets by what they copied, so when one gives
// way the next carries on from there.
template <typename Step>
Outcome CopyInSteps(Step step) {
  for (;;) {
    ssize_t copied = step();
    if (copied > 0) continue;
    if (copied == 0) return Outcome::Done;
    if (errno == EINTR) continue;
    return CannotCopyThisWay(errno) ? Outcome::NotHere : Outcome::Failed;
  }
}

constexpr std::size_t kChunk = std::size_t{1} << 30;

Outcome KernelCopy(int from, int to) {
  return CopyInSteps([&] { return copy_file_range(from, nullptr, to, nullptr, kChunk, 0); });
}

Outcome Sendfile(int from, int to) {
  return CopyInSteps([&] { return sendfile(to, from, nullptr, kChunk); });
}

// The last resort, through a buffer fixed in size so that no copy allocates.
Outcome ReadWrite(int from, int to) {
  static char buffer[1 << 17];
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
  }
}

bool CopyContents(int from, int to, CopyMethod first) {
  using Way = Outcome (*)(int, int);
  constexpr Way ways[] = {Clone, KernelCopy, Sendfile, ReadWrite};
  for (auto i = static_cast<std::size_t>(first); i < std::size(ways); ++i) {
    Outcome outcome = ways[i](from, to);
    if (outcome != Outcome::NotHere) return outcome == Outcome::Done;
  }
  return false;
}

// A file in the destination's directory that only a successful Commit makes visible under the
// destination's name. Unnamed (O_TMPFILE) where the file system allows, so a killed process
// leaves nothing behind.
class TempFile {
 public:
  TempFile(int dirFd, mode_t mode, TempFileKind kind) : dirFd_(dirFd) {
    if (kind == TempFileKind::UnnamedWherePossible) {
      fd_ = UniqueFd(openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
      if (fd_) return;
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return;
    }
    for (int attempt = 0; attempt < 100 && !fd_; ++attempt) {
      NextName();
      fd_ = UniqueFd(openat(dirFd, name_, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode));
      if (!fd_ && errno != EEXIST) return;
    }
    named_ = static_cast<bool>(fd_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (named_) unlinkat(dirFd_, name_, 0);
    ClearPendingTemp();
  }

  int Fd() const { return fd_.Get(); }
  explicit operator bool() const { return static_cast<bool>(fd_); }

  // Durable before it is visible: the data reaches the disk before the rename, and the rename
  // before the copy is reported made, so a power cut leaves the earlier copy or this one,
  // whole, and never an empty file.
  bool Commit(const char* finalName) {
    if (fdatasync(fd_.Get()) != 0) return false;
    if (!named_ && !LinkUnnamed()) return false;
    // A write error that the file system reports only now (NFS, quotas) fails the copy.
    if (close(fd_.Release()) != 0) return false;
    if (renameat(dirFd_, name_, dirFd_, finalName) != 0) return false;
    named_ = false;
    ClearPendingTemp();
    UniqueFd dir(openat(dirFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot sync a directory (EINVAL); they have nothing to sync there.
    return dir && (fsync(dir.Get()) == 0 || errno == EINVAL);
  }

 private:
  // Named before the file is made: a signal then removes it, and removing a name that was
  // never made is harmless.
  void NextName() {
    std::snprintf(name_, sizeof name_, ".cdcopy-%ld-%u.tmp", static_cast<long>(getpid()),
                  counter_++);
    SetPendingTemp(dirFd_, name_);
  }

  // rename() cannot take an unnamed file, so it gets a hidden name for the moment between.
  bool LinkUnnamed() {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_.Get());
    for (int attempt = 0; attempt < 100; ++attempt) {
      NextName();
      if (linkat(AT_FDCWD, self, dirFd_, name_, AT_SYMLINK_FOLLOW) == 0 ||
          linkat(fd_.Get(), "", dirFd_, name_, AT_EMPTY_PATH) == 0) {
        named_ = true;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  int dirFd_;
  UniqueFd fd_;
  bool named_ = false;
  unsigned counter_ = 0;
  char name_[64] = {};
};

}  // namespace

bool CopyWholeFile(const char* source, const char* destination, bool failIfExists,
                   TempFileKind kind, CopyMethod first) {
  EntryName sourceName;
  bool sourceExists = false;
  UniqueFd sourceDir = OpenParent(source, sourceName, &sourceExists, DriveRootLength(source));
  if (!sourceDir || !sourceExists) return false;
  // Non-blocking, so that a FIFO in place of the file fails instead of waiting for a writer;
  // never through a link, which could lead outside the disc.
  UniqueFd from(
      openat(sourceDir.Get(), sourceName, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat sourceStat;
  if (!from || fstat(from.Get(), &sourceStat) != 0 || !S_ISREG(sourceStat.st_mode)) return false;

  EntryName targetName;
  bool targetExists = false;
  UniqueFd targetDir = OpenParent(destination, targetName, &targetExists);
  struct stat dirStat;
  if (!targetDir || fstat(targetDir.Get(), &dirStat) != 0) return false;
  // A new file belongs to whoever owns its folder, a replaced one keeps its owner: a copy made
  // by root must not lock the installation's owner out of the next run.
  uid_t owner = dirStat.st_uid;
  gid_t group = dirStat.st_gid;
  struct stat targetStat;
  if (targetExists && fstatat(targetDir.Get(), targetName, &targetStat, AT_SYMLINK_NOFOLLOW) == 0) {
    if (failIfExists || S_ISDIR(targetStat.st_mode)) return false;
    // Judged from the mode, not access(): root may write anything, Windows still says no.
    if (S_ISREG(targetStat.st_mode) && !(targetStat.st_mode & S_IWUSR)) return false;
    if (S_ISREG(targetStat.st_mode)) {
      owner = targetStat.st_uid;
      group = targetStat.st_gid;
    }
  }

  mode_t mode = (sourceStat.st_mode & S_IWUSR) ? 0666 : 0444;
  TempFile temp(targetDir.Get(), mode, kind);
  if (!temp || !CopyContents(from.Get(), temp.Fd(), first)) return false;
  // A disc that ends early without a read error (a cut-short image) is not a whole copy.
  struct stat copied;
  if (fstat(temp.Fd(), &copied) != 0 || copied.st_size != sourceStat.st_size) return false;
  if (geteuid() == 0 && (owner != 0 || group != 0) && fchown(temp.Fd(), owner, group) != 0) {
    return false;
  }
  const timespec times[2] = {{0, UTIME_NOW}, sourceStat.st_mtim};
  futimens(temp.Fd(), times);
  return temp.Commit(targetName);
}

}  // namespace cdcopy::posix
