#include "platform/posix/copying/temp_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/proc_fd.h"
#include "platform/posix/process/signals.h"
#include "platform/temporary_name.h"

namespace cdcopy::posix {

namespace {

// Unnamed files get their name through /proc, which a chroot or a small container may lack.
bool ProcShowsFd(int fd) {
  struct stat through, held;
  return stat(ProcFdName(fd).path, &through) == 0 && fstat(fd, &held) == 0 &&
         through.st_ino == held.st_ino;
}

}  // namespace

bool TempFilesPossible(int dirFd) {
  UniqueFd list(openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int flags = 0;
  // No flags to read (a folder that may not be listed, or vfat, exfat, NTFS through FUSE):
  // nothing says no.
  if (!list || ioctl(list.Get(), FS_IOC_GETFLAGS, &flags) != 0) return true;
  return !(flags & (FS_APPEND_FL | FS_IMMUTABLE_FL));
}

void SweepLeftovers(int dirFd) {
  struct stat folder;
  UniqueFd listed(openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* dir = listed && fstat(dirFd, &folder) == 0 ? fdopendir(listed.Get()) : nullptr;
  if (!dir) return;
  listed.Release();  // the listing owns it now
  // In a sticky folder (/tmp) another user's file is theirs to remove, whoever may remove it.
  const uid_t acting = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
  while (const dirent* entry = readdir(dir)) {
    struct stat held, named;
    // Looked at before it is opened: only a regular file is ever opened, as on a disc.
    if (!IsTemporaryName(entry->d_name) ||
        fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(named.st_mode) || ((folder.st_mode & S_ISVTX) && named.st_uid != acting)) {
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

TemporaryFile::TemporaryFile(int dirFd, mode_t mode, TempFileKind kind, Credentials& credentials,
                             bool namedAsRun)
    : dirFd_(dirFd), credentials_(credentials) {
  if (kind == TempFileKind::UnnamedWherePossible) {
    fd_ = UniqueFd(openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (fd_ && ProcShowsFd(fd_.Get()) && Lock()) return;
    if (!fd_ && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return;
    fd_.Reset();
  }
  for (int attempt = 0; attempt < 100 && !fd_; ++attempt) {
    NextName();
    {
      // Registered only once this run has made it: a name another process made is never
      // removed.
      ActingAs maker(credentials_, namedAsRun ? Identity{} : credentials_.Current());
      SignalsHeld held;
      fd_ = UniqueFd(
          maker.Holds()
              ? openat(dirFd, name_, O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, mode)
              : -1);
      if (fd_ && !Register()) {
        unlinkat(dirFd_, name_, 0);
        fd_.Reset();
        return;
      }
    }
    if (!fd_ && errno != EEXIST) return;
    if (!fd_) continue;
    struct stat st;
    // Swept away as a leftover by another run in the moment before the lock: made anew.
    if (!Lock() || fstat(fd_.Get(), &st) != 0 || st.st_nlink == 0) {
      fd_.Reset();
      unlinkat(dirFd_, name_, 0);
      Unregister();
    }
  }
}

TemporaryFile::~TemporaryFile() {
  if (cleanup_ < 0) return;
  // The run's own name, still its own file: removed with the run's rights, since the file may be
  // handed over by now, where the identity could not (a sticky folder).
  struct stat held, named;
  ActingAs own(credentials_, Identity{});
  if (fd_ && fstat(fd_.Get(), &held) == 0 &&
      (fstatat(dirFd_, name_, &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_ino != held.st_ino ||
       named.st_dev != held.st_dev)) {
    Unregister();
    return;
  }
  unlinkat(dirFd_, name_, 0);
  Unregister();
}

// A name this run made, and only such a name, is registered for removal, in one of the few
// slots there are: a name the handler would not know is not kept.
bool TemporaryFile::Register() {
  cleanup_ = RegisterCleanup(RemoveOnSignal, this);
  return cleanup_ >= 0;
}

void TemporaryFile::Unregister() {
  UnregisterCleanup(cleanup_);
  cleanup_ = -1;
}

// In the handler: with the run's own rights, since the file may have been handed over to the
// folder's owner.
void TemporaryFile::RemoveOnSignal(void* self) {
  auto* file = static_cast<TemporaryFile*>(self);
  setfsuid(geteuid());
  setfsgid(getegid());
  unlinkat(file->dirFd_, file->name_, 0);
}

// A file system without locks (NFS without a lock service) cannot tell leftovers either, and
// sweeps nothing.
bool TemporaryFile::Lock() {
  int result;
  while ((result = flock(fd_.Get(), LOCK_EX)) != 0 && errno == EINTR) {
  }
  return result == 0 || errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;
}

void TemporaryFile::NextName() {
  std::snprintf(name_, sizeof name_, ".cdcopy-%ld-%u.tmp", static_cast<long>(getpid()), counter_++);
}

// rename() cannot take an unnamed file, so it gets a hidden name for the moment between, under
// the lock it has held since it was made.
bool TemporaryFile::LinkUnnamed() {
  const ProcFdName self(fd_.Get());
  // The file is the run's own, made in this folder as whom the run acts: naming it needs no
  // right over the folder that this identity lacks, only over a file it may no longer own.
  ActingAs own(credentials_, Identity{});
  if (!own.Holds()) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    NextName();
    SignalsHeld held;
    if (linkat(AT_FDCWD, self.path, dirFd_, name_, AT_SYMLINK_FOLLOW) == 0 ||
        linkat(fd_.Get(), "", dirFd_, name_, AT_EMPTY_PATH) == 0) {
      if (Register()) return true;
      unlinkat(dirFd_, name_, 0);
      return false;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool TemporaryFile::Commit(const char* finalName) {
  int synced;
  while ((synced = fdatasync(fd_.Get())) != 0 && errno == EINTR) {
  }
  if (synced != 0) return false;
  if (cleanup_ < 0 && !LinkUnnamed()) return false;
  // A second descriptor keeps the lock (it belongs to the open file, not to a descriptor) until
  // the file has its final name, while the first is closed and checked: a write error that the
  // file system reports only at close (NFS, quotas) fails the copy. An interrupted close has
  // still closed, and the data is on the disk already.
  UniqueFd held(fcntl(fd_.Get(), F_DUPFD_CLOEXEC, 0));
  if (!held || (close(fd_.Release()) != 0 && errno != EINTR)) return false;
  if (renameat(dirFd_, name_, dirFd_, finalName) != 0) return false;
  Unregister();
  // The rename made durable: by a sync of the folder, or, where the folder cannot be opened for
  // one (its owner may write and search it but not list it), of the whole file system. Some
  // file systems cannot sync a folder (EINVAL); they have nothing to sync there.
  UniqueFd dir(openat(dirFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir && (fsync(dir.Get()) == 0 || errno == EINVAL)) return true;
  return syncfs(held.Get()) == 0;
}

}  // namespace cdcopy::posix
