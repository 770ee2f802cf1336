#include "platform/posix/reach/installation.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string_view>

namespace cdcopy::posix {

namespace {

Installation::Place Failed(int error) {
  errno = error;
  return {};
}

// The owner of what is made in `folder`, as their own run would leave it: a setgid folder's
// group, else the owner's own primary group (the folder's where the files do not name them).
HandOver OwnerOf(const FolderView& folder, const Identity& who, const Credentials& run) {
  if (!run.Privileged() || who.kind == Identity::Kind::Caller) return {};
  const uid_t owner = folder.fuse && folder.mountUser ? *folder.mountUser : folder.st.st_uid;
  gid_t group = folder.st.st_gid;
  if (!(folder.st.st_mode & S_ISGID) && run.AccountFiles().Names(owner)) {
    group = run.AccountFiles().User(owner).gid;
  }
  return {true, owner, group};
}

}  // namespace

Installation::Installation(std::string folder, Credentials& credentials)
    : folder_(std::move(folder)), credentials_(credentials) {
  const std::string absolute = FromRoot(folder_);
  Walk walk(credentials_, Identity{}, {});
  if (absolute.empty() || !walk.StartAtRoot() || !walk.EnterAll(absolute, false)) return;
  from_ = std::move(walk.Stack());
  who_ = walk.Who();
  found_ = true;
}

bool Installation::Find(InstallPath path, Place& place) const {
  place = {};
  if (!found_ || !path.IsUnder(folder_)) {
    place = Failed(found_ ? EACCES : ENOENT);
    return false;
  }
  Walk walk(credentials_, who_, {.caseBlind = true});
  std::string_view name;
  if (!walk.Start(from_) || !walk.EnterAllButLast(path.Below(), true, name)) return false;
  if (name.empty() || name == "." || name == ".." || name.size() > NAME_MAX) {
    place = Failed(ENOENT);
    return false;
  }
  struct stat st;
  if (!walk.Look(name, place.name, place.exists, st)) return false;
  place.who = walk.Who();
  place.handOver = OwnerOf(walk.Here().view, place.who, credentials_);
  place.dir = std::move(walk.Here().fd);
  return true;
}

}  // namespace cdcopy::posix
