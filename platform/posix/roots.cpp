#include "platform/posix/roots.h"

#include <grp.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace cdcopy::posix {

namespace {

// The groups a switch sets aside, to be put back; fixed once, as the run has one thread.
std::vector<gid_t>& SavedGroups() {
  static std::vector<gid_t> groups;
  return groups;
}

}  // namespace

UniqueFd OpenOnDisc(Roots& roots, const char* path, EntryName& name, bool* exists) {
  const std::string& drive = roots.drive;
  std::size_t length = DriveRootLength(path);
  if (!drive.empty() && std::strncmp(path, drive.c_str(), drive.size()) == 0) {
    length = drive.size();
    // Without its trailing separator the root's last name runs into the disc's first one, as
    // it does on Windows: the folder is the one before it.
    if (!IsSeparator(drive.back())) {
      while (length > 0 && path[length - 1] != '/') --length;
    }
  }
  bool isDevice = false;
  UniqueFd root = OpenMountedDevice(path, length, &isDevice, roots.wait);
  if (!isDevice) root = OpenFolder(path, length);
  return OpenParentBelow(std::move(root), path + length, name, exists, true);
}

ActingAsOwner::ActingAsOwner(uid_t uid, gid_t gid) : uid_(uid), gid_(gid) {
  if (geteuid() == uid) return;
  std::vector<gid_t>& groups = SavedGroups();
  int count = getgroups(0, nullptr);
  groups.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  if (count > 0 && getgroups(count, groups.data()) != count) groups.clear();
  Resume();
  // Without the rights to switch, the caller has only its own: nothing to set aside.
  holds_ = switched_ || geteuid() != 0;
}

ActingAsOwner::~ActingAsOwner() {
  if (switched_) Suspend();
}

void ActingAsOwner::Resume() {
  if (setgroups(1, &gid_) != 0) return;
  setfsgid(gid_);
  setfsuid(uid_);
  // Each call answers the identity before it: an invalid one changes nothing and tells.
  switched_ = setfsuid(static_cast<uid_t>(-1)) == static_cast<int>(uid_) &&
              setfsgid(static_cast<gid_t>(-1)) == static_cast<int>(gid_);
  if (!switched_) Suspend();
}

void ActingAsOwner::Suspend() {
  setfsuid(geteuid());
  setfsgid(getegid());
  const std::vector<gid_t>& groups = SavedGroups();
  int restored = setgroups(groups.size(), groups.data());
  (void)restored;
  switched_ = false;
}

UniqueFd OpenInInstallation(const Roots& roots, const char* path, EntryName& name, bool* exists,
                            std::optional<ActingAsOwner>& owner) {
  const std::string& install = roots.install;
  if (install.empty() || std::strncmp(path, install.c_str(), install.size()) != 0 ||
      !IsSeparator(path[install.size()])) {
    return OpenParent(path, name, exists);
  }
  UniqueFd top = OpenFolder(path, install.size());
  struct stat st;
  if (!top || fstat(top.Get(), &st) != 0) return UniqueFd();
  owner.emplace(st.st_uid, st.st_gid);
  if (!owner->Holds()) return UniqueFd();
  return OpenParentBelow(std::move(top), path + install.size(), name, exists, false);
}

}  // namespace cdcopy::posix
