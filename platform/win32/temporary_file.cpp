#include "platform/win32/temporary_file.h"

#include "platform/temporary_name.h"
#include "platform/win32/console_control.h"
#include "platform/win32/long_path.h"
#include "platform/win32/patiently.h"

namespace cdcopy::win32 {

namespace {

// Written out here: std::to_wstring would bring the C runtime's whole printf into the program.
std::wstring Decimal(unsigned long value) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
  } while (value /= 10);
  return digits;
}

// Vista's calls, looked up rather than imported, so that the program still starts on XP.
template <typename Call>
Call Vista(const char* name) {
  return reinterpret_cast<Call>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}
using FinalPathCall = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
using SetInformationCall = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
const FinalPathCall gFinalPath = Vista<FinalPathCall>("GetFinalPathNameByHandleW");
const SetInformationCall gSetInformation = Vista<SetInformationCall>("SetFileInformationByHandle");

// The name of what the handle opened, as the system resolves it; "" if it cannot say.
std::wstring FinalPath(HANDLE handle) {
  std::wstring path(32768, L'\0');
  DWORD length = gFinalPath(handle, path.data(), static_cast<DWORD>(path.size()), 0);
  path.resize(length < path.size() ? length : 0);
  return path;
}

}  // namespace

// A run killed mid-copy (ended from Task Manager, a crash, a power cut) leaves its temporary
// file behind. It is removed through the handle that was checked to be the entry itself: under
// Wine a Unix link is no reparse point, and deleting the file opened through it would delete
// the file it leads to.
void SweepLeftovers(const std::wstring& folder) {
  std::wstring here;
  if (gFinalPath && gSetInformation) {
    // "." names the folder itself, "C:" included (drive C:'s current folder), but a \\?\ name
    // is taken as written, with no "." resolved: there the folder's own name, backslash and all.
    const std::wstring self = folder.starts_with(L"\\\\?\\") ? folder : folder + L".";
    const UniqueHandle<> opened(CreateFileW(FilePath(self).c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
    if (!opened) return;
    here = FinalPath(opened.Get());
    if (here.empty()) return;
    if (here.back() != L'\\') here += L'\\';
  }
  WIN32_FIND_DATAW found;
  const UniqueFindHandle find(FindFirstFileW(FilePath(folder + L".cdcopy-*.tmp").c_str(), &found));
  if (!find) return;
  do {
    // The pattern also matches short 8.3 names: the long name is checked.
    if (!IsTemporaryName(found.cFileName) ||
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      continue;
    }
    // XP has neither call, nor links to files: there it goes as the handle closes.
    const DWORD onClose = here.empty() ? FILE_FLAG_DELETE_ON_CLOSE : 0;
    const UniqueHandle<> leftover(CreateFileW(FilePath(folder + found.cFileName).c_str(), DELETE, 0,
                                              nullptr, OPEN_EXISTING,
                                              onClose | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!leftover) continue;
    if (!onClose && FinalPath(leftover.Get()) == here + found.cFileName) {
      BOOLEAN remove = TRUE;  // FILE_DISPOSITION_INFO
      gSetInformation(leftover.Get(), 4 /* FileDispositionInfo */, &remove, sizeof remove);
    }
  } while (FindNextFileW(find.Get(), &found));
}

TemporaryFile::TemporaryFile(const std::wstring& folder) : folder_(folder) {
  for (unsigned attempt = 0; attempt < 100 && !handle_; ++attempt) {
    name_ = FilePath(folder + L".cdcopy-" + Decimal(GetCurrentProcessId()) + L"-" +
                     Decimal(attempt) + L".tmp");
    Patiently([&] {
      handle_.Reset(CreateFileW(name_.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr));
      return static_cast<bool>(handle_);
    });
    if (handle_ && !Register()) {
      handle_.Reset();
      DeleteFileW(name_.c_str());
      return;
    }
    if (!handle_ && GetLastError() != ERROR_FILE_EXISTS) break;
  }
}

TemporaryFile::~TemporaryFile() {
  if (!handle_) return;
  handle_.Reset();
  Patiently([&] { return DeleteFileW(name_.c_str()) != FALSE; });
  Unregister();
}

bool TemporaryFile::Commit(const std::wstring& finalName) {
  if (!FlushFileBuffers(handle_.Get()) || Stopping() ||
      !::SetFileAttributesW(name_.c_str(), FILE_ATTRIBUTE_ARCHIVE) || !Patiently([&] {
        return MoveFileExW(name_.c_str(), FilePath(folder_ + finalName).c_str(),
                           MOVEFILE_REPLACE_EXISTING) != FALSE;
      })) {
    return false;
  }
  // Flushed before the move: nothing is left to write.
  handle_.Reset();
  Unregister();
  return true;
}

// A name this run made, and only such a name, is registered for removal, in one of the few
// slots there are: a name the handler would not know is not kept.
bool TemporaryFile::Register() {
  cleanup_ = RegisterCleanup(RemoveOnStop, this);
  return cleanup_ >= 0;
}

void TemporaryFile::Unregister() {
  UnregisterCleanup(cleanup_);
  cleanup_ = -1;
}

// On the console handler's thread, while the copy's waits to unregister it. The file is open
// with FILE_SHARE_DELETE, so it goes as the process ends and closes it.
void TemporaryFile::RemoveOnStop(void* self) {
  DeleteFileW(static_cast<TemporaryFile*>(self)->name_.c_str());
}

}  // namespace cdcopy::win32
