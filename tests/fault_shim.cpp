// Preloaded into cdcopy by the fault tests to make faults that a test cannot make otherwise:
// a disc that cannot be read past some offset, file systems that refuse one way of copying or
// unnamed temporary files, and a copy slow enough to be interrupted. Set by the environment:
//   CDCOPY_SHIM_SOURCE=NAME   the source file the faults apply to (its name on the disc; under
//                             Wine, whose server opens files, its absolute path)
//   CDCOPY_SHIM_EIO_AT=N      reading it at offset N or beyond fails with EIO
//   CDCOPY_SHIM_EOF_AT=N      reading it ends at offset N, without an error
//   CDCOPY_SHIM_FAIL=LIST     any of fdatasync, close: the sync of the source's copy, or its
//                             close after the sync, fails with EIO; flock: every lock fails
//                             with ENOLCK; getflags: a folder's flags cannot be read (ENOTTY);
//                             xattr: no extended attribute can be read (EIO)
//   CDCOPY_SHIM_REFUSE=LIST   any of clone, copy_file_range, sendfile, tmpfile: refused as a
//                             file system that cannot do them refuses them
//   CDCOPY_SHIM_DELAY_US=N    each step of copying the source moves 64 KiB and takes N us more
//   CDCOPY_SHIM_STARTED=PATH  made when the source's copy has begun
//   CDCOPY_SHIM_TERM_AT_CREATE=1  as a named temporary file is about to be made, another
//                             process makes that name, and SIGTERM arrives
//   CDCOPY_SHIM_SIGNAL_AT_NAME=N  signal N raised just after a temporary file gets its name
//                             (linkat, or openat with O_EXCL), before the call returns
//   CDCOPY_SHIM_SWAP_AT_OPEN=NAME  once, .swap in NAME's folder is renamed over NAME: just
//                             before NAME is opened O_PATH, just after it is opened otherwise
//   CDCOPY_SHIM_DRIVE_STATUS=N[,M...]  what an optical drive answers to CDROM_DRIVE_STATUS,
//                             call after call, the last one from then on
//   CDCOPY_SHIM_VIRTUAL_TIME=1  nothing waits: a pause, or a wait on the mount table with nothing
//                             mounted, moves the monotonic clock on instead, and each is logged
//                             as "sleep N ms" or "mount wait N s"
//   CDCOPY_SHIM_HOLD_FD=N     descriptor N (a socket of the test's) is told, one message each,
//                             what the run is about to do, and the run waits for a byte back
//                             before doing it: "key" (a box waits for a key with none typed),
//                             "sleep" (a pause), "mount" (a wait for a disc has lasted 2 s of
//                             virtual time), "copy" (a copy of the source begins), "rename" (a
//                             temporary file takes its name). Not passed on to other programs.
//   CDCOPY_SHIM_SWAP_AT_CHANGE=NAME  once NAME has been opened O_PATH, .swap in its folder is
//                             renamed over it just before the next change of a mode
//   CDCOPY_SHIM_TERM_AT_RESTORE=1  SIGTERM raised once, as a terminal's line mode is put back
//   CDCOPY_SHIM_LOG=PATH      one line per way of copying the source used, per fault made, per
//                             read-ahead, sync_file_range, fdatasync, linkat, renameat and fsync
//                             seen, and for the source opened for reading (each line once)
//   CDCOPY_SHIM_CALLS=1       every read-ahead and sync_file_range logged instead, each time, with
//                             its offset and length in KiB and its advice or flags
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int sourceFd = -1;
int targetFd = -1;  // where the source's data last went: the copy's temporary file
int syncedFd = -1;
const char* logged[8];

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool Listed(const char* variable, const char* what) {
  const char* list = std::getenv(variable);
  return list && std::strstr(list, what);
}

bool Refused(const char* what) {
  return Listed("CDCOPY_SHIM_REFUSE", what);
}

// Writes `text` to the file at `path`, made where it is missing; at its end with O_APPEND.
void Write(const char* path, const char* text, int flags = 0) {
  int fd = path ? Real<int (*)(int, const char*, int, ...)>("openat")(
                      AT_FDCWD, path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644)
                : -1;
  if (fd < 0) return;
  ssize_t put = Real<ssize_t (*)(int, const void*, size_t)>("write")(fd, text, strlen(text));
  (void)put;
  Real<int (*)(int)>("close")(fd);
}

