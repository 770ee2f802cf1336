#include "platform/win32/console_control.h"

#include <iterator>

namespace cdcopy::win32 {

namespace {

volatile LONG gStopCopying = 0;
HANDLE gStopped = nullptr;    // set with the flag, so that a pause ends at once
HANDLE gCopyEnded = nullptr;  // set while no copy is in progress
// Registered from the copy's thread and run on the handler's: each under the lock.
struct Cleanups {
  Cleanups() { InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  struct {
    Cleanup cleanup;
    void* context;
  } slots[4] = {};  // a run has one temporary file at a time
};
Cleanups gCleanups;

BOOL WINAPI OnConsoleControl(DWORD) {
  Stop();
  // Windows allows a closing console's handler five seconds in all.
  if (WaitForSingleObject(gCopyEnded, 4000) == WAIT_TIMEOUT) {
    EnterCriticalSection(&gCleanups.lock);
    for (const auto& slot : gCleanups.slots) {
      if (slot.cleanup) slot.cleanup(slot.context);
    }
    LeaveCriticalSection(&gCleanups.lock);
  }
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
  SetEvent(gCopyEnded);
}

int RegisterCleanup(Cleanup cleanup, void* context) {
  int taken = -1;
  EnterCriticalSection(&gCleanups.lock);
  for (int i = 0; i < static_cast<int>(std::size(gCleanups.slots)) && taken < 0; ++i) {
    if (gCleanups.slots[i].cleanup) continue;
    gCleanups.slots[i] = {cleanup, context};
    taken = i;
  }
  LeaveCriticalSection(&gCleanups.lock);
  return taken;
}

void UnregisterCleanup(int slot) {
  if (slot < 0) return;
  EnterCriticalSection(&gCleanups.lock);
  gCleanups.slots[slot] = {};
  LeaveCriticalSection(&gCleanups.lock);
}

}  // namespace cdcopy::win32
