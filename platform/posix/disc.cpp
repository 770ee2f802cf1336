#include "platform/posix/disc.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace cdcopy::posix {

namespace {

// The drive root's folder: the exact name, links followed, as the user named it; else matched
// component by component without regard to case. A root of separators alone is "/".
UniqueFd OpenRootFolder(const std::string& folder) {
  if (folder.empty()) return UniqueFd(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  UniqueFd exact(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (exact || folder.find_first_not_of("/\\") == std::string::npos) {
    return exact ? std::move(exact) : UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  UniqueFd dir(open(folder[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (std::size_t at = 0; dir && at < folder.size();) {
    std::size_t end = folder.find('/', at);
    if (end == std::string::npos) end = folder.size();
    EntryName component, name;
    if (end > at) {
      if (!CopyName(folder.c_str() + at, end - at, component) ||
          !FindEntry(dir.Get(), component, name)) {
        return UniqueFd();
      }
      dir = UniqueFd(openat(dir.Get(), name, O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    at = end + 1;
  }
  return dir;
}

// The disc's folder that holds the last name of `rest`, below `root`: no link is followed and
// no folder on another file system is entered, so a disc cannot lead a copy outside itself.
UniqueFd OpenParentOnDisc(UniqueFd dir, dev_t disc, const char* rest, EntryName& name,
                          bool& exists) {
  for (const char* at = rest; dir;) {
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
    const bool found = FindEntry(dir.Get(), component, name, true);
    if (!*next) {
      exists = found;
      return dir;
    }
    if (!found) break;
    dir = UniqueFd(openat(dir.Get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (dir && (fstat(dir.Get(), &st) != 0 || st.st_dev != disc)) break;  // a mount inside
    at = next;
  }
  errno = ENOENT;
  return UniqueFd();
}

}  // namespace

Disc::Disc(std::string driveRoot, std::chrono::milliseconds mountWait)
    : root_(std::move(driveRoot)) {
  wait_.bound = mountWait;
}

UniqueFd Disc::Find(const char* path, EntryName& name, bool& exists, dev_t& disc) {
  exists = false;
  if (root_.empty() || std::strncmp(path, root_.c_str(), root_.size()) != 0) {
    errno = EACCES;  // not on the disc: nothing else is read
    return UniqueFd();
  }
  const char* rest = path + root_.size();
  UniqueFd root;
  // The drive named by its device, with its slash or without.
  std::string device = root_;
  if (IsSeparator(device.back())) device.pop_back();
  dev_t rdev;
  if (IsBlockDevice(device.c_str(), &rdev)) {
    root = OpenMountedDevice(device.c_str(), rdev, wait_);
  } else {
    // Without its trailing separator the root's last name runs into the disc's first one, as
    // it does on Windows: the folder is the one before it.
    std::size_t length = root_.size();
    if (!IsSeparator(root_.back())) {
      while (length > 0 && root_[length - 1] != '/') --length;
      rest = path + length;
    }
    root = OpenRootFolder(root_.substr(0, length));
  }
  struct stat st;
  if (!root || fstat(root.Get(), &st) != 0) return UniqueFd();
  disc = st.st_dev;
  return OpenParentOnDisc(std::move(root), disc, rest, name, exists);
}

UniqueFd Disc::Look(const char* path, EntryName& name, struct stat& st, dev_t& disc) {
  bool exists = false;
  UniqueFd dir = Find(path, name, exists, disc);
  // Looked at, never followed: a link on the disc is as good as nothing.
  if (!dir || !exists || fstatat(dir.Get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      S_ISLNK(st.st_mode) || st.st_dev != disc) {
    return UniqueFd();
  }
  return dir;
}

UniqueFd Disc::OpenFile(const char* path, struct stat& st) {
  EntryName name;
  struct stat looked;
  dev_t disc = 0;
  UniqueFd dir = Look(path, name, looked, disc);
  // A device node or a FIFO is never opened, as opening one can have effects of its own.
  if (!dir || !S_ISREG(looked.st_mode)) return UniqueFd();
  // Non-blocking and never through a link, should the entry change in between; and the disc's
  // own file, not one mounted over it.
  UniqueFd file(openat(dir.Get(), name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (!file || fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != looked.st_ino ||
      st.st_dev != disc) {
    return UniqueFd();
  }
  return file;
}

std::uint32_t Disc::Attributes(const char* path) {
  EntryName name;
  struct stat st;
  dev_t disc = 0;
  if (!Look(path, name, st, disc)) return INVALID_FILE_ATTRIBUTES;
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_READONLY;
}

}  // namespace cdcopy::posix
