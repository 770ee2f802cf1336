// How a disc's file is copied into the installation: its data by the best way the two file
// systems allow, written behind the read, into a temporary file (temp_file.h) that takes the
// destination's name only once it is whole.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "platform/posix/copying/temp_file.h"

namespace cdcopy::posix {

// How the data is copied, best first; each gives way to the next where the file systems cannot
// do it. Tests choose where to start, to reach every path.
enum class CopyMethod {
  Clone,       // FICLONE: the copy shares the source's blocks (XFS, Btrfs)
  KernelCopy,  // copy_file_range, within the kernel
  Sendfile,    // also within the kernel, across file systems that copy_file_range refuses
  ReadWrite,   // through one fixed buffer
};

// Copies the open file `from` (with status `source`) over `name` in the folder `dirFd` (which
// `exists` there or not), whole or not at all, leaving the earlier copy as it was on failure.
// Refuses a read-only destination, as Windows does, whoever runs it. The copy is writable by its
// owner, as the attribute reset leaves a file, and carries the source's modification time.
// Temporary files that an earlier run left in the folder are removed. Made as whom the run acts
// now, the copy is handed over (`handOver`) before anyone else could hold it.
bool CopyFileInto(int from, const struct stat& source, int dirFd, const char* name, bool exists,
                  bool failIfExists, Credentials& credentials, const HandOver& handOver,
                  TempFileKind kind = TempFileKind::UnnamedWherePossible,
                  CopyMethod first = CopyMethod::Clone);

// The mode a copy gets, and the attribute reset gives a file: that of a newly made file, never
// executable, and writable by its owner whatever the umask takes away, so that the next run can
// replace it.
mode_t WritableMode();
// That of a read-only file.
mode_t ReadOnlyMode();
// That of a newly made folder.
mode_t FolderMode();

}  // namespace cdcopy::posix
