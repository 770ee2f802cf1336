// The platform on Windows: every call goes straight to the ANSI Win32 function of the same name.
// The paths are passed exactly as the run composed them; the Windows file system and CopyFileA
// already give the contract the run expects (case-blind names, whole-file copies).
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

#include "platform/platform.h"

namespace cdcopy {

namespace {

class Win32Platform final : public Platform {
 public:
  int MessageBoxA(const char* text, const char* caption, unsigned type) override {
    return ::MessageBoxA(nullptr, text, caption, type);
  }

  bool CopyFileA(const char* existingFile, const char* newFile, bool failIfExists) override {
    return ::CopyFileA(existingFile, newFile, failIfExists ? TRUE : FALSE) != FALSE;
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
  void WriteStdout(const char* text) override { std::fputs(text, stdout); }

  void FlushStdout() override { std::fflush(stdout); }

  bool IsStdoutTerminal() override { return _isatty(_fileno(stdout)) != 0; }
};

}  // namespace

Platform& SystemPlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace cdcopy
