#pragma once

#include <sys/types.h>

#include <string>

#include "platform/platform.h"

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

 private:
  bool lineOpen_ = false;
};

// The box drawn on the terminal, without the line that waits for the key. `columns` is the
// terminal's width.
std::string DrawMessageBox(const char* text, const char* caption, unsigned type, int columns);

// Shows the box on /dev/tty and waits for its answer; 0 when there is no terminal.
int TerminalMessageBox(const char* text, const char* caption, unsigned type);

}  // namespace cdcopy::posix
