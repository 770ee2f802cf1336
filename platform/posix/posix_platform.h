#pragma once

#include <chrono>

#include "platform/open_line.h"
#include "platform/platform.h"
#include "platform/posix/boxes/desktop_progress.h"
#include "platform/posix/copying/file_copy.h"
#include "platform/posix/reach/disc.h"
#include "platform/posix/reach/installation.h"

namespace cdcopy::posix {

// What tests choose; a run takes the defaults.
struct PlatformOptions {
  TempFileKind kind = TempFileKind::UnnamedWherePossible;
  CopyMethod first = CopyMethod::Clone;
  std::chrono::milliseconds mountWait = kMountWait;
};

// The platform of one run: the disc below the drive root, found anew at each call since discs
// change under it, and the installation below its folder, walked once when the run starts; each
// the one owner of its side. A path under neither is refused.
class PosixPlatform final : public Platform {
 public:
  PosixPlatform(const char* driveRoot, const char* installDir, PlatformOptions options = {});

  int MessageBoxA(const char* text, const char* caption, unsigned type) override;
  bool CopyFileA(DiscPath existingFile, InstallPath newFile, bool failIfExists) override;
  bool SetFileAttributesA(InstallPath path, std::uint32_t attributes) override;
  std::uint32_t GetFileAttributesA(DiscPath path) override;
  bool CreateDirectoryA(InstallPath path) override;
  void Sleep(std::uint32_t milliseconds) override;
  void PromptAnswered(bool goingAhead) override { disc_.PromptAnswered(goingAhead); }
  void ItemStarting(const char* progressLine) override { progress_.Starting(progressLine); }
  void WriteStdout(const char* text) override;
  void FlushStdout() override;
  bool IsStdoutTerminal() override;
  void EndStdoutLine() override;

 private:
  Credentials credentials_;  // first: the disc and the installation act through it
  Disc disc_;
  Installation installation_;
  DesktopUser desktop_;
  PlatformOptions options_;
  OpenLine line_;
  DesktopProgress progress_;
};

}  // namespace cdcopy::posix
