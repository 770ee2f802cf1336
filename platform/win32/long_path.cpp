#include "platform/win32/long_path.h"

#include <windows.h>

#include "platform/win32/utf16.h"

namespace cdcopy::win32 {

std::wstring FilePath(const std::wstring& path) {
  constexpr std::size_t kShortEnough = MAX_PATH - 12;
  if (path.empty() || path.starts_with(L"\\\\?\\")) return path;
  DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return path;
  std::wstring full(length, L'\0');
  length = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  if (full.size() < kShortEnough || full.starts_with(L"\\\\.\\")) return path;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring FilePath(const char* utf8) {
  return FilePath(Wide(utf8));
}

}  // namespace cdcopy::win32
