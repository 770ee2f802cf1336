// Holds a file open as a virus scanner or an indexer does, shared for reading and writing but
// not for deleting; says "held" once it has it, and lets go `ms` milliseconds after the file
// `after` appears.   hold_file.exe FILE MS AFTER
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  std::puts("held");
  std::fflush(stdout);
  while (GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES) Sleep(5);
  Sleep(std::wcstoul(argv[2], nullptr, 10));
  CloseHandle(held);
  return 0;
}
