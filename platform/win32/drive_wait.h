// A drive still spinning up a disc just put in answers ERROR_NOT_READY for a few seconds.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/console_control.h"

namespace cdcopy::win32 {

// Asks `probe` (which answers the error the drive root meets, ERROR_SUCCESS for none) again,
// every `step` milliseconds, while it answers ERROR_NOT_READY, until `bound` milliseconds have
// passed on `now` (a millisecond clock), the time the probe itself blocks included: a drive
// spinning up can hold each call for seconds. Stops at once when the run is being stopped.
// Answers how often it asked.
template <typename Probe, typename Clock = decltype(&::GetTickCount)>
int WaitWhileNotReady(Probe probe, DWORD bound, DWORD step, Clock now = ::GetTickCount) {
  const DWORD start = now();
  int asked = 1;
  for (; probe() == ERROR_NOT_READY; ++asked) {
    // Unsigned, so that GetTickCount's wrap after 49.7 days does no harm.
    const DWORD waited = now() - start;
    if (waited >= bound || !PauseUnlessStopped(bound - waited < step ? bound - waited : step))
      break;
  }
  return asked;
}

// After an answered prompt: waits while the drive root answers ERROR_NOT_READY, for at most
// 10 seconds, as the Linux build waits for a disc to be mounted. A root that answers anything
// else is not waited for.
void WaitWhileDriveNotReady(const std::wstring& driveRoot);

}  // namespace cdcopy::win32
