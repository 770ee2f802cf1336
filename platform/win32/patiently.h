// Virus scanners, the search indexer and backup or sync tools open files in the installation
// for a moment.
#pragma once

#include <windows.h>

#include "platform/win32/console_control.h"

namespace cdcopy::win32 {

// Makes the call, and again while it fails on a file held by someone else (a sharing, lock or
// access violation), pausing longer each time, for a little over three seconds in all, unless
// the run is being stopped. Answers whether it succeeded, with the last error kept.
template <typename Call>
bool Patiently(Call call) {
  DWORD waited = 0;
  for (DWORD pause = 50;; pause = pause < 500 ? pause * 2 : 1000) {
    if (call()) return true;
    DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
         error != ERROR_LOCK_VIOLATION) ||
        waited >= 3000 || !PauseUnlessStopped(pause)) {
      SetLastError(error);
      return false;
    }
    waited += pause;
  }
}

}  // namespace cdcopy::win32
