#include "platform/posix/reach/case_blind_path.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace cdcopy::posix {

namespace {

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool CopyName(const char* name, std::size_t length, EntryName& out) {
  if (length >= sizeof out) return false;
  std::memcpy(out, name, length);
  out[length] = '\0';
  return true;
}

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

bool EqualIgnoringAsciiCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (AsciiLower(*a) != AsciiLower(*b)) return false;
  }
  return *a == *b;
}

namespace {

// Some CD readers, and ISO 9660 mounted with map=off, show a file's version: "BND0.BND;1".
bool EqualIgnoringCaseAndVersion(const char* entry, const char* name) {
  if (EqualIgnoringAsciiCase(entry, name)) return true;
  const char* semicolon = std::strrchr(entry, ';');
  if (!semicolon || !semicolon[1]) return false;
  for (const char* c = semicolon + 1; *c; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  const std::size_t length = static_cast<std::size_t>(semicolon - entry);
  if (std::strlen(name) != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (AsciiLower(entry[i]) != AsciiLower(name[i])) return false;
  }
  return true;
}

}  // namespace

bool FindEntry(int dirFd, const char* name, EntryName& found, bool onDisc) {
  if (!CopyName(name, std::strlen(name), found)) {
    found[0] = '\0';
    return false;
  }
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;

  int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return false;
  DIR* dir = fdopendir(listFd);
  if (!dir) {
    close(listFd);
    return false;
  }
  bool matched = false;
  while (const dirent* entry = readdir(dir)) {
    if (onDisc ? !EqualIgnoringCaseAndVersion(entry->d_name, name)
               : !EqualIgnoringAsciiCase(entry->d_name, name)) {
      continue;
    }
    // Directory order is arbitrary; the smallest name makes the choice the same every time.
    if (!matched || std::strcmp(entry->d_name, found) < 0) std::strcpy(found, entry->d_name);
    matched = true;
  }
  closedir(dir);
  return matched;
}

}  // namespace cdcopy::posix
