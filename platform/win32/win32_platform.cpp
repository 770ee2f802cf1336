// The platform on Windows. The run's paths and texts are UTF-8; here they become UTF-16 for the
// W functions, since the ANSI code page of Windows 7, 8 and early 10 would best-fit a name it
// cannot hold into some other, existing folder's. CopyFileA alone is built here rather than
// forwarded, because the bare call overwrites the earlier copy as it goes.
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
#include <cstring>
#include <string>
#include <vector>

#include "platform/open_line.h"
#include "platform/platform.h"

// The C runtime would expand '*' and '?' in the arguments where this is nonzero, and a MinGW
// built with --enable-wildcard makes that its default: the two paths must arrive as typed.
extern "C" {
int _dowildcard = 0;
}

namespace cdcopy {

namespace {

std::wstring Wide(const char* utf8) {
  // Invalid UTF-8 converts to nothing, so that the call fails instead of reaching a name with
  // replacement characters in it.
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (length <= 1) return L"";
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), length);
  wide.pop_back();
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return "";
  std::string utf8(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), length, nullptr, nullptr);
  utf8.pop_back();
  return utf8;
}

// A path for the file calls. Those of MAX_PATH characters or more, which the temporary name
// beside a long destination can reach, are made absolute (resolving "/", "." and ".." as
// Windows would) and given the \\?\ prefix that lifts the limit.
std::wstring FilePath(std::wstring path) {
  constexpr std::size_t kShortEnough = MAX_PATH - 12;  // CreateDirectory's own limit
  if (path.size() < kShortEnough || path.starts_with(L"\\\\?\\")) return path;
  DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return path;
  std::wstring full(length, L'\0');
  length = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  if (full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring FilePath(const char* utf8) {
  std::wstring wide = Wide(utf8);
  return wide.empty() ? wide : FilePath(std::move(wide));
}

// The arguments after the program's name, split by the C runtime's own rules: whitespace
// separates them outside quotes; 2n backslashes before a quote give n and the quote opens or
// closes quoting; 2n+1 give n and a literal quote; "" inside quotes gives a literal quote and
// closes quoting; other backslashes are literal.
std::vector<std::wstring> SplitCommandLine(const wchar_t* line) {
  const wchar_t* p = line;
  if (*p == L'"') {  // the program's name: quoted without escapes, or up to whitespace
    for (++p; *p && *p != L'"'; ++p) {
    }
    if (*p) ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  std::vector<std::wstring> args;
  for (;;) {
    while (*p == L' ' || *p == L'\t') ++p;
    if (!*p) return args;
    std::wstring arg;
    bool quoted = false;
    for (;;) {
      std::size_t slashes = 0;
      while (*p == L'\\') ++p, ++slashes;
      bool copy = true;
      if (*p == L'"') {
        if (slashes % 2 == 0) {
          if (quoted && p[1] == L'"') {
            ++p;
          } else {
            copy = false;
          }
          quoted = !quoted;
        }
        slashes /= 2;
      }
      arg.append(slashes, L'\\');
      if (!*p || (!quoted && (*p == L' ' || *p == L'\t'))) break;
      if (copy) arg += *p;
      ++p;
    }
    args.push_back(std::move(arg));
  }
}

// The copy in progress, shared with the console control handler, which runs on a thread of
// its own when the console is closed or Ctrl-C is pressed.
volatile LONG gStopCopying = 0;
HANDLE gCopyEnded = nullptr;  // set while no copy is in progress
// The temporary file of the copy in progress. It is opened with FILE_SHARE_DELETE, so that the
// handler can remove it when a read stuck on a scratched disc outlasts its wait.
wchar_t gPendingTemporary[32768];

bool Stopping() {
  return InterlockedCompareExchange(&gStopCopying, 0, 0) != 0;
}

BOOL WINAPI OnConsoleControl(DWORD) {
  InterlockedExchange(&gStopCopying, 1);
  // Give a copy in progress the time to remove its temporary file; Windows allows a closing
  // console's handler five seconds in all.
  if (gCopyEnded && WaitForSingleObject(gCopyEnded, 4000) == WAIT_TIMEOUT) {
    // Deleted as the process ends and closes it.
    DeleteFileW(gPendingTemporary);
  }
  return FALSE;  // then end the process as the default handler does
}

// Virus scanners, the search indexer and backup or sync tools open files in the installation
// for a moment; a call that meets one is tried again, pausing longer each time, for a little
// over three seconds in all, unless the run is being stopped.
template <typename Call>
bool Patiently(Call call) {
  DWORD waited = 0;
  for (DWORD pause = 50;; pause = pause < 500 ? pause * 2 : 1000) {
    if (call()) return true;
    DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
         error != ERROR_LOCK_VIOLATION) ||
        waited >= 3000 || Stopping()) {
      SetLastError(error);
      return false;
    }
    ::Sleep(pause);
    waited += pause;
  }
}

// Written out here: std::to_wstring would bring the C runtime's whole printf into the program.
std::wstring Decimal(unsigned long value) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
  } while (value /= 10);
  return digits;
}

