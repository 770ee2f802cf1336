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

UniqueFd Disc::Look(DiscPath path, EntryName& name, struct stat& st, Identity& who) {
  if (root_.empty() || !path.IsUnder(root_)) {
    errno = EACCES;  // not on the disc: nothing else is read
    return UniqueFd();
  }
  Walk walk(credentials_, Identity{}, {});
  // The drive named by its device, with its slash or without: mounted by root or the desktop.
  // Reached as everything else is, so that a link someone else can change names no device.
  const std::string folder = FromRoot(root_);
  Walk toDevice(credentials_, Identity{}, {});
  UniqueFd node;
  struct stat nodeSt;
  if (!folder.empty() && toDevice.StartAtRoot() && toDevice.Reach(folder, node, nodeSt) &&
      S_ISBLK(nodeSt.st_mode)) {
    if (toDevice.Who().kind != Identity::Kind::Caller) {
      errno = EACCES;
      return UniqueFd();
    }
    std::string device = folder;
    while (device.size() > 1 && device.back() == '/') device.pop_back();
    if (!walk.StartAt(OpenMountedDevice(device.c_str(), nodeSt.st_rdev, wait_))) return UniqueFd();
  } else if (folder.empty() || !walk.StartAtRoot() || !walk.EnterAll(folder, false)) {
    // The drive folder as the user named it, with its slash or without, links followed, by
    // whoever can change it.
    return UniqueFd();
  }
  // Below it only the disc's own: no link followed, no other file system entered.
  walk.OnDisc();
  std::string_view leaf;
  bool exists = false;
  if (!walk.EnterAllButLast(path.Below(), true, leaf) || leaf.empty() ||
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

UniqueFd Disc::OpenFile(DiscPath path, struct stat& st) {
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

std::uint32_t Disc::Attributes(DiscPath path) {
  EntryName name;
  struct stat st;
  Identity who;
  if (!Look(path, name, st, who)) return INVALID_FILE_ATTRIBUTES;
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_READONLY;
}

}  // namespace cdcopy::posix