// With the process's own rights: a root run may be acting as someone who may not write the log.
void Append(const char* line) {
  const int acting = setfsuid(geteuid());
  Write(std::getenv("CDCOPY_SHIM_LOG"), line, O_APPEND);
  setfsuid(static_cast<uid_t>(acting));
}

void Log(const char* line) {
  for (const char*& slot : logged) {
    if (slot == line) return;
    if (!slot) {
      slot = line;
      break;
    }
  }
  Append(line);
}

// The test's socket, where one holds the run at each step it takes part in.
int holdFd = -1;

__attribute__((constructor)) void TakeHold() {
  if (const char* fd = std::getenv("CDCOPY_SHIM_HOLD_FD")) {
    holdFd = std::atoi(fd);
    fcntl(holdFd, F_SETFD, FD_CLOEXEC);
    unsetenv("CDCOPY_SHIM_HOLD_FD");
  }
}

// Tells the test what is about to happen and waits for its go-ahead, where a test holds the run.
void Hold(const char* what) {
  if (holdFd < 0) return;
  char go;
  ssize_t got = -1;
  if (Real<ssize_t (*)(int, const void*, size_t)>("write")(holdFd, what, strlen(what)) > 0) {
    while ((got = Real<ssize_t (*)(int, void*, size_t)>("read")(holdFd, &go, 1)) < 0 &&
           errno == EINTR) {
    }
  }
  if (got != 1) holdFd = -1;  // the test is gone: nothing is held from now on
}

// Fails the call with `error`, logging `line` where there is one.
int Fail(int error, const char* line = nullptr) {
  if (line) Log(line);
  errno = error;
  return -1;
}

bool begun = false;  // the source's copy, since it was opened

void CopyBegins() {
  if (!begun) Hold("copy");
  begun = true;
}

// Cuts a step of `wanted` bytes at the source's `offset` to what may go ahead; false, with
// errno set, for a step that must fail.
bool Limit(long long offset, size_t& wanted, const char* way, const char* eio, const char* eof) {
  Log(way);
  CopyBegins();
  if (const char* delay = std::getenv("CDCOPY_SHIM_DELAY_US")) {
    if (const char* started = std::getenv("CDCOPY_SHIM_STARTED")) Write(started, "");
    usleep(static_cast<useconds_t>(std::atoll(delay)));
    wanted = std::min<size_t>(wanted, 65536);
  }
  if (const char* at = std::getenv("CDCOPY_SHIM_EIO_AT")) {
    long long limit = std::atoll(at);
    if (offset >= limit) {
      Log(eio);
      errno = EIO;
      return false;
    }
    wanted = static_cast<size_t>(std::min<long long>(wanted, limit - offset));
  }
  if (const char* at = std::getenv("CDCOPY_SHIM_EOF_AT")) {
    long long end = std::atoll(at);
    if (offset >= end) {
      Log(eof);
      wanted = 0;
      return true;
    }
    wanted = static_cast<size_t>(std::min<long long>(wanted, end - offset));
  }
  return true;
}

// Virtual time: how far the monotonic clock has been moved on, and by the mount wait under
// way on the mount table `tableFd`.
long long skippedNs = 0;
long long mountWaitMs = 0;
int tableFd = -1;

bool VirtualTime() {
  return std::getenv("CDCOPY_SHIM_VIRTUAL_TIME");
}

