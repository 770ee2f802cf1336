#pragma once

#include <chrono>

#include "platform/open_line.h"
#include "platform/platform.h"
#include "platform/posix/disc.h"
#include "platform/posix/file_copy.h"
#include "platform/posix/installation.h"

namespace cdcopy::posix {

// What tests choose; a run takes the defaults.
struct PlatformOptions {
  TempFileKind kind = TempFileKind::UnnamedWherePossible;
  CopyMethod first = CopyMethod::Clone;
  std::chrono::milliseconds mountWait = kMountWait;
};

// The platform of one run: the disc below the drive root, the installation below its folder,
// each opened once and the one owner of its side. A path under neither is refused.
class PosixPlatform final : public Platform {
 public:
  PosixPlatform(const char* driveRoot, const char* installDir, PlatformOptions options = {});

  int MessageBoxA(const char* text, const char* caption, unsigned type) override;
  bool CopyFileA(const char* existingFile, const char* newFile, bool failIfExists) override;
  bool SetFileAttributesA(const char* path, std::uint32_t attributes) override;
  std::uint32_t GetFileAttributesA(const char* path) override;
  bool CreateDirectoryA(const char* path) override;
  void Sleep(std::uint32_t milliseconds) override;
  void WriteStdout(const char* text) override;
  void FlushStdout() override;
  bool IsStdoutTerminal() override;
  void EndStdoutLine() override;

 private:
  Disc disc_;
  Installation installation_;
  PlatformOptions options_;
  OpenLine line_;
};

// The box drawn on the terminal, without the line that waits for the key. `columns` is the
// terminal's width.
std::string DrawMessageBox(const char* text, const char* caption, unsigned type, int columns);

// Shows the box on /dev/tty and waits for its answer. With no terminal, a desktop dialog where
// there is one; else 0, and what the box said goes to standard error, on a line of its own
// when `lineOpen` (a progress line left open on standard output).
int TerminalMessageBox(const char* text, const char* caption, unsigned type, bool lineOpen = false);

inline bool HasCancel(unsigned type) {
  return (type & MB_TYPEMASK) == MB_OKCANCEL;
}

// The box as a dialog window through zenity or kdialog, on a graphical session; its answer, or
// kNoDialog.
inline constexpr int kNoDialog = -1;
int DesktopDialog(const char* text, const char* caption, unsigned type);

}  // namespace cdcopy::posix
