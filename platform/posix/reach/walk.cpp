#include "platform/posix/reach/walk.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/posix/reach/drive_device.h"
#include "platform/posix/read_whole.h"

namespace cdcopy::posix {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one lookup
constexpr long kFuseMagic = 0x65735546;

bool Fail(int error) {
  errno = error;
  return false;
}

// Who the folder's access list lets write, read through a descriptor of its own, never through
// /proc, which a chroot or a small container may lack. False where it cannot be read.
bool ReadAccessList(int fd, FolderView& view) {
  UniqueFd listed(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
  if (!listed) return false;
  char list[4096];
  // NFSv4's and SMB's own lists say who may write in terms of their own: not read here.
  if (fgetxattr(listed.Get(), "system.nfs4_acl", nullptr, 0) >= 0 ||
      fgetxattr(listed.Get(), "system.cifs_acl", nullptr, 0) >= 0) {
    return false;
  }
  const ssize_t size = fgetxattr(listed.Get(), "system.posix_acl_access", list, sizeof list);
  if (size < 0) return errno == ENODATA || errno == EOPNOTSUPP;  // none, or none possible
  // A version, then entries of a tag, permissions and an id, little-endian.
  struct Entry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  };
  constexpr std::uint16_t kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10;
  constexpr std::uint16_t kWrite = 2;
  if (size < 4 || (size - 4) % 8 != 0 || list[0] != 2) return false;
  std::vector<Entry> entries(static_cast<std::size_t>(size - 4) / 8);
  std::memcpy(entries.data(), list + 4, static_cast<std::size_t>(size - 4));
  std::uint16_t mask = kWrite;
  for (const Entry& e : entries) {
    if (e.tag == kMask) mask = e.perm;
  }
  for (const Entry& e : entries) {
    if (!(e.perm & mask & kWrite)) continue;
    if (e.tag == kUser) view.listedUsers.push_back(e.id);
    if (e.tag == kGroup) view.listedGroups.push_back(e.id);
    if (e.tag == kGroupObj) view.listedGroups.push_back(view.st.st_gid);
  }
  return true;
}

}  // namespace

std::string FromRoot(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : "";
}

bool ViewFolder(int fd, FolderView& view, bool privileged) {
  view = {};
  if (fstat(fd, &view.st) != 0) return false;
  if (!privileged) return true;
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) {
    view.unknown = true;  // nothing known of it: open to all
    return true;
  }
  view.fuse = fs.f_type == kFuseMagic;
  if (view.fuse) {
    UniqueFd table(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    view.mountUser =
        FuseMountUser(ReadWhole(table.Get()).c_str(), major(view.st.st_dev), minor(view.st.st_dev));
  } else {
    view.unknown = !ReadAccessList(fd, view);
  }
  return true;
}

Walk::Walk(Credentials& credentials, Identity who, Rules rules)
    : credentials_(credentials), who_(std::move(who)), rules_(rules), linksLeft_(kMaxLinks) {}

bool Walk::Push(UniqueFd fd) {
  HeldFolder folder{std::move(fd), {}};
  if (!folder.fd || !ViewFolder(folder.fd.Get(), folder.view, credentials_.Privileged())) {
    return false;
  }
  stack_.push_back(std::move(folder));
  return true;
}

bool Walk::StartAtRoot() {
  stack_.clear();
  return Push(UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)));
}

bool Walk::Start(const std::vector<HeldFolder>& from) {
  stack_.clear();
  for (const HeldFolder& folder : from) {
    UniqueFd fd(fcntl(folder.fd.Get(), F_DUPFD_CLOEXEC, 0));
    if (!fd) return false;
    stack_.push_back({std::move(fd), folder.view});
  }
  return !stack_.empty();
}

bool Walk::StartAt(UniqueFd folder) {
  stack_.clear();
  return Push(std::move(folder));
}