long long Ns(const timespec& t) {
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void LogWait(const char* what, long long amount) {
  static char line[64];
  std::snprintf(line, sizeof line, what, amount);
  Append(line);
}

// A mount wait ends when its table is closed, or when the run ends.
__attribute__((destructor)) void ReportMountWait() {
  if (mountWaitMs > 0) LogWait("mount wait %lld s\n", (mountWaitMs + 500) / 1000);
  mountWaitMs = 0;
}

// Where CDCOPY_SHIM_SWAP_AT_CHANGE's name was opened O_PATH: the next change of a mode swaps.
int swapDir = -1;
bool swapped = false;

void SwapBeforeChange() {
  if (swapDir == -1 || swapped) return;
  Real<int (*)(int, const char*, int, const char*)>("renameat")(
      swapDir, ".swap", swapDir, std::getenv("CDCOPY_SHIM_SWAP_AT_CHANGE"));
  swapped = true;
}

// The source by descriptor, or by its inode where someone else opened it.
bool IsSource(int fd) {
  const char* source = std::getenv("CDCOPY_SHIM_SOURCE");
  struct stat opened, named;
  return fd == sourceFd ||
         (source && source[0] == '/' && fstat(fd, &opened) == 0 && stat(source, &named) == 0 &&
          opened.st_ino == named.st_ino && opened.st_dev == named.st_dev);
}

void RaiseAtName(const char* name) {
  const char* signal = std::getenv("CDCOPY_SHIM_SIGNAL_AT_NAME");
  if (signal && std::strncmp(name, ".cdcopy-", 8) == 0) raise(std::atoi(signal));
}

long long Offset(int fd, const loff_t* given) {
  return given ? *given : lseek(fd, 0, SEEK_CUR);
}

}  // namespace

