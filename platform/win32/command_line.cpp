#include "platform/win32/command_line.h"

#include "platform/win32/utf16.h"

// The C runtime would expand '*' and '?' in the arguments where this is nonzero, and a MinGW
// built with --enable-wildcard makes that its default: the two paths must arrive as typed.
extern "C" {
int _dowildcard = 0;
}

namespace cdcopy::win32 {

namespace {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(const wchar_t* line) {
  const wchar_t* p = line;
  if (*p == L'"') {  // the program's name: quoted without escapes, or up to white space
    for (++p; *p && *p != L'"'; ++p) {
    }
    if (*p) ++p;
  } else {
    while (*p && !IsBlank(*p)) ++p;
  }
  std::vector<std::wstring> args;
  for (;;) {
    while (IsBlank(*p)) ++p;
    if (!*p) return args;
    std::wstring arg;
    bool quoted = false;
    for (;;) {
      std::size_t slashes = 0;
      while (*p == L'\\') ++p, ++slashes;
      bool copy = true;
      if (*p == L'"') {
        // Installers quote every path, "D:\" too, whose backslash then escapes its closing
        // quote and joins it to the next argument. No Windows name holds a quote followed by
        // white space: in the drive root such a backslash is taken as typed, closing quotes.
        if (quoted && slashes % 2 == 1 && args.empty() && IsBlank(p[1])) {
          ++slashes;
        }
        if (slashes % 2 == 0) {
          if (quoted && p[1] == L'"') {
            ++p;
          } else {
            copy = false;
          }
          quoted = !quoted;
        }
        slashes /= 2;
      }
      arg.append(slashes, L'\\');
      if (!*p || (!quoted && IsBlank(*p))) break;
      if (copy) arg += *p;
      ++p;
    }
    args.push_back(std::move(arg));
  }
}

std::vector<std::string> CommandLineArguments(const wchar_t* line) {
  std::vector<std::string> args;
  for (const std::wstring& arg : SplitCommandLine(line)) args.push_back(Utf8(arg));
  // "C:\Games\Kestrion\" arrives as C:\Games\Kestrion", the backslash escaping the closing
  // quote. No Windows name holds a quote: the one left behind is dropped.
  if (args.size() >= 2 && args[1].ends_with('"')) args[1].pop_back();
  return args;
}

}  // namespace cdcopy::win32
