#include "platform/posix/posix_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "platform/posix/case_blind_path.h"
#include "platform/posix/drive_device.h"
#include "platform/posix/file_copy.h"
#include "platform/posix/roots.h"
#include "platform/posix/signals.h"
#include "platform/posix/terminal_box.h"

namespace cdcopy {

std::unique_ptr<Platform> MakeSystemPlatform(const char* driveRoot, const char* installDir) {
  auto platform = std::make_unique<posix::PosixPlatform>();
  platform->SetRoots(driveRoot, installDir);
  return platform;
}

namespace posix {

namespace {

// Owned by the owner of the folder it was made in, when root made it.
void GiveToFolderOwner(int dirFd, const char* name) {
  struct stat parent;
  if (geteuid() != 0 || fstat(dirFd, &parent) != 0) return;
  UniqueFd made(openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (made) {
    int ignored = fchown(made.Get(), parent.st_uid, parent.st_gid);
    (void)ignored;
  }
}

}  // namespace

}  // namespace posix

void StartProcess() {
  posix::StartProcess();
}

// The names as the kernel holds them: bytes, matched as UTF-8 where they are.
std::vector<std::string> Arguments(int argc, char** argv) {
  return {argv + (argc > 0 ? 1 : 0), argv + argc};
}

void ShowUsage(const char* text) {
  std::fputs(text, stderr);
}

namespace posix {

int PosixPlatform::MessageBoxA(const char* text, const char* caption, unsigned type) {
  int answer = TerminalMessageBox(text, caption, type, line_.IsOpen());
  // Answered: a disc may have gone into the drive, worth waiting for while it is mounted.
  roots_.wait.allowed = true;
  return answer;
}

bool PosixPlatform::CopyFileA(const char* existingFile, const char* newFile, bool failIfExists) {
  const DesktopProgress::Window shown = progress_.Show();
  return CopyWholeFile(existingFile, newFile, failIfExists, TempFileKind::UnnamedWherePossible,
                       CopyMethod::Clone, &roots_);
}

bool PosixPlatform::SetFileAttributesA(const char* path, std::uint32_t attributes) {
  EntryName name;
  bool exists = false;
  std::optional<ActingAsOwner> acting;
  UniqueFd dir = OpenInInstallation(roots_, path, name, &exists, acting);
  if (!dir || !exists) return false;
  // Only the file itself, held by a descriptor from the check to the change: a link planted in
  // the installation, even at the last moment, must not pass the change on.
  UniqueFd file(openat(dir.Get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!file || fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? ReadOnlyMode() : WritableMode();
  // An O_PATH descriptor takes no fchmod; its /proc entry is the very file it holds.
  if (chmod(ProcFdName(file.Get()).path, mode) == 0) return true;
  if (errno != ENOENT) return false;
  // No /proc (a chroot, a small container): the file opened anew, and changed only if it is
  // still the one looked at.
  UniqueFd opened(
      openat(dir.Get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat again;
  return opened && fstat(opened.Get(), &again) == 0 && again.st_ino == st.st_ino &&
         again.st_dev == st.st_dev && fchmod(opened.Get(), mode) == 0;
}

std::uint32_t PosixPlatform::GetFileAttributesA(const char* path) {
  EntryName name;
  bool exists = false;
  UniqueFd dir = OpenOnDisc(roots_, path, name, &exists);
  struct stat st;
  // Asked only of a disc's folders: a link there is not followed, so it is as good as nothing.
  if (!dir || !exists || fstatat(dir.Get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      S_ISLNK(st.st_mode)) {
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_READONLY;
}

bool PosixPlatform::CreateDirectoryA(const char* path) {
  EntryName name;
  bool exists = false;
  std::optional<ActingAsOwner> acting;
  UniqueFd dir = OpenInInstallation(roots_, path, name, &exists, acting);
  if (!dir || exists || mkdirat(dir.Get(), name, 0777) != 0) return false;
  // Made as the installation's owner, it is theirs already.
  if (!acting || !acting->Switched()) GiveToFolderOwner(dir.Get(), name);
  return true;
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
  // An absolute deadline keeps the whole pause however often a signal interrupts it; the mount
  // wait keeps to the same clock.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

void PosixPlatform::WriteStdout(const char* text) {
  std::fputs(text, stdout);
  line_.Wrote(text);
  progress_.Announce(text);
}

void PosixPlatform::FlushStdout() {
  std::fflush(stdout);
}

bool PosixPlatform::IsStdoutTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

void PosixPlatform::EndStdoutLine() {
  if (!line_.TakeEnd(IsStdoutTerminal())) return;
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

}  // namespace posix
}  // namespace cdcopy
