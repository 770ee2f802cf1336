// The run's paths and texts are UTF-8; the W functions take UTF-16, since the ANSI code page of
// Windows 7, 8 and early 10 would best-fit a name it cannot hold into some other, existing
// folder's.
#pragma once

#include <cstddef>
#include <string>

namespace cdcopy::win32 {

// Invalid UTF-8 converts to "", so that a call fails instead of reaching a name with
// replacement characters in it.
std::wstring Wide(const char* utf8);
std::string Utf8(const std::wstring& wide);

// How many UTF-16 units the text takes: what Windows' path limits count.
std::size_t Utf16Length(const char* utf8);

}  // namespace cdcopy::win32
