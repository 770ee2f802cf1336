// A drive still spinning up a disc just put in answers ERROR_NOT_READY for a few seconds.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/console_control.h"

namespace cdcopy::win32 {

// Asks `probe` (which answers the error the drive root meets, ERROR_SUCCESS for none) again,
// every `step` milliseconds, while it answers ERROR_NOT_READY, for at most `bound`
// milliseconds, stopping at once when the run is being stopped. Answers how often it asked.
template <typename Probe>
int WaitWhileNotReady(Probe probe, DWORD bound, DWORD step) {
  int asked = 1;
  for (DWORD waited = 0; probe() == ERROR_NOT_READY && waited < bound; waited += step, ++asked) {
    if (!PauseUnlessStopped(step)) break;
  }
  return asked;
}

// After an answered prompt: waits while the drive root answers ERROR_NOT_READY, for at most
// 10 seconds, as the Linux build waits for a disc to be mounted. A root that answers anything
// else is not waited for.
void WaitWhileDriveNotReady(const std::wstring& driveRoot);

}  // namespace cdcopy::win32
