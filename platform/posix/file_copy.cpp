#include "platform/posix/file_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
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
#include "platform/posix/write_behind.h"

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

bool IsOurTemporaryName(const char* name) {
  auto digits = [](const char*& at) {
    const char* begin = at;
    while (*at >= '0' && *at <= '9') ++at;
    return at > begin;
  };
  if (std::strncmp(name, ".cdcopy-", 8) != 0) return false;
  const char* at = name + 8;
  if (!digits(at) || *at++ != '-' || !digits(at)) return false;
  return std::strcmp(at, ".tmp") == 0;
}

// Each named temporary file is held under an exclusive lock while its copy is made, so one that
// can be locked was left by a run that ended without removing it (killed, or a power cut on a
// file system without unnamed files).
void SweepLeftovers(UniqueFd list, int dirFd) {
  DIR* dir = fdopendir(list.Get());
  if (!dir) return;
  list.Release();
  while (const dirent* entry = readdir(dir)) {
    struct stat held, named;
    // Looked at before it is opened: only a regular file is ever opened, as on a disc.
    if (!IsOurTemporaryName(entry->d_name) ||
        fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(named.st_mode)) {
      continue;
    }
    UniqueFd file(
        openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file && fstat(file.Get(), &held) == 0 && S_ISREG(held.st_mode) &&
        flock(file.Get(), LOCK_EX | LOCK_NB) == 0 &&
        fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_ino == held.st_ino && named.st_dev == held.st_dev) {
      unlinkat(dirFd, entry->d_name, 0);
    }
  }
  closedir(dir);
}

// Where the folder's flags say a new name there could never be removed or renamed, nothing is
// begun: each attempt would leave a full-size temporary file behind.
bool RenamesPossible(int listFd) {
  int flags = 0;
  if (listFd < 0 || ioctl(listFd, FS_IOC_GETFLAGS, &flags) != 0) return true;
  return !(flags & (FS_APPEND_FL | FS_IMMUTABLE_FL));
}

// Unnamed files get their name through /proc, which a chroot or a small container may lack.
bool ProcShowsFd(int fd) {
  struct stat through, held;
  return stat(ProcFdName(fd).path, &through) == 0 && fstat(fd, &held) == 0 &&
         through.st_ino == held.st_ino;
}