extern "C" {

int openat(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | __O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if ((flags & O_TMPFILE) == O_TMPFILE && Refused("tmpfile")) return Fail(EOPNOTSUPP);
  if ((flags & O_EXCL) && std::strncmp(path, ".cdcopy-", 8) == 0 &&
      std::getenv("CDCOPY_SHIM_TERM_AT_CREATE")) {
    int made = Real<int (*)(int, const char*, int, ...)>("openat")(dir, path, flags, 0644);
    if (made >= 0) Real<ssize_t (*)(int, const void*, size_t)>("write")(made, "another's", 9);
    raise(SIGTERM);
  }
  static const char* swap = std::getenv("CDCOPY_SHIM_SWAP_AT_OPEN");
  auto swapAfter = [&](bool after) {
    if (swap && std::strcmp(path, swap) == 0 && !(flags & O_PATH) == after) {
      Real<int (*)(int, const char*, int, const char*)>("renameat")(dir, ".swap", dir, path);
      swap = nullptr;
    }
  };
  swapAfter(false);
  static const char* swapAtChange = std::getenv("CDCOPY_SHIM_SWAP_AT_CHANGE");
  if (swapAtChange && (flags & O_PATH) && std::strcmp(path, swapAtChange) == 0) swapDir = dir;
  const char* source = std::getenv("CDCOPY_SHIM_SOURCE");
  if (source && std::strcmp(path, source) == 0 && !(flags & O_PATH)) Log("source opened\n");
  int fd = Real<int (*)(int, const char*, int, ...)>("openat")(dir, path, flags, mode);
  swapAfter(true);
  if (fd >= 0 && (flags & O_EXCL)) {
    if (setfsuid(static_cast<uid_t>(-1)) != static_cast<int>(geteuid()))
      Log("named by another identity\n");
    RaiseAtName(path);
  }
  if (fd >= 0 && source && std::strcmp(path, source) == 0) {
    sourceFd = fd;
    begun = false;
  }
  return fd;
}

int close(int fd) {
  if (fd == sourceFd) sourceFd = -1;
  if (fd == tableFd) {
    ReportMountWait();
    tableFd = -1;
  }
  int result = Real<int (*)(int)>("close")(fd);
  if (fd == syncedFd) {
    syncedFd = -1;
    if (result == 0 && Listed("CDCOPY_SHIM_FAIL", "close")) return Fail(EIO, "close EIO\n");
  }
  return result;
}

int fdatasync(int fd) {
  Log("fdatasync\n");
  if (fd != targetFd) return Real<int (*)(int)>("fdatasync")(fd);
  syncedFd = fd;
  if (Listed("CDCOPY_SHIM_FAIL", "fdatasync")) return Fail(EIO, "fdatasync EIO\n");
  return Real<int (*)(int)>("fdatasync")(fd);
}

// One line per call where CDCOPY_SHIM_CALLS asks for them, else `once`, logged once.
void LogCall(const char* once, const char* call, off64_t offset, off64_t length, const char* how) {
  if (!std::getenv("CDCOPY_SHIM_CALLS")) {
    if (*once) Log(once);
    return;
  }
  char line[128];
  std::snprintf(line, sizeof line, "%s %lld+%lld%s\n", call, static_cast<long long>(offset >> 10),
                static_cast<long long>(length >> 10), how);
  Append(line);
}

int sync_file_range(int fd, off64_t offset, off64_t length, unsigned flags) {
  LogCall(
      "sync_file_range\n", "sync_file_range", offset, length,
      flags == SYNC_FILE_RANGE_WRITE ? " write"
      : flags == (SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER)
          ? " wait"
          : " other");
  return Real<int (*)(int, off64_t, off64_t, unsigned)>("sync_file_range")(fd, offset, length,
                                                                           flags);
}

int posix_fadvise(int fd, off_t offset, off_t length, int advice) {
  LogCall(advice == POSIX_FADV_WILLNEED ? "read ahead\n" : "", "read ahead", offset, length,
          advice == POSIX_FADV_WILLNEED ? "" : " other advice");
  return Real<int (*)(int, off_t, off_t, int)>("posix_fadvise")(fd, offset, length, advice);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  Log("renameat\n");
  Hold("rename");
  return Real<int (*)(int, const char*, int, const char*)>("renameat")(fromDir, from, toDir, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  Log("linkat\n");
  int result = Real<int (*)(int, const char*, int, const char*, int)>("linkat")(fromDir, from,
                                                                                toDir, to, flags);
  if (result == 0) RaiseAtName(to);
  return result;
}

int flock(int fd, int operation) {
  if (Listed("CDCOPY_SHIM_FAIL", "flock")) return Fail(ENOLCK, "flock ENOLCK\n");
  return Real<int (*)(int, int)>("flock")(fd, operation);
}

// What a root run makes is handed over through its descriptor alone, never by a name.
int fchownat(int dir, const char* path, uid_t uid, gid_t gid, int flags) {
  Log("chown by name\n");
  return Real<int (*)(int, const char*, uid_t, gid_t, int)>("fchownat")(dir, path, uid, gid, flags);
}
int chown(const char* path, uid_t uid, gid_t gid) {
  return fchownat(AT_FDCWD, path, uid, gid, 0);
}
int lchown(const char* path, uid_t uid, gid_t gid) {
  return fchownat(AT_FDCWD, path, uid, gid, AT_SYMLINK_NOFOLLOW);
}

ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
  if (Listed("CDCOPY_SHIM_FAIL", "xattr")) return Fail(EIO);
  return Real<ssize_t (*)(int, const char*, void*, size_t)>("fgetxattr")(fd, name, value, size);
}

int chmod(const char* path, mode_t mode) {
  SwapBeforeChange();
  return Real<int (*)(const char*, mode_t)>("chmod")(path, mode);
}
int fchmodat(int dir, const char* path, mode_t mode, int flags) {
  SwapBeforeChange();
  return Real<int (*)(int, const char*, mode_t, int)>("fchmodat")(dir, path, mode, flags);
}
int fchmod(int fd, mode_t mode) {
  SwapBeforeChange();
  return Real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int syncfs(int fd) {
  Log("syncfs\n");
  return Real<int (*)(int)>("syncfs")(fd);
}

int fsync(int fd) {
  Log("fsync\n");
  return Real<int (*)(int)>("fsync")(fd);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == CDROM_DRIVE_STATUS) {
    if (const char* status = std::getenv("CDCOPY_SHIM_DRIVE_STATUS")) {
      Log("drive status\n");
      static int calls = 0;
      for (int i = 0; i < calls && std::strchr(status, ','); ++i)
        status = std::strchr(status, ',') + 1;
      ++calls;
      return std::atoi(status);
    }
  }
  if (request == FS_IOC_GETFLAGS && Listed("CDCOPY_SHIM_FAIL", "getflags")) {
    return Fail(ENOTTY, "getflags ENOTTY\n");
  }
  if (request == FICLONE) {
    if (Refused("clone")) return Fail(EOPNOTSUPP);
    // A clone takes the whole file at once, so a fault anywhere in it fails the clone.
    if (static_cast<int>(reinterpret_cast<long>(arg)) == sourceFd) {
      targetFd = fd;
      Log("clone\n");
      CopyBegins();
      if (std::getenv("CDCOPY_SHIM_EIO_AT")) return Fail(EIO, "clone EIO\n");
    }
  }
  return Real<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, arg);
}

