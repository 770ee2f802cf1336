#pragma once

namespace cdcopy::posix {

enum class TempFileKind {
  UnnamedWherePossible,
  Named,  // what a file system without O_TMPFILE gets; chosen by tests to reach that path
};

// Copies the whole source over the destination, or changes nothing: the data goes into a
// temporary file beside the destination, renamed over it only once every byte is written.
// Refuses a read-only destination, as Windows does, whoever runs it. The copy is read-only
// when the source is, and carries the source's modification time.
bool CopyWholeFile(const char* source, const char* destination, bool failIfExists,
                   TempFileKind kind = TempFileKind::UnnamedWherePossible);

}  // namespace cdcopy::posix
