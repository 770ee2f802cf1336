// The platform on Windows: the calls go to the ANSI Win32 functions of the same names, with the
// paths exactly as the run composed them. CopyFileA alone is built here rather than forwarded,
// because the bare call overwrites the earlier copy as it goes.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// <windows.h> comes first so that its MB_*, ID* and FILE_ATTRIBUTE_* macros are the ones in use.
#include <io.h>

#include <cstdio>
#include <cstring>

#include "platform/open_line.h"
#include "platform/platform.h"

// The C runtime would expand '*' and '?' in the arguments where this is nonzero, and a MinGW
// built with --enable-wildcard makes that its default: the two paths must arrive as typed.
extern "C" {
int _dowildcard = 0;
}

namespace cdcopy {

namespace {

// The copy in progress, shared with the console control handler, which runs on a thread of
// its own when the console is closed or Ctrl-C is pressed.
volatile LONG gStopCopying = 0;
HANDLE gCopyEnded = nullptr;  // set while no copy is in progress

BOOL WINAPI OnConsoleControl(DWORD) {
  InterlockedExchange(&gStopCopying, 1);
  // Give a copy in progress the time to remove its temporary file; Windows allows a closing
  // console's handler five seconds in all.
  if (gCopyEnded) WaitForSingleObject(gCopyEnded, 4000);
  return FALSE;  // then end the process as the default handler does
}

// Where the copy is made before it takes the destination's name: beside it, so that the move
// is a rename within one folder.
bool TemporaryName(const char* destination, unsigned attempt, char (&name)[MAX_PATH]) {
  const char* slash = std::strrchr(destination, '\\');
  const char* other = std::strrchr(destination, '/');
  if (!slash || (other && other > slash)) slash = other;
  int folder = slash ? static_cast<int>(slash - destination + 1) : 0;
  int length = std::snprintf(name, sizeof name, "%.*s.cdcopy-%lu-%u.tmp", folder, destination,
                             GetCurrentProcessId(), attempt);
  return length > 0 && length < static_cast<int>(sizeof name);
}

bool CopyData(HANDLE from, HANDLE to, ULONGLONG expected) {
  static char buffer[1 << 20];
  ULONGLONG total = 0;
  for (;;) {
    if (gStopCopying) return false;
    DWORD got = 0;
    if (!ReadFile(from, buffer, sizeof buffer, &got, nullptr)) return false;
    if (got == 0) break;
    DWORD put = 0;
    if (!WriteFile(to, buffer, got, &put, nullptr) || put != got) return false;
    total += got;
  }
  // A disc that ends early without a read error (a cut-short image) is not a whole copy.
  return total == expected;
}

class Win32Platform final : public Platform {
 public:
  int MessageBoxA(const char* text, const char* caption, unsigned type) override {
    return ::MessageBoxA(nullptr, text, caption, type);
  }

  // Whole or nothing, as the run expects of it: the data goes into a temporary file beside the
  // destination, is flushed to the disk, and replaces the destination in one move only when
  // every byte is there. A read-only destination is refused, as by the bare call.
  bool CopyFileA(const char* existingFile, const char* newFile, bool failIfExists) override {
    DWORD target = ::GetFileAttributesA(newFile);
    if (target != INVALID_FILE_ATTRIBUTES &&
        (failIfExists || (target & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))) {
      return false;
    }
    HANDLE from = CreateFileA(existingFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (from == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION source;
    bool copied = GetFileInformationByHandle(from, &source) &&
                  !(source.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                  CopyToTemporary(from, source, newFile);
    CloseHandle(from);
    return copied;
  }

  bool SetFileAttributesA(const char* path, std::uint32_t attributes) override {
    return ::SetFileAttributesA(path, attributes) != FALSE;
  }

  std::uint32_t GetFileAttributesA(const char* path) override { return ::GetFileAttributesA(path); }

  bool CreateDirectoryA(const char* path) override {
    return ::CreateDirectoryA(path, nullptr) != FALSE;
  }

  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

  // The C runtime's stdout is in text mode: each "\n" reaches the console or file as CR LF.
  void WriteStdout(const char* text) override {
    std::fputs(text, stdout);
    line_.Wrote(text);
  }

  void FlushStdout() override { std::fflush(stdout); }

  bool IsStdoutTerminal() override { return _isatty(_fileno(stdout)) != 0; }

  void EndStdoutLine() override {
    if (!line_.TakeEnd(IsStdoutTerminal())) return;
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }

 private:
  OpenLine line_;

  static bool CopyToTemporary(HANDLE from, const BY_HANDLE_FILE_INFORMATION& source,
                              const char* destination) {
    char temp[MAX_PATH];
    HANDLE to = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && to == INVALID_HANDLE_VALUE; ++attempt) {
      if (!TemporaryName(destination, attempt, temp)) return false;
      to = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
      if (to == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (to == INVALID_HANDLE_VALUE) return false;
    if (gCopyEnded) ResetEvent(gCopyEnded);
    const ULONGLONG size =
        (static_cast<ULONGLONG>(source.nFileSizeHigh) << 32) | source.nFileSizeLow;
    bool done = CopyData(from, to, size) &&
                SetFileTime(to, nullptr, nullptr, &source.ftLastWriteTime) && FlushFileBuffers(to);
    done = CloseHandle(to) && done && !gStopCopying &&
           MoveFileExA(temp, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!done) DeleteFileA(temp);
    if (gCopyEnded) SetEvent(gCopyEnded);
    return done;
  }
};

}  // namespace

Platform& SystemPlatform() {
  static Win32Platform platform;
  return platform;
}

void StartProcess() {
  // A drive without a disc, or one still spinning up, fails the call instead of showing the
  // system's own box: the run has its own answer to a missing disc. The first call reads the
  // flags already set, so that none of them is lost.
  UINT mode = SetErrorMode(0);
  SetErrorMode(mode | SEM_FAILCRITICALERRORS);
  gCopyEnded = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

// Windows resolves both roots itself: drive letters have no mounts to follow, and a run's
// rights are its user's.
void SetRoots(const char*, const char*) {}

void ShowUsage(const char* text) {
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) {
    ::MessageBoxA(nullptr, text, "cdcopy", MB_OK | MB_ICONINFORMATION);
  } else {
    std::fputs(text, stderr);
  }
}

}  // namespace cdcopy