bool Walk::EnterAll(std::string_view path, bool backslashSeparates) {
  std::string_view last;
  if (!path.empty() && path[0] == '/' && !StartAtRoot()) return false;
  return EnterAllButLast(path, backslashSeparates, last) && Enter(last);
}

bool Walk::EnterAllButLast(std::string_view path, bool backslashSeparates, std::string_view& last) {
  Components names(path, backslashSeparates);
  last = {};
  if (!names.Next(last)) return true;
  while (!names.Done()) {
    if (!Enter(last)) return false;
    names.Next(last);
  }
  return true;
}

bool Walk::Look(std::string_view component, EntryName& name, bool& exists, struct stat& st) {
  if (component.size() > NAME_MAX) return Fail(ENAMETOOLONG);
  std::string wanted(component);
  ActingAs acting(credentials_, who_);
  if (!acting.Holds()) return false;
  const bool found = rules_.caseBlind
                         ? FindEntry(Here().fd.Get(), wanted.c_str(), name, rules_.onDisc)
                         : CopyName(wanted.c_str(), wanted.size(), name);
  exists = found && fstatat(Here().fd.Get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
  who_ = Meet(who_, WhoCanChange(Here().view, exists ? &st : nullptr, credentials_.AccountFiles(),
                                 credentials_.RunUid()));
  return true;
}

bool Walk::Open(std::string_view component, UniqueFd& entry, struct stat& st) {
  EntryName name;
  bool exists = false;
  if (!Look(component, name, exists, st)) return false;
  if (!exists) return Fail(ENOENT);
  {
    ActingAs acting(credentials_, who_);
    if (!acting.Holds()) return false;
    // As a folder first, so that an automounted one is mounted; anything else then as itself.
    entry = UniqueFd(openat(Here().fd.Get(), name, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
    if (!entry && errno == ENOTDIR && rules_.followLinks) {
      entry = UniqueFd(openat(Here().fd.Get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    }
  }
  if (!entry || fstat(entry.Get(), &st) != 0) return false;
  // Judged from what was opened: a name swapped since it was looked at counts as it is now.
  who_ = Meet(who_,
              WhoCanChange(Here().view, &st, credentials_.AccountFiles(), credentials_.RunUid()));
  return true;
}

bool Walk::ReadLink(int link, std::string& target) {
  if (--linksLeft_ < 0) return Fail(ELOOP);
  char read[PATH_MAX];
  // The link held open, not its name: what is read is what was judged.
  const ssize_t length = readlinkat(link, "", read, sizeof read);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof read) return Fail(ENOENT);
  target.assign(read, static_cast<std::size_t>(length));
  return true;
}

bool Walk::Reach(std::string_view path, UniqueFd& entry, struct stat& st) {
  std::string followed;
  for (;;) {
    std::string_view last;
    if (!path.empty() && path[0] == '/' && !StartAtRoot()) return false;
    if (!EnterAllButLast(path, false, last)) return false;
    if (last.empty() || last == "." || last == "..") return Fail(ENOENT);
    if (!Open(last, entry, st)) return false;
    if (!S_ISLNK(st.st_mode)) return true;
    if (!ReadLink(entry.Get(), followed)) return false;
    path = followed;
  }
}

bool Walk::Enter(std::string_view component) {
  if (component.empty() || component == ".") return true;
  if (component == "..") {
    if (rules_.onDisc) return Fail(ENOENT);    // a disc's path only goes down
    if (stack_.size() > 1) stack_.pop_back();  // the identity stays as low as it got
    return true;
  }
  UniqueFd next;
  struct stat st;
  if (!Open(component, next, st)) return false;
  if (S_ISDIR(st.st_mode)) {
    // A disc's own folders only: not one mounted inside it.
    if (rules_.onDisc && st.st_dev != Here().view.st.st_dev) return Fail(ENOENT);
    return Push(std::move(next));
  }
  std::string target;
  if (!S_ISLNK(st.st_mode)) return Fail(ENOTDIR);
  return ReadLink(next.Get(), target) && EnterAll(target, false);
}

}  // namespace cdcopy::posix
