// The platform on Windows: the seam's calls, each made with the W function it stands for. The
// concerns live beside this file, one each: UTF-16, long paths, the command line, the console
// handler, the retries, the temporary file, the copy, the drive's wait, the usage.
#include <windows.h>
// <windows.h> comes first so that its MB_*, ID* and FILE_ATTRIBUTE_* macros are the ones in use.
#include <io.h>

#include <cstdio>
#include <string>

#include "platform/open_line.h"
#include "platform/platform.h"
#include "platform/win32/command_line.h"
#include "platform/win32/console_control.h"
#include "platform/win32/drive_wait.h"
#include "platform/win32/file_copy.h"
#include "platform/win32/long_path.h"
#include "platform/win32/utf16.h"

namespace cdcopy {

namespace {

class Win32Platform final : public Platform {
 public:
  Win32Platform(const char* driveRoot, const char* installDir)
      : driveRoot_(driveRoot), installDir_(installDir) {}

  // Ctrl-C ends the process from the handler's thread once the copy in progress has stopped: the
  // run's own thread halts at the next thing it would print or show.
  int MessageBoxA(const char* text, const char* caption, unsigned type) override {
    win32::HaltIfStopped();
    int answer =
        ::MessageBoxW(nullptr, win32::Wide(text).c_str(), win32::Wide(caption).c_str(), type);
    win32::HaltIfStopped();
    return answer;
  }

  // A disc just put in the drive: a drive spinning it up is waited for.
  void PromptAnswered(bool goingAhead) override {
    if (goingAhead) win32::WaitWhileDriveNotReady(win32::Wide(driveRoot_.c_str()));
    win32::HaltIfStopped();
  }

  // Paths go to the system whole: "D:" with the names after it is the current folder of drive
  // D, as the user meant. Only a path under neither root is refused.
  bool CopyFileA(DiscPath existingFile, InstallPath newFile, bool failIfExists) override {
    if (!existingFile.IsUnder(driveRoot_) || !newFile.IsUnder(installDir_)) return Refused();
    bool copied = win32::CopyWholeFile(existingFile.full, newFile.full, failIfExists);
    win32::HaltIfStopped();
    return copied;
  }

  bool SetFileAttributesA(InstallPath path, std::uint32_t attributes) override {
    if (!path.IsUnder(installDir_)) return Refused();
    return ::SetFileAttributesW(win32::FilePath(path.full).c_str(), attributes) != FALSE;
  }

  std::uint32_t GetFileAttributesA(DiscPath path) override {
    if (!path.IsUnder(driveRoot_)) {
      Refused();
      return INVALID_FILE_ATTRIBUTES;
    }
    return ::GetFileAttributesW(win32::FilePath(path.full).c_str());
  }

  bool CreateDirectoryA(InstallPath path) override {
    if (!path.IsUnder(installDir_)) return Refused();
    return ::CreateDirectoryW(win32::FilePath(path.full).c_str(), nullptr) != FALSE;
  }

  void Sleep(std::uint32_t milliseconds) override {
    ::Sleep(milliseconds);
    win32::HaltIfStopped();
  }

  // The C runtime's stdout is in text mode: each "\n" reaches the console or file as CR LF.
  void WriteStdout(const char* text) override {
    win32::HaltIfStopped();
    std::fputs(text, stdout);
    line_.Wrote(text);
  }

  void FlushStdout() override { std::fflush(stdout); }

  bool IsStdoutTerminal() override { return _isatty(_fileno(stdout)) != 0; }

  void EndStdoutLine() override {
    win32::HaltIfStopped();
    if (!line_.TakeEnd(IsStdoutTerminal())) return;
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }

  // Windows' limit counts UTF-16 units.
  std::size_t PathLength(const char* path) override { return win32::Utf16Length(path); }

 private:
  static bool Refused() {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }

  const std::string driveRoot_, installDir_;
  OpenLine line_;
};

}  // namespace

// Drive letters have no mounts to follow, and a run's rights are its user's: the roots are kept
// to refuse a path under neither and to wait for a drive still spinning up.
std::unique_ptr<Platform> MakeSystemPlatform(const char* driveRoot, const char* installDir) {
  return std::make_unique<Win32Platform>(driveRoot, installDir);
}

void StartProcess() {
  // A drive without a disc, or one still spinning up, fails the call instead of showing the
  // system's own box: the run has its own answer to a missing disc. The first call reads the
  // flags already set, so that none of them is lost.
  UINT mode = SetErrorMode(0);
  SetErrorMode(mode | SEM_FAILCRITICALERRORS);
  win32::HandleConsoleControl();
}

std::vector<std::string> Arguments(int, char**) {
  return win32::CommandLineArguments(GetCommandLineW());
}

}  // namespace cdcopy
