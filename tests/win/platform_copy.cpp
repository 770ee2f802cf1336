// What cdcopy.exe's copy is timed against by scripts/bench: the system's own copy of each file,
// then flushed to the disk, all in one process.   platform_copy.exe FROM TO [FROM TO]...
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!CopyFileExW(argv[i], argv[i + 1], nullptr, nullptr, nullptr, 0)) return 1;
    HANDLE copy = CreateFileW(argv[i + 1], GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (copy == INVALID_HANDLE_VALUE || !FlushFileBuffers(copy)) return 1;
    CloseHandle(copy);
  }
  return 0;
}
