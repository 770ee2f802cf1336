// CopyFileA, built here rather than forwarded, because the bare call overwrites the earlier
// copy as it goes.
#pragma once

#include <windows.h>

namespace cdcopy::win32 {

// The size of the copy's next read, from the last one's and the milliseconds it took: from
// 64 KiB it doubles, up to 1 MiB, while a read takes under 20 ms, and halves again once one takes
// over 100 ms. So a read on a slow drive stays a fraction of a second, for Ctrl-C to stop the
// copy at once, while a fast disk is copied with a sixteenth of the calls (under Wine each costs
// a round of the C library and the Unix kernel).
DWORD NextReadSize(DWORD size, DWORD tookMs);

// Whole or nothing: the data goes into a temporary file beside the destination, is flushed to
// the disk, and replaces the destination in one move only when every byte is there. An
// existing destination that is read-only or a folder is refused; one that is hidden or a
// system file is replaced like any other (the bare call would refuse it).
bool CopyWholeFile(const char* existingFile, const char* newFile, bool failIfExists);

}  // namespace cdcopy::win32
