// Windows names on a case-sensitive file system: '\' and '/' both separate, and each component
// names the entry that matches it exactly or, failing that, without regard to ASCII case.
#pragma once

#include <climits>
#include <cstddef>

namespace cdcopy::posix {

using EntryName = char[NAME_MAX + 1];

// Among the entries of `dirFd`, the one `name` stands for: the exact name if it exists, else
// the byte-wise smallest name equal to it without regard to ASCII case (on a disc, also with an
// ISO 9660 version after it: "BND0.BND;1"). Answers false, with `name` copied unchanged, when
// there is none.
bool FindEntry(int dirFd, const char* name, EntryName& found, bool onDisc = false);

bool EqualIgnoringAsciiCase(const char* a, const char* b);

// The first `length` bytes of `name` as an entry name; false where they are too long for one.
bool CopyName(const char* name, std::size_t length, EntryName& out);

// '\' and '/' both separate names.
bool IsSeparator(char c);

}  // namespace cdcopy::posix
