#pragma once

#include <sys/types.h>

#include <string>

#include "platform/open_line.h"
#include "platform/platform.h"
#include "platform/posix/desktop_progress.h"
#include "platform/posix/roots.h"

namespace cdcopy::posix {

class PosixPlatform final : public Platform {
 public:
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

  // The roots exactly as the user gave them; until then every path is taken on its own.
  void SetRoots(const char* driveRoot, const char* installDir) {
    roots_.drive = driveRoot;
    roots_.install = installDir;
  }

 private:
  Roots roots_;
  OpenLine line_;
  DesktopProgress progress_;
};

}  // namespace cdcopy::posix
