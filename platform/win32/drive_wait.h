// A drive still spinning up a disc just put in answers ERROR_NOT_READY for a few seconds.
#pragma once

#include <string>

namespace cdcopy::win32 {

// After an answered prompt: waits while the drive root answers ERROR_NOT_READY, for at most
// 10 seconds (as the Linux build waits for a disc to be mounted), stopping at once when the
// run is being stopped. A root that answers anything else is not waited for.
void WaitWhileDriveNotReady(const std::wstring& driveRoot);

}  // namespace cdcopy::win32
