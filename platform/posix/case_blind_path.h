// Windows paths on a case-sensitive file system: '\' and '/' both separate, and each component
// names the entry that matches it exactly or, failing that, without regard to ASCII case.
#pragma once

#include <climits>

#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

using EntryName = char[NAME_MAX + 1];

// Among the entries of `dirFd`, the one `name` stands for: the exact name if it exists, else
// the byte-wise smallest name equal to it without regard to ASCII case. Answers false, with
// `name` copied unchanged, when there is none.
bool FindEntry(int dirFd, const char* name, EntryName& found);

// Opens the directory that holds the path's last component (O_PATH) and stores that
// component, matched as above, in `name`; `exists` tells whether it was found. An invalid
// fd when a directory on the way is missing or the path has no last component.
UniqueFd OpenParent(const char* path, EntryName& name, bool* exists);

bool EqualIgnoringAsciiCase(const char* a, const char* b);

}  // namespace cdcopy::posix
