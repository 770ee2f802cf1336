// The command line, read again in UTF-16: the C runtime's arguments are in the ANSI code page,
// which cannot hold every name.
#pragma once

#include <string>
#include <vector>

namespace cdcopy::win32 {

// The arguments after the program's name, split by the C runtime's own rules: white space
// separates them outside quotes; 2n backslashes before a quote give n and the quote opens or
// closes quoting; 2n+1 give n and a literal quote; "" inside quotes gives a literal quote and
// closes quoting; other backslashes are literal. One exception, for the drive root: see the
// definition.
std::vector<std::wstring> SplitCommandLine(const wchar_t* line);

// SplitCommandLine's arguments in UTF-8, with the quote that an escaped closing quote leaves at
// the end of the installation folder dropped.
std::vector<std::string> CommandLineArguments(const wchar_t* line);

}  // namespace cdcopy::win32
