// The Windows layer's own checks, run under Wine, of what a run there cannot show: Wine has no
// MAX_PATH limit, so the names the layer builds are checked directly. Prints each failure and
// exits 1 on any.   win32_layer_test.exe
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/command_line.h"
#include "platform/win32/console_control.h"
#include "platform/win32/drive_wait.h"
#include "platform/win32/file_copy.h"
#include "platform/win32/long_path.h"
#include "platform/win32/temporary_file.h"
#include "platform/win32/utf16.h"

namespace {

int failures = 0;

template <typename T>
void Expect(const T& got, const T& expected, const char* row) {
  if (got == expected) return;
  ++failures;
  std::printf("FAILED: %s\n", row);
}

DWORD WINAPI PrintX(void* platform) {
  return static_cast<cdcopy::Platform*>(platform)->WriteStdout("x"), 0;
}

using cdcopy::win32::FilePath;
using Args = std::vector<std::string>;

}  // namespace

int wmain() {
  cdcopy::win32::HandleConsoleControl();  // as the process starts
  // A current folder of 221 characters: C:\cdcopy-layer-test\ and 200 d's.
  const std::wstring ds(200, L'd'), top = L"C:\\cdcopy-layer-test", cwd = top + L"\\" + ds;
  CreateDirectoryW(top.c_str(), nullptr);
  CreateDirectoryW(cwd.c_str(), nullptr);
  SetCurrentDirectoryW(cwd.c_str());
  const std::wstring logo = L"kestcore\\video\\orrinmark.flk",
                     longLogo = L"\\\\?\\" + cwd + L"\\" + logo;
  Expect(FilePath(L"a/b"), std::wstring(L"a/b"), "a short relative name goes as given");
  Expect(FilePath(logo), longLogo, "a relative name long once resolved is prefixed");
  Expect(FilePath(L"..\\" + ds + L"\\" + logo), longLogo, "..");
  Expect(FilePath(L"C:/cdcopy-layer-test/" + ds + L"/" + logo), longLogo, "forward slashes");
  Expect(FilePath(L"C:" + logo), longLogo, "drive-relative");
  Expect(FilePath(L"\\\\server\\share\\" + std::wstring(240, L'x')),
         L"\\\\?\\UNC\\server\\share\\" + std::wstring(240, L'x'), "UNC");
  const std::wstring under = L"C:\\" + std::wstring(244, L'x'), at = under + L'x';
  Expect(FilePath(under), under, "247 characters go as given");
  Expect(FilePath(at), L"\\\\?\\" + at, "248 characters are prefixed");
  Expect(FilePath(L"\\\\?\\" + at), L"\\\\?\\" + at, "a prefixed name goes as given");
  const std::wstring device = L"\\\\.\\CdRom0\\" + std::wstring(240, L'x');
  Expect(FilePath(device), device, "a device name goes as given");
  Expect(cdcopy::win32::FilePath("C:\\\xc3("), std::wstring(), "invalid UTF-8 names nothing");

  auto split = [](const wchar_t* line) { return cdcopy::win32::CommandLineArguments(line); };
  Expect(split(LR"(cdcopy.exe "D:\" "C:\Games\Kestrion")"), Args{R"(D:\)", R"(C:\Games\Kestrion)"},
         "a quoted drive root");
  Expect(split(LR"(cdcopy.exe "D:\" C:\Games\Kestrion x)"),
         Args{R"(D:\)", R"(C:\Games\Kestrion)", "x"}, "a quoted drive root, the folder unquoted");
  Expect(split(LR"(cdcopy.exe "D:\\" "C:\Program Files\Kestrion\")"),
         Args{R"(D:\)", R"(C:\Program Files\Kestrion)"}, "backslashes before a quote halved");
  Expect(split(LR"("C:\x y\cdcopy.exe" "a\\\"b" c""d)"), Args{R"(a\"b)", "cd"},
         "2n+1 backslashes give n and a quote");
  Expect(split(L"cdcopy.exe\tD:\\\t\"C:\\Games\\Kestrion\""),
         Args{R"(D:\)", R"(C:\Games\Kestrion)"}, "a tab separates");
  Expect(split(LR"(cdcopy.exe D:\ "C:\Games\Kestrion\" x)"),
         Args{R"(D:\)", R"(C:\Games\Kestrion" x)"},
         "only the drive root's backslash before a quote and a blank is taken as typed");

  Expect(cdcopy::win32::Utf16Length("C:\\\xd0\x98\xd0\xb3\xd1\x80\xd1\x8b"), std::size_t{7},
         "Cyrillic");
  Expect(cdcopy::win32::Utf16Length("\xe6\xb8\xb8\xf0\x9f\x98\x80"), std::size_t{3},
         "CJK and an emoji");

  // A drive spinning up is asked again while it is not ready, within the bound.
  auto answers = [](std::vector<DWORD> errors) {
    return [errors]() mutable {
      DWORD error = errors.front();
      if (errors.size() > 1) errors.erase(errors.begin());
      return error;
    };
  };
  using cdcopy::win32::WaitWhileNotReady;
  Expect(WaitWhileNotReady(answers({ERROR_NOT_READY, ERROR_NOT_READY, 0}), 1000, 1), 3, "ready");
  // In virtual time: each probe blocks for `ms` on the clock, which nothing else moves on.
  DWORD clock = 0;
  auto now = [&clock] { return clock; };
  auto blocking = [&clock](DWORD ms) {
    return [&clock, ms] { return clock += ms, DWORD{ERROR_NOT_READY}; };
  };
  Expect(WaitWhileNotReady(blocking(1), 10, 1, now), 10, "never ready: the bound");
  Expect(WaitWhileNotReady(blocking(4000), 10000, 1, now), 3, "a slow probe's time counts");
  clock = 0xFFFFFF00;
  Expect(WaitWhileNotReady(blocking(100), 1000, 1, now), 10, "across the clock's wrap");
  Expect(WaitWhileNotReady(answers({ERROR_PATH_NOT_FOUND, 0}), 1000, 1), 1, "no such drive");

  // The copy's reads grow while they are fast and shrink once slow, within 64 KiB and 1 MiB.
  using cdcopy::win32::NextReadSize;
  Expect(NextReadSize(64 << 10, 19), DWORD{128 << 10}, "a fast read: the next twice as large");
  Expect(NextReadSize(1 << 20, 0), DWORD{1 << 20}, "never over 1 MiB");
  Expect(NextReadSize(1 << 20, 101), DWORD{512 << 10}, "a slow read: the next half as large");
  Expect(NextReadSize(64 << 10, 200), DWORD{64 << 10}, "never under 64 KiB");
  Expect(NextReadSize(256 << 10, 50), DWORD{256 << 10}, "neither: the same");

  // A copy is visible, with the source's modification time.
  const std::wstring source = top + L"\\source", copy = top + L"\\copy";
  HANDLE file = CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  FILETIME written{0x12345678, 0x01c00000};
  DWORD put = 0;
  WriteFile(file, "data", 4, &put, nullptr);
  SetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  Expect(cdcopy::win32::CopyWholeFile("C:\\cdcopy-layer-test\\source",
                                      "C:\\cdcopy-layer-test\\copy", false),
         true, "copied");
  Expect(GetFileAttributesW(copy.c_str()) & FILE_ATTRIBUTE_HIDDEN, DWORD{0}, "the copy is visible");
  WIN32_FILE_ATTRIBUTE_DATA data{};
  GetFileAttributesExW(copy.c_str(), GetFileExInfoStandard, &data);
  Expect(data.ftLastWriteTime.dwLowDateTime, written.dwLowDateTime, "the disc's modification time");

  // Only a path composed from one of the run's roots, as given, is used.
  auto rooted = cdcopy::MakeSystemPlatform("C:\\cdcopy-layer-test\\", "C:\\cdcopy-layer-test");
  Expect(rooted->CreateDirectoryA({{"C:\\cdcopy-layer-test-other", 26}}), false,
         "a folder under neither root");
  Expect(rooted->GetFileAttributesA({{"C:\\cdcopy-layer-test\\copy", 20}}),
         std::uint32_t{INVALID_FILE_ATTRIBUTES}, "the disc's root cut short");
  Expect(
      rooted->GetFileAttributesA({{"C:\\cdcopy-layer-test\\copy", 21}}) & FILE_ATTRIBUTE_DIRECTORY,
      std::uint32_t{0}, "a file under the drive root");
  // Ctrl-C while the drive spins up ends the wait at once. Last: the stop stays raised.
  auto stopped = [asked = 0]() mutable -> DWORD {
    return ++asked == 2 ? (cdcopy::win32::Stop(), ERROR_NOT_READY) : ERROR_NOT_READY;
  };
  Expect(WaitWhileNotReady(stopped, 1000, 1), 2, "Ctrl-C ends the wait");
  // Ctrl-C once the data is in the temporary file (during the flush): the earlier copy stays.
  Expect(cdcopy::win32::TemporaryFile(top + L"\\").Commit(L"copy"), false,
         "a stop just before the replace");
  GetFileAttributesExW(copy.c_str(), GetFileExInfoStandard, &data);
  Expect(data.nFileSizeLow, DWORD{4}, "the earlier copy stays");

  // Once stopped, the run's thread halts before it prints, until the process ends.
  auto platform = cdcopy::MakeSystemPlatform("D:\\", "C:\\");
  HANDLE run = CreateThread(nullptr, 0, PrintX, platform.get(), 0, nullptr);
  Expect(WaitForSingleObject(run, 200), DWORD{WAIT_TIMEOUT}, "nothing printed once stopped");

  SetCurrentDirectoryW(L"C:\\");
  DeleteFileW(source.c_str());
  DeleteFileW(copy.c_str());
  RemoveDirectoryW(cwd.c_str());
  RemoveDirectoryW(top.c_str());
  RemoveDirectoryW(L"C:\\cdcopy-layer-test-other");
  std::printf("%s\n", failures ? "failed" : "passed");
  return failures ? 1 : 0;
}
