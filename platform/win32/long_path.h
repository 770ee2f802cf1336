// Names for the file calls, whatever their length.
#pragma once

#include <string>

namespace cdcopy::win32 {

// Paths whose full form reaches CreateDirectory's limit (MAX_PATH - 12 characters) are given
// in that full form, resolved as Windows resolves them (the current folder, a drive's own
// current folder, "/", "." and ".."), with the \\?\ prefix that lifts the limit. The decision is
// made on the full form: a short relative name from a deep folder is long. Shorter paths go as
// given.
std::wstring FilePath(const std::wstring& path);
// "" for a name that is not valid UTF-8.
std::wstring FilePath(const char* utf8);

}  // namespace cdcopy::win32
