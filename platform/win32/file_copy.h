// CopyFileA, built here rather than forwarded, because the bare call overwrites the earlier
// copy as it goes.
#pragma once

namespace cdcopy::win32 {

// Whole or nothing: the data goes into a temporary file beside the destination, is flushed to
// the disk, and replaces the destination in one move only when every byte is there. An
// existing destination that is read-only or a folder is refused; one that is hidden or a
// system file is replaced like any other (the bare call would refuse it).
bool CopyWholeFile(const char* existingFile, const char* newFile, bool failIfExists);

}  // namespace cdcopy::win32
