#include "platform/win32/console_control.h"

#include <cwchar>
#include <iterator>

namespace cdcopy::win32 {

namespace {

volatile LONG gStopCopying = 0;
HANDLE gStopped = nullptr;    // set with the flag, so that a pause ends at once
HANDLE gCopyEnded = nullptr;  // set while no copy is in progress
// A fixed buffer, not a string: the handler's thread reads it while the copy's may write it.
wchar_t gPendingTemporary[32768];

BOOL WINAPI OnConsoleControl(DWORD) {
  Stop();
  // Windows allows a closing console's handler five seconds in all.
  if (WaitForSingleObject(gCopyEnded, 4000) == WAIT_TIMEOUT) DeleteFileW(gPendingTemporary);
  return FALSE;  // then end the process as the default handler does
}

}  // namespace

void HandleConsoleControl() {
  gStopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  gCopyEnded = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void Stop() {
  InterlockedExchange(&gStopCopying, 1);
  SetEvent(gStopped);
}

bool Stopping() {
  return InterlockedCompareExchange(&gStopCopying, 0, 0) != 0;
}

void HaltIfStopped() {
  while (Stopping()) Sleep(INFINITE);
}

bool PauseUnlessStopped(DWORD milliseconds) {
  return WaitForSingleObject(gStopped, milliseconds) == WAIT_TIMEOUT;
}

CopyInProgress::CopyInProgress() {
  ResetEvent(gCopyEnded);
}

CopyInProgress::~CopyInProgress() {
  gPendingTemporary[0] = L'\0';
  SetEvent(gCopyEnded);
}

void SetPendingTemporary(const wchar_t* path) {
  std::size_t length = std::wcslen(path);
  if (length >= std::size(gPendingTemporary)) length = 0;
  std::wmemcpy(gPendingTemporary, path, length);
  gPendingTemporary[length] = L'\0';
}

}  // namespace cdcopy::win32
