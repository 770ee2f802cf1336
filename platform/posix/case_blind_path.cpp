#include "platform/posix/case_blind_path.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace cdcopy::posix {

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool CopyName(const char* name, std::size_t length, EntryName& out) {
  if (length >= sizeof out) return false;
  std::memcpy(out, name, length);
  out[length] = '\0';
  return true;
}

}  // namespace

bool EqualIgnoringAsciiCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (AsciiLower(*a) != AsciiLower(*b)) return false;
  }
  return *a == *b;
}

bool FindEntry(int dirFd, const char* name, EntryName& found) {
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
    if (!EqualIgnoringAsciiCase(entry->d_name, name)) continue;
    // Directory order is arbitrary; the smallest name makes the choice the same every time.
    if (!matched || std::strcmp(entry->d_name, found) < 0) std::strcpy(found, entry->d_name);
    matched = true;
  }
  closedir(dir);
  return matched;
}

std::size_t DriveRootLength(const char* path) {
  const char* firstBackslash = std::strchr(path, '\\');
  std::size_t end =
      firstBackslash ? static_cast<std::size_t>(firstBackslash - path) : std::strlen(path);
  while (end > 0 && path[end - 1] != '/') --end;
  return end;
}

UniqueFd OpenParent(const char* path, EntryName& name, bool* exists, std::size_t followLinksUpTo) {
  const char* at = path;
  UniqueFd dir(open(IsSeparator(*at) ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  while (dir) {
    while (IsSeparator(*at)) ++at;
    const char* end = at;
    while (*end && !IsSeparator(*end)) ++end;
    EntryName component;
    if (end == at || !CopyName(at, static_cast<std::size_t>(end - at), component)) {
      errno = end == at ? ENOENT : ENAMETOOLONG;
      return UniqueFd();
    }
    const char* next = end;
    while (IsSeparator(*next)) ++next;
    bool found = FindEntry(dir.Get(), component, name);
    if (!*next) {
      if (exists) *exists = found;
      return dir;
    }
    if (!found) {
      errno = ENOENT;
      return UniqueFd();
    }
    const bool onDisc = static_cast<std::size_t>(at - path) >= followLinksUpTo;
    dir = UniqueFd(
        openat(dir.Get(), name, O_PATH | O_DIRECTORY | O_CLOEXEC | (onDisc ? O_NOFOLLOW : 0)));
    at = next;
  }
  return UniqueFd();
}

}  // namespace cdcopy::posix