// ".cdcopy-<process>-<n>.tmp", exactly: the only names the sweep may remove.
bool IsTemporaryName(const wchar_t* name) {
  auto digits = [&name] {
    const wchar_t* start = name;
    while (*name >= L'0' && *name <= L'9') ++name;
    return name != start;
  };
  auto literal = [&name](const wchar_t* text) {
    for (; *text; ++text, ++name) {
      if (*name != *text) return false;
    }
    return true;
  };
  return literal(L".cdcopy-") && digits() && literal(L"-") && digits() && literal(L".tmp") &&
         !*name;
}

// A run killed mid-copy (ended from Task Manager, a crash, a power cut) leaves its temporary
// file behind. One that no process holds open is removed; a running copy's own cannot be
// opened without sharing, so it stays.
void SweepLeftovers(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L".cdcopy-*.tmp").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    // The pattern also matches short 8.3 names: the long name is checked.
    if (!IsTemporaryName(found.cFileName) ||
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      continue;
    }
    HANDLE leftover = CreateFileW((folder + found.cFileName).c_str(), DELETE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (leftover != INVALID_HANDLE_VALUE) CloseHandle(leftover);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

bool CopyData(HANDLE from, HANDLE to, ULONGLONG expected) {
  static char buffer[1 << 20];
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

// Where the copy is made before it takes the destination's name: beside it, so that the move
// is a rename within one folder.
bool CopyToTemporary(HANDLE from, const BY_HANDLE_FILE_INFORMATION& source,
                     const std::wstring& destination) {
  // The event is reset before the stop flag is read: a handler that sets the flag after this
  // waits for the copy, and one that set it before stops the copy here.
  ResetEvent(gCopyEnded);
  struct Ended {
    ~Ended() { SetEvent(gCopyEnded); }
  } ended;
  if (Stopping()) return false;
  std::wstring folder = destination.substr(0, destination.find_last_of(L"\\/") + 1);
  SweepLeftovers(folder);
  std::wstring temp;
  HANDLE to = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; attempt < 100 && to == INVALID_HANDLE_VALUE; ++attempt) {
    temp =
        folder + L".cdcopy-" + Decimal(GetCurrentProcessId()) + L"-" + Decimal(attempt) + L".tmp";
    if (temp.size() >= std::size(gPendingTemporary)) return false;
    temp.copy(gPendingTemporary, temp.size());
    gPendingTemporary[temp.size()] = L'\0';
    // Hidden while it is incomplete.
    Patiently([&] {
      to = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
      return to != INVALID_HANDLE_VALUE;
    });
    if (to == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (to == INVALID_HANDLE_VALUE) return false;
  const ULONGLONG size = (static_cast<ULONGLONG>(source.nFileSizeHigh) << 32) | source.nFileSizeLow;
  bool done = CopyData(from, to, size) &&
              SetFileTime(to, nullptr, nullptr, &source.ftLastWriteTime) && FlushFileBuffers(to);
  // Visible again before it takes the destination's name, so that the copy is never hidden.
  done = CloseHandle(to) && done && !Stopping() &&
         ::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_ARCHIVE) && Patiently([&] {
           return MoveFileExW(temp.c_str(), destination.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
         });
  if (!done) Patiently([&] { return DeleteFileW(temp.c_str()) != FALSE; });
  return done;
}

class Win32Platform final : public Platform {
 public:
  int MessageBoxA(const char* text, const char* caption, unsigned type) override {
    return ::MessageBoxW(nullptr, Wide(text).c_str(), Wide(caption).c_str(), type);
  }

  // Whole or nothing, as the run expects of it: the data goes into a temporary file beside the
  // destination, is flushed to the disk, and replaces the destination in one move only when
  // every byte is there. A read-only destination is refused, as by the bare call.
  bool CopyFileA(const char* existingFile, const char* newFile, bool failIfExists) override {
    std::wstring destination = FilePath(newFile), source = FilePath(existingFile);
    if (destination.empty() || source.empty()) return false;
    DWORD target = ::GetFileAttributesW(destination.c_str());
    if (target != INVALID_FILE_ATTRIBUTES &&
        (failIfExists || (target & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))) {
      return false;
    }
    HANDLE from = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (from == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool copied = GetFileInformationByHandle(from, &info) &&
                  !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                  CopyToTemporary(from, info, destination);
    CloseHandle(from);
    return copied;
  }

  bool SetFileAttributesA(const char* path, std::uint32_t attributes) override {
    return ::SetFileAttributesW(FilePath(path).c_str(), attributes) != FALSE;
  }

  std::uint32_t GetFileAttributesA(const char* path) override {
    return ::GetFileAttributesW(FilePath(path).c_str());
  }

  bool CreateDirectoryA(const char* path) override {
    return ::CreateDirectoryW(FilePath(path).c_str(), nullptr) != FALSE;
  }

  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

  // The C runtime's stdout is in text mode: each "\n" reaches the console or file as CR LF.
  void WriteStdout(const char* text) override {
    std::fputs(text, stdout);
    line_.Wrote(text);
  }

  void FlushStdout() override { std::fflush(stdout); }

  bool IsStdoutTerminal() override { return _isatty(_fileno(stdout)) != 0; }

  void EndStdoutLine() override {
    if (!line_.TakeEnd(IsStdoutTerminal())) return;
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }

 private:
  OpenLine line_;
};

}  // namespace

// Windows resolves both roots itself: drive letters have no mounts to follow, and a run's
// rights are its user's.
std::unique_ptr<Platform> MakeSystemPlatform(const char*, const char*) {
  return std::make_unique<Win32Platform>();
}

void StartProcess() {
  // A drive without a disc, or one still spinning up, fails the call instead of showing the
  // system's own box: the run has its own answer to a missing disc. The first call reads the
  // flags already set, so that none of them is lost.
  UINT mode = SetErrorMode(0);
  SetErrorMode(mode | SEM_FAILCRITICALERRORS);
  gCopyEnded = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

// The C runtime's arguments are in the ANSI code page: they are read again in UTF-16.
std::vector<std::string> Arguments(int, char**) {
  std::vector<std::string> args;
  for (const std::wstring& arg : SplitCommandLine(GetCommandLineW())) args.push_back(Utf8(arg));
  // "C:\Games\Kestrion\" arrives as C:\Games\Kestrion", the backslash escaping the closing
  // quote. No Windows name holds a quote: the one left behind is dropped.
  if (args.size() >= 2 && args[1].ends_with('"')) args[1].pop_back();
  return args;
}

void ShowUsage(const char* text) {
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) {
    ::MessageBoxW(nullptr, Wide(text).c_str(), L"cdcopy", MB_OK | MB_ICONINFORMATION);
  } else {
    std::fputs(text, stderr);
  }
}

}  // namespace cdcopy
