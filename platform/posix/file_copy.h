#pragma once

#include <sys/types.h>

#include "platform/posix/roots.h"

namespace cdcopy::posix {

enum class TempFileKind {
  UnnamedWherePossible,
  Named,  // what a file system without O_TMPFILE gets; chosen by tests to reach that path
};

// How the data is copied, best first; each gives way to the next where the file systems cannot
// do it. Tests choose where to start, to reach every path.
enum class CopyMethod {
  Clone,       // FICLONE: the copy shares the source's blocks (XFS, Btrfs)
  KernelCopy,  // copy_file_range, within the kernel
  Sendfile,    // also within the kernel, across file systems that copy_file_range refuses
  ReadWrite,   // through one fixed buffer
};

// Copies the whole source over the destination, or changes nothing: the data goes into a
// temporary file beside the destination, renamed over it only once every byte is written.
// Refuses a read-only destination, as Windows does, whoever runs it. The copy is writable by its
// owner, as the attribute reset leaves a file, and carries the source's modification time.
// Temporary files that an earlier run left in the destination's folder are removed. `roots`:
// the run's, where the platform knows them.
bool CopyWholeFile(const char* source, const char* destination, bool failIfExists,
                   TempFileKind kind = TempFileKind::UnnamedWherePossible,
                   CopyMethod first = CopyMethod::Clone, Roots* roots = nullptr);

// The mode a copy gets, and the attribute reset gives a file: that of a newly made file, never
// executable, and writable by its owner whatever the umask takes away, so that the next run can
// replace it.
mode_t WritableMode();
// That of a read-only file.
mode_t ReadOnlyMode();

}  // namespace cdcopy::posix