// A file in the destination's directory that only a successful Commit makes visible under the
// destination's name. Unnamed (O_TMPFILE) where the file system allows, so a killed process
// leaves nothing behind; a named one is locked while it is in use.
class TempFile {
 public:
  TempFile(int dirFd, mode_t mode, TempFileKind kind) : dirFd_(dirFd) {
    if (kind == TempFileKind::UnnamedWherePossible) {
      fd_ = UniqueFd(openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
      if (fd_ && ProcShowsFd(fd_.Get())) {
        Lock();
        return;
      }
      if (!fd_ && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return;
      fd_.Reset();
    }
    for (int attempt = 0; attempt < 100 && !fd_; ++attempt) {
      NextName();
      fd_ = UniqueFd(openat(dirFd, name_, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode));
      if (!fd_ && errno != EEXIST) return;
      struct stat st;
      // Swept away as a leftover by another run in the moment before the lock: made anew.
      if (fd_ && (!Lock() || fstat(fd_.Get(), &st) != 0 || st.st_nlink == 0)) fd_.Reset();
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
    int synced;
    while ((synced = fdatasync(fd_.Get())) != 0 && errno == EINTR) {
    }
    if (synced != 0) return false;
    if (!named_ && !LinkUnnamed()) return false;
    // A write error that the file system reports only now (NFS, quotas) fails the copy. An
    // interrupted close has still closed, and the data is on the disk already.
    if (close(fd_.Release()) != 0 && errno != EINTR) return false;
    if (renameat(dirFd_, name_, dirFd_, finalName) != 0) return false;
    named_ = false;
    ClearPendingTemp();
    UniqueFd dir(openat(dirFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot sync a directory (EINVAL); they have nothing to sync there.
    return dir && (fsync(dir.Get()) == 0 || errno == EINVAL);
  }

 private:
  // A file system without locks cannot tell leftovers either, and sweeps nothing.
  bool Lock() {
    int result;
    while ((result = flock(fd_.Get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    return result == 0 || errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;
  }

  // Named before the file is made: a signal then removes it, and removing a name that was
  // never made is harmless.
  void NextName() {
    std::snprintf(name_, sizeof name_, ".cdcopy-%ld-%u.tmp", static_cast<long>(getpid()),
                  counter_++);
    SetPendingTemp(dirFd_, name_);
  }

  // rename() cannot take an unnamed file, so it gets a hidden name for the moment between.
  bool LinkUnnamed() {
    const ProcFdName self(fd_.Get());
    for (int attempt = 0; attempt < 100; ++attempt) {
      NextName();
      if (linkat(AT_FDCWD, self.path, dirFd_, name_, AT_SYMLINK_FOLLOW) == 0 ||
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

// A disc's file, looked at before it is opened: a device node or a FIFO is never opened, as
// opening one can have effects of its own. The entry opened must be the one looked at.
UniqueFd OpenRegularFile(int dirFd, const char* name, struct stat& st) {
  struct stat looked;
  if (fstatat(dirFd, name, &looked, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(looked.st_mode)) {
    return UniqueFd();
  }
  // Non-blocking and never through a link, should the entry change in between.
  UniqueFd file(openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (!file || fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != looked.st_ino ||
      st.st_dev != looked.st_dev) {
    return UniqueFd();
  }
  return file;
}

}  // namespace

bool CopyWholeFile(const char* source, const char* destination, bool failIfExists,
                   TempFileKind kind, CopyMethod first, Roots* known) {
  Roots unknown;
  Roots& roots = known ? *known : unknown;
  EntryName sourceName;
  bool sourceExists = false;
  UniqueFd sourceDir = OpenOnDisc(roots, source, sourceName, &sourceExists);
  if (!sourceDir || !sourceExists) return false;
  struct stat sourceStat;
  UniqueFd from = OpenRegularFile(sourceDir.Get(), sourceName, sourceStat);
  if (!from) return false;

  // From here on, the installation's side, with no more rights than its owner has.
  EntryName targetName;
  bool targetExists = false;
  std::optional<ActingAsOwner> acting;
  UniqueFd targetDir = OpenInInstallation(roots, destination, targetName, &targetExists, acting);
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

  UniqueFd list(openat(targetDir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!RenamesPossible(list.Get())) return false;
  if (list) SweepLeftovers(std::move(list), targetDir.Get());
  TempFile temp(targetDir.Get(), 0600, kind);
  if (!temp || !CopyContents(from.Get(), temp.Fd(), first)) return false;
  // A disc that ends early without a read error (a cut-short image) is not a whole copy.
  struct stat copied;
  if (fstat(temp.Fd(), &copied) != 0 || copied.st_size != sourceStat.st_size) return false;
  if (geteuid() == 0 && (copied.st_uid != owner || copied.st_gid != group)) {
    // Only the file this run made and holds is given away, so root's rights are safe here.
    const bool switched = acting && acting->Switched();
    if (switched) acting->Suspend();
    bool given = fchown(temp.Fd(), owner, group) == 0;
    if (switched) acting->Resume();
    // Nothing more is done with root's rights, should they not be set aside again.
    if (!given || (switched && !acting->Switched())) return false;
  }
  // Writable whatever the disc's file was, as the attribute reset leaves it, and set before the
  // copy can be seen, through the file itself.
  if (fchmod(temp.Fd(), WritableMode()) != 0) return false;
  const timespec times[2] = {{0, UTIME_NOW}, sourceStat.st_mtim};
  futimens(temp.Fd(), times);
  return temp.Commit(targetName);
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

mode_t ReadOnlyMode() {
  return 0444 & ~CurrentUmask();
}

}  // namespace cdcopy::posix
