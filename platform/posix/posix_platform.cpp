#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/posix/boxes/terminal_box.h"
#include "platform/posix/proc_fd.h"
#include "platform/posix/process/signals.h"

namespace cdcopy {

std::unique_ptr<Platform> MakeSystemPlatform(const char* driveRoot, const char* installDir) {
  return std::make_unique<posix::PosixPlatform>(driveRoot, installDir);
}

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

namespace {

// Nothing in it but "." and "..": a folder just made, not one swapped in.
bool IsEmptyFolder(int fd) {
  UniqueFd listed(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  DIR* listing = listed ? fdopendir(listed.Get()) : nullptr;
  if (!listing) return false;
  listed.Release();  // the listing owns it now
  int entries = 0;
  while (const dirent* entry = readdir(listing)) {
    entries += std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0;
  }
  closedir(listing);
  return entries == 0;
}

}  // namespace

PosixPlatform::PosixPlatform(const char* driveRoot, const char* installDir, PlatformOptions options)
    : disc_(driveRoot, credentials_, options.mountWait),
      installation_(installDir, credentials_),
      desktop_(credentials_, installation_.Owner()),
      options_(options) {}

int PosixPlatform::MessageBoxA(const char* text, const char* caption, unsigned type) {
  progress_.Caption(caption);
  return TerminalMessageBox(text, caption, type, desktop_, line_.IsOpen());
}

bool PosixPlatform::CopyFileA(DiscPath existingFile, InstallPath newFile, bool failIfExists) {
  const DesktopProgress::Window shown = progress_.Show(desktop_);
  disc_.WhileWaiting([&shown](bool waiting) { shown.Waiting(waiting); });
  struct stat source;
  UniqueFd from = disc_.OpenFile(existingFile, source);
  disc_.WhileWaiting(nullptr);
  Installation::Place place;
  if (!from || !installation_.Find(newFile, place)) return false;
  ActingAs acting(credentials_, place.who);
  return acting.Holds() &&
         CopyFileInto(from.Get(), source, place.dir.Get(), place.name, place.exists, failIfExists,
                      credentials_, place.handOver, options_.kind, options_.first);
}

bool PosixPlatform::SetFileAttributesA(InstallPath path, std::uint32_t attributes) {
  Installation::Place place;
  if (!installation_.Find(path, place) || !place.exists) return false;
  ActingAs acting(credentials_, place.who);
  if (!acting.Holds()) return false;
  // Only the file itself, held by a descriptor from the check to the change: a link planted in
  // the installation, even at the last moment, must not pass the change on.
  UniqueFd file(openat(place.dir.Get(), place.name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!file || fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? ReadOnlyMode() : WritableMode();
  // An O_PATH descriptor takes no fchmod; its /proc entry is the very file it holds.
  if (chmod(ProcFdName(file.Get()).path, mode) == 0) return true;
  if (errno != ENOENT) return false;
  // No /proc (a chroot, a small container): the file opened anew, and changed only if it is
  // still the one looked at.
  UniqueFd opened(openat(place.dir.Get(), place.name,
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat again;
  return opened && fstat(opened.Get(), &again) == 0 && again.st_ino == st.st_ino &&
         again.st_dev == st.st_dev && fchmod(opened.Get(), mode) == 0;
}

std::uint32_t PosixPlatform::GetFileAttributesA(DiscPath path) {
  return disc_.Attributes(path);
}

bool PosixPlatform::CreateDirectoryA(InstallPath path) {
  Installation::Place place;
  if (!installation_.Find(path, place) || place.exists) return false;
  ActingAs acting(credentials_, place.who);
  if (!acting.Holds()) return false;
  if (!place.handOver.needed) return mkdirat(place.dir.Get(), place.name, FolderMode()) == 0;
  // Made for its owner-to-be: with the run's own rights where the identity is seen to be allowed
  // to make it (no one sharing the identity can reach it then), else as the identity; shut to
  // all until handed over, through the folder itself, reopened and checked to be the one made.
  const MayMake may = MayMakeIn(place.dir.Get());
  if (may == MayMake::No) return false;
  const Identity maker = may == MayMake::Yes ? Identity{} : place.who;
  UniqueFd made;
  {
    ActingAs making(credentials_, maker);
    if (!making.Holds() || mkdirat(place.dir.Get(), place.name, 0700) != 0) return false;
    made = UniqueFd(openat(place.dir.Get(), place.name,
                           O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
  }
  // The run acts in it as it acted here, so those it acts for fill it: a group's members, or
  // anyone in a folder anyone may write. Both could replace it anyway.
  struct stat st, parent;
  HandOver handOver = place.handOver;
  mode_t audience = 0;
  if (place.who.kind == Identity::Kind::Group) {
    handOver.gid = place.who.gid;
    audience = S_IWGRP;
  } else if (fstat(place.dir.Get(), &parent) == 0 &&
             (parent.st_mode & (S_IWOTH | S_ISVTX)) == S_IWOTH) {
    audience = S_IWOTH;
  }
  const uid_t makerUid = maker.kind == Identity::Kind::Caller ? credentials_.RunUid() : maker.uid;
  if (!made || fstat(made.Get(), &st) != 0 || st.st_uid != makerUid || !IsEmptyFolder(made.Get()) ||
      !handOver.To(credentials_, made.Get())) {
    return false;
  }
  ActingAs own(credentials_, Identity{});
  return own.Holds() && fchmod(made.Get(), FolderMode() | audience | (st.st_mode & S_ISGID)) == 0;
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
