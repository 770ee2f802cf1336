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

constexpr DWORD kSmallestRead = 64 << 10, kLargestRead = 1 << 20;

// The stop is checked between reads, each kept short by NextReadSize.
bool CopyData(HANDLE from, HANDLE to, ULONGLONG expected) {
  static char buffer[kLargestRead];
  ULONGLONG total = 0;
  for (DWORD size = kSmallestRead;;) {
    if (Stopping()) return false;
    DWORD got = 0;
    const DWORD start = GetTickCount();
    if (!ReadFile(from, buffer, size, &got, nullptr)) return false;
    size = NextReadSize(size, GetTickCount() - start);
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

DWORD NextReadSize(DWORD size, DWORD tookMs) {
  if (tookMs < 20 && size < kLargestRead) return size * 2;
  if (tookMs > 100 && size > kSmallestRead) return size / 2;
  return size;
}

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
