#include "platform/posix/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/case_blind_path.h"

namespace cdcopy::posix {

namespace {

// The last resort, when the kernel cannot copy between the two files itself.
bool CopyByReadWrite(int from, int to) {
  static char buffer[1 << 17];  // fixed, so no copy allocates
  for (;;) {
    ssize_t got = read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(to, buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return false;
      done += put;
    }
  }
}

bool CopyContents(int from, int to) {
  for (;;) {
    ssize_t copied = copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
    if (copied > 0) continue;
    if (copied == 0) return true;
    if (errno == EINTR) continue;
    // Another file system, or one that cannot do it: the offsets have moved with whatever was
    // copied, so the plain loop carries on from there.
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
      return CopyByReadWrite(from, to);
    }
    return false;
  }
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
  }

  int Fd() const { return fd_.Get(); }
  explicit operator bool() const { return static_cast<bool>(fd_); }

  bool Commit(const char* finalName) {
    if (!named_ && !LinkUnnamed()) return false;
    if (renameat(dirFd_, name_, dirFd_, finalName) != 0) return false;
    named_ = false;
    return true;
  }

 private:
  void NextName() {
    std::snprintf(name_, sizeof name_, ".cdcopy-%ld-%u.tmp", static_cast<long>(getpid()),
                  counter_++);
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
                   TempFileKind kind) {
  EntryName sourceName;
  bool sourceExists = false;
  UniqueFd sourceDir = OpenParent(source, sourceName, &sourceExists);
  if (!sourceDir || !sourceExists) return false;
  // Non-blocking, so that a FIFO in place of the file fails instead of waiting for a writer.
  UniqueFd from(openat(sourceDir.Get(), sourceName, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat sourceStat;
  if (!from || fstat(from.Get(), &sourceStat) != 0 || !S_ISREG(sourceStat.st_mode)) return false;

  EntryName targetName;
  bool targetExists = false;
  UniqueFd targetDir = OpenParent(destination, targetName, &targetExists);
  if (!targetDir) return false;
  struct stat targetStat;
  if (targetExists && fstatat(targetDir.Get(), targetName, &targetStat, AT_SYMLINK_NOFOLLOW) == 0) {
    if (failIfExists || S_ISDIR(targetStat.st_mode)) return false;
    // Judged from the mode, not access(): root may write anything, Windows still says no.
    if (S_ISREG(targetStat.st_mode) && !(targetStat.st_mode & S_IWUSR)) return false;
  }

  mode_t mode = (sourceStat.st_mode & S_IWUSR) ? 0666 : 0444;
  TempFile temp(targetDir.Get(), mode, kind);
  if (!temp || !CopyContents(from.Get(), temp.Fd())) return false;
  const timespec times[2] = {{0, UTIME_NOW}, sourceStat.st_mtim};
  futimens(temp.Fd(), times);
  return temp.Commit(targetName);
}

}  // namespace cdcopy::posix
