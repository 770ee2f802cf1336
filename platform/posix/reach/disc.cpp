#include "platform/posix/reach/disc.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/reach/walk.h"

namespace cdcopy::posix {

Disc::Disc(std::string driveRoot, Credentials& credentials, std::chrono::milliseconds mountWait)
    : root_(std::move(driveRoot)), credentials_(credentials) {
  wait_.bound = mountWait;
}

UniqueFd Disc::Look(const char* path, EntryName& name, struct stat& st, Identity& who) {
  if (root_.empty() || std::strncmp(path, root_.c_str(), root_.size()) != 0) {
    errno = EACCES;  // not on the disc: nothing else is read
    return UniqueFd();
  }
  std::string_view rest(path + root_.size());
  Walk walk(credentials_, Identity{}, {});
  // The drive named by its device, with its slash or without: mounted by root or the desktop.
  // Reached as everything else is, so that a link someone else can change names no device.
  std::string device = FromRoot(root_);
  if (!device.empty() && IsSeparator(device.back())) device.pop_back();
  Walk toDevice(credentials_, Identity{}, {});
  UniqueFd node;
  struct stat nodeSt;
  if (!device.empty() && toDevice.StartAtRoot() && toDevice.Reach(device, node, nodeSt) &&
      S_ISBLK(nodeSt.st_mode)) {
    if (toDevice.Who().kind != Identity::Kind::Caller) {
      errno = EACCES;
      return UniqueFd();
    }
    if (!walk.StartAt(OpenMountedDevice(device.c_str(), nodeSt.st_rdev, wait_))) return UniqueFd();
  } else {
    // Without its trailing separator the root's last name runs into the disc's first one, as
    // it does on Windows: the folder is the one before it.
    std::size_t length = root_.size();
    if (!IsSeparator(root_.back())) {
      while (length > 0 && root_[length - 1] != '/') --length;
      rest = path + length;
    }
    std::string folder = root_.substr(0, length);
    if (folder.find_first_not_of("/\\") == std::string::npos && !folder.empty()) folder = "/";
    folder = FromRoot(folder);
    if (folder.empty()) return UniqueFd();
    // The drive folder as the user named it, links followed, by whoever can change it.
    if (!walk.StartAtRoot() || !walk.EnterAll(folder, false)) return UniqueFd();
  }
  // Below it only the disc's own: no link followed, no other file system entered.
  walk.OnDisc();
  while (!rest.empty() && IsSeparator(rest[0])) rest.remove_prefix(1);
  const std::size_t last = rest.find_last_of("\\/");
  const std::string_view leaf = last == std::string_view::npos ? rest : rest.substr(last + 1);
  bool exists = false;
  if (leaf.empty() ||
      (last != std::string_view::npos && !walk.EnterAll(rest.substr(0, last), true)) ||
      !walk.Look(leaf, name, exists, st)) {
    errno = ENOENT;
    return UniqueFd();
  }
  // Looked at, never followed: a link on the disc is as good as nothing.
  if (!exists || S_ISLNK(st.st_mode) || st.st_dev != walk.Here().view.st.st_dev) {
    errno = ENOENT;
    return UniqueFd();
  }
  who = walk.Who();
  return std::move(walk.Here().fd);
}

UniqueFd Disc::OpenFile(const char* path, struct stat& st) {
  EntryName name;
  struct stat looked;
  Identity who;
  UniqueFd dir = Look(path, name, looked, who);
  // A device node or a FIFO is never opened, as opening one can have effects of its own.
  if (!dir || !S_ISREG(looked.st_mode)) return UniqueFd();
  // Non-blocking and never through a link, should the entry change in between; and the disc's
  // own file, not one mounted over it.
  UniqueFd file;
  {
    ActingAs acting(credentials_, who);
    if (!acting.Holds()) return UniqueFd();
    file = UniqueFd(
        openat(dir.Get(), name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  }
  if (!file || fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != looked.st_ino ||
      st.st_dev != looked.st_dev) {
    return UniqueFd();
  }
  return file;
}

std::uint32_t Disc::Attributes(const char* path) {
  EntryName name;
  struct stat st;
  Identity who;
  if (!Look(path, name, st, who)) return INVALID_FILE_ATTRIBUTES;
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_READONLY;
}

}  // namespace cdcopy::posix
