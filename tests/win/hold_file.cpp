// Holds a file open as a virus scanner or an indexer does, shared for reading and writing but
// not for deleting; says "held" once it has it, and lets go `ms` milliseconds after the file
// `after` appears.   hold_file.exe FILE MS AFTER [alone | as-copy]
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 && argc != 5) return 2;
  // Not shared at all; or written and shared for deleting only, as a run holds its temporary file.
  const wchar_t* how = argc == 5 ? argv[4] : L"";
  const bool copy = !std::wcscmp(how, L"as-copy");
  const DWORD share = copy ? FILE_SHARE_DELETE : !*how ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  HANDLE held = CreateFileW(argv[1], copy ? GENERIC_WRITE : GENERIC_READ, share, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  std::puts("held");
  std::fflush(stdout);
  while (GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES) Sleep(5);
  Sleep(std::wcstoul(argv[2], nullptr, 10));
  CloseHandle(held);
  return 0;
}
