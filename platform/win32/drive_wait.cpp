#include "platform/win32/drive_wait.h"

#include "platform/win32/long_path.h"

namespace cdcopy::win32 {

void WaitWhileDriveNotReady(const std::wstring& driveRoot) {
  const std::wstring root = FilePath(driveRoot);
  if (root.empty()) return;
  WaitWhileNotReady(
      [&root]() -> DWORD {
        return ::GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES ? ERROR_SUCCESS
                                                                             : GetLastError();
      },
      10000, 250);
}

}  // namespace cdcopy::win32
