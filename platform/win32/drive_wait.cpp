#include "platform/win32/drive_wait.h"

#include <windows.h>

#include "platform/win32/console_control.h"
#include "platform/win32/long_path.h"

namespace cdcopy::win32 {

void WaitWhileDriveNotReady(const std::wstring& driveRoot) {
  constexpr DWORD kBound = 10000, kStep = 250;
  const std::wstring root = FilePath(driveRoot);
  if (root.empty()) return;
  for (DWORD waited = 0; waited < kBound; waited += kStep) {
    if (::GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES ||
        GetLastError() != ERROR_NOT_READY || !PauseUnlessStopped(kStep)) {
      return;
    }
  }
}

}  // namespace cdcopy::win32