ssize_t copy_file_range(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                        unsigned flags) {
  if (Refused("copy_file_range")) return Fail(EXDEV);
  if (in == sourceFd) {
    targetFd = out;
    if (!Limit(Offset(in, inOffset), length, "copy_file_range\n", "copy_file_range EIO\n",
               "copy_file_range EOF\n")) {
      return -1;
    }
  }
  return Real<ssize_t (*)(int, loff_t*, int, loff_t*, size_t, unsigned)>("copy_file_range")(
      in, inOffset, out, outOffset, length, flags);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  if (Refused("sendfile")) return Fail(EINVAL);
  if (in == sourceFd) {
    targetFd = out;
    if (!Limit(Offset(in, offset), count, "sendfile\n", "sendfile EIO\n", "sendfile EOF\n")) {
      return -1;
    }
  }
  return Real<ssize_t (*)(int, int, off_t*, size_t)>("sendfile")(out, in, offset, count);
}

int tcsetattr(int fd, int when, const termios* settings) {
  static bool raised = false;
  if (!raised && (settings->c_lflag & ICANON) && std::getenv("CDCOPY_SHIM_TERM_AT_RESTORE")) {
    raised = true;
    raise(SIGTERM);
  }
  return Real<int (*)(int, int, const termios*)>("tcsetattr")(fd, when, settings);
}

int clock_gettime(clockid_t clock, timespec* now) {
  int result = Real<int (*)(clockid_t, timespec*)>("clock_gettime")(clock, now);
  if (result == 0 && clock == CLOCK_MONOTONIC && skippedNs) {
    long long at = Ns(*now) + skippedNs;
    now->tv_sec = at / 1000000000LL;
    now->tv_nsec = at % 1000000000LL;
  }
  return result;
}

int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain) {
  if (!VirtualTime() || clock != CLOCK_MONOTONIC) {
    return Real<int (*)(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep")(
        clock, flags, request, remain);
  }
  long long wanted = Ns(*request);
  if (flags & TIMER_ABSTIME) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    wanted -= Ns(now);
  }
  if (wanted > 0) skippedNs += wanted;
  LogWait("sleep %lld ms\n", (wanted + 500000) / 1000000);
  Hold("sleep");
  return 0;
}

// The mount table is the one thing polled for an exceptional condition; a box's keys the one
// thing waited for without end.
int poll(pollfd* fds, nfds_t count, int timeout) {
  auto real = Real<int (*)(pollfd*, nfds_t, int)>("poll");
  if (timeout < 0 && holdFd >= 0 && real(fds, count, 0) == 0) Hold("key");
  if (!VirtualTime() || timeout <= 0 || count != 1 || fds[0].events != POLLPRI) {
    return real(fds, count, timeout);
  }
  int ready = real(fds, count, 0);
  if (ready == 0) {
    tableFd = fds[0].fd;
    skippedNs += timeout * 1000000LL;
    const bool mountDue = mountWaitMs < 2000 && mountWaitMs + timeout >= 2000;
    mountWaitMs += timeout;
    if (mountDue) Hold("mount");
  }
  return ready;
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
  if (IsSource(fd) && !Limit(offset, count, "pread\n", "pread EIO\n", "pread EOF\n")) return -1;
  return Real<ssize_t (*)(int, void*, size_t, off64_t)>("pread64")(fd, buffer, count, offset);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  return pread64(fd, buffer, count, offset);
}

ssize_t read(int fd, void* buffer, size_t count) {
  if (IsSource(fd) && !Limit(Offset(fd, nullptr), count, "read\n", "read EIO\n", "read EOF\n")) {
    return -1;
  }
  return Real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, count);
}

}  // extern "C"
