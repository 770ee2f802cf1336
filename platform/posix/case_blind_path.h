// Windows paths on a case-sensitive file system: '\' and '/' both separate, and each component
// names the entry that matches it exactly or, failing that, without regard to ASCII case.
#pragma once

#include <climits>
#include <cstddef>

#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

using EntryName = char[NAME_MAX + 1];

// Among the entries of `dirFd`, the one `name` stands for: the exact name if it exists, else
// the byte-wise smallest name equal to it without regard to ASCII case (on a disc, also with an
// ISO 9660 version after it: "BND0.BND;1"). Answers false, with `name` copied unchanged, when
// there is none.
bool FindEntry(int dirFd, const char* name, EntryName& found, bool onDisc = false);

// Opens the directory that holds the path's last component (O_PATH) and stores that
// component, matched as above, in `name`; `exists` tells whether it was found. An invalid
// fd when a directory on the way is missing or the path has no last component. Folders on the
// way may be symbolic links.
UniqueFd OpenParent(const char* path, EntryName& name, bool* exists);

// The same below the folder `start` for the names in `rest`. On a disc, no link is followed and
// no folder on another file system than `start`'s is entered, so a disc cannot lead a copy
// outside itself.
UniqueFd OpenParentBelow(UniqueFd start, const char* rest, EntryName& name, bool* exists,
                         bool onDisc);

// The folder that the first `length` bytes of `path` name, O_PATH, links followed: the exact
// name where there is one, else matched component by component as above ("" is ".").
UniqueFd OpenFolder(const char* path, std::size_t length);

// Where the drive root ends in a path on a disc, for a caller that was not told it. The run
// puts the drive root in front of the disc's names and joins those with '\'; on Linux the
// drive root itself is written with '/'. So the root ends after the last '/' before the first
// '\' (or the last '/' of all, in a path without a '\').
std::size_t DriveRootLength(const char* path);

bool EqualIgnoringAsciiCase(const char* a, const char* b);

// '\' and '/' both separate names.
bool IsSeparator(char c);

}  // namespace cdcopy::posix
