#include "platform/win32/file_copy.h"

#include <windows.h>

#include "platform/win32/console_control.h"
#include "platform/win32/long_path.h"
#include "platform/win32/patiently.h"
#include "platform/win32/temporary_file.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/utf16.h"

namespace cdcopy::win32 {

namespace {

// 64 KiB a read: a slow drive's read of it takes a fraction of a second, so that Ctrl-C stops
// the copy at once.
bool CopyData(HANDLE from, HANDLE to, ULONGLONG expected) {
  static char buffer[64 << 10];
  ULONGLONG total = 0;
  for (;;) {
    if (Stopping()) return false;
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

bool CopyToTemporary(HANDLE from, const BY_HANDLE_FILE_INFORMATION& source,
                     const std::wstring& destination) {
  CopyInProgress inProgress;
  if (Stopping()) return false;
  // "C:name" is in drive C:'s current folder: its folder is "C:".
  const std::size_t cut = destination.find_last_of(L"\\/:") + 1;
  const std::wstring folder = destination.substr(0, cut);
  SweepLeftovers(folder);
  TemporaryFile temporary(folder);
  if (!temporary) return false;
  HANDLE to = temporary.File();
  const ULONGLONG size = (static_cast<ULONGLONG>(source.nFileSizeHigh) << 32) | source.nFileSizeLow;
  return CopyData(from, to, size) && SetFileTime(to, nullptr, nullptr, &source.ftLastWriteTime) &&
         temporary.Commit(destination.substr(cut));
}

}  // namespace

bool CopyWholeFile(const char* existingFile, const char* newFile, bool failIfExists) {
  const std::wstring destination = Wide(newFile), source = FilePath(existingFile);
  if (destination.empty() || source.empty()) return false;
  DWORD target = ::GetFileAttributesW(FilePath(destination).c_str());
  if (target != INVALID_FILE_ATTRIBUTES &&
      (failIfExists || (target & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))) {
    return false;
  }
  // Waited for while a scanner holds it, as the installation's files are; a folder opens (and is
  // refused below) rather than answering access denied, which would be waited for.
  UniqueHandle<> from;
  if (!Patiently([&] {
        from.Reset(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return static_cast<bool>(from);
      })) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(from.Get(), &info) &&
         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
         CopyToTemporary(from.Get(), info, destination);
}

}  // namespace cdcopy::win32
