#include "platform/win32/utf16.h"

#include <windows.h>

#include <cstring>

namespace cdcopy::win32 {

std::wstring Wide(const char* utf8) {
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (length <= 1) return L"";
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), length);
  wide.pop_back();
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return "";
  std::string utf8(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), length, nullptr, nullptr);
  utf8.pop_back();
  return utf8;
}

std::size_t Utf16Length(const char* utf8) {
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  // Invalid UTF-8 names no file: counted in bytes, it is refused no later than before.
  return length > 0 ? static_cast<std::size_t>(length - 1) : std::strlen(utf8);
}

}  // namespace cdcopy::win32
