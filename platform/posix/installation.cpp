#include "platform/posix/installation.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

namespace cdcopy::posix {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one lookup

Installation::Place Failed(int error) {
  errno = error;
  return {};
}

}  // namespace

// A walk from a stack of open folders, "/" first: each name entered is found as the identity
// the walk acts as by then, and lowers that identity to who can change the entry.
class Walk {
 public:
  Walk(const Accounts& accounts, Identity who) : accounts_(accounts), who_(std::move(who)) {}

  bool Start(const std::vector<Installation::Folder>& from) {
    for (const Installation::Folder& folder : from) {
      UniqueFd fd(fcntl(folder.fd.Get(), F_DUPFD_CLOEXEC, 0));
      if (!fd) return false;
      stack_.push_back({std::move(fd), folder.st});
    }
    return !stack_.empty();
  }

  bool StartAtRoot() {
    stack_.clear();
    Installation::Folder root{UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)), {}};
    if (!root.fd || fstat(root.fd.Get(), &root.st) != 0) return false;
    stack_.push_back(std::move(root));
    return true;
  }

  // Enters every folder that `path` names, separated as `separators` says.
  bool EnterAll(std::string_view path, bool backslashSeparates) {
    if (!path.empty() && path[0] == '/' && !StartAtRoot()) return false;
    while (!path.empty()) {
      std::size_t end = 0;
      while (end < path.size() && path[end] != '/' && !(backslashSeparates && path[end] == '\\'))
        ++end;
      if (!Enter(path.substr(0, end))) return false;
      path.remove_prefix(end < path.size() ? end + 1 : end);
    }
    return true;
  }

  // Finds `component` in the current folder, as whom the walk acts: its entry name and whether
  // it exists, with the identity lowered to who can change it.
  bool Look(std::string_view component, EntryName& name, bool& exists, struct stat& st) {
    std::string wanted(component);
    ActingAs acting(who_);
    if (!acting.Holds()) return false;
    exists = FindEntry(Here().fd.Get(), wanted.c_str(), name) &&
             fstatat(Here().fd.Get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    who_ = Meet(who_, WhoCanChange(Here().st, exists ? &st : nullptr, accounts_));
    // An access list may let anyone write where the mode shows only the owner: no one is known.
    if (geteuid() == 0 &&
        getxattr(ProcFdName(Here().fd.Get()).path, "system.posix_acl_access", nullptr, 0) > 0) {
      who_ = Meet(who_, Nobody());
    }
    return true;
  }

  bool Enter(std::string_view component) {
    if (component.empty() || component == ".") return true;
    if (component == "..") {
      if (stack_.size() > 1) stack_.pop_back();  // the identity stays as low as it got
      return true;
    }
    if (component.size() > NAME_MAX) return Fail(ENAMETOOLONG);
    EntryName name;
    bool exists = false;
    struct stat looked;
    if (!Look(component, name, exists, looked)) return false;
    if (!exists) return Fail(ENOENT);
    Installation::Folder next;
    {
      ActingAs acting(who_);
      if (!acting.Holds()) return false;
      // As a folder first, so that an automounted one is mounted; a link then as itself.
      next.fd =
          UniqueFd(openat(Here().fd.Get(), name, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
      if (!next.fd && errno == ENOTDIR) {
        next.fd = UniqueFd(openat(Here().fd.Get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
      }
    }
    if (!next.fd || fstat(next.fd.Get(), &next.st) != 0) return false;
    // Judged from what was opened: a name swapped since it was looked at counts as it is now.
    who_ = Meet(who_, WhoCanChange(Here().st, &next.st, accounts_));
    if (S_ISDIR(next.st.st_mode)) {
      stack_.push_back(std::move(next));
      return true;
    }
    if (!S_ISLNK(next.st.st_mode)) return Fail(ENOTDIR);
    if (--linksLeft_ < 0) return Fail(ELOOP);
    char target[PATH_MAX];
    // The link held open, not its name: what is read is what was judged.
    ssize_t length = readlinkat(next.fd.Get(), "", target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return Fail(ENOENT);
    return EnterAll(std::string_view(target, static_cast<std::size_t>(length)), false);
  }

  Installation::Folder& Here() { return stack_.back(); }
  std::vector<Installation::Folder>& Stack() { return stack_; }
  const Identity& Who() const { return who_; }

 private:
  bool Fail(int error) {
    errno = error;
    return false;
  }

  const Accounts& accounts_;
  Identity who_;
  std::vector<Installation::Folder> stack_;
  int linksLeft_ = kMaxLinks;
};

Installation::Installation(std::string folder, const Accounts& accounts)
    : folder_(std::move(folder)), accounts_(accounts) {
  std::string absolute = folder_;
  if (absolute.empty() || absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return;
    absolute = std::string(cwd) + "/" + absolute;
  }
  Walk walk(accounts_, Identity{});
  if (!walk.StartAtRoot() || !walk.EnterAll(absolute, false)) return;
  from_ = std::move(walk.Stack());
  who_ = walk.Who();
  found_ = true;
}

bool Installation::Find(const char* path, Place& place) const {
  place = {};
  const std::size_t length = folder_.size();
  if (!found_ || std::strncmp(path, folder_.c_str(), length) != 0 || !IsSeparator(path[length])) {
    place = Failed(found_ ? EACCES : ENOENT);
    return false;
  }
  std::string_view rest(path + length + 1);
  while (!rest.empty() && IsSeparator(rest[0])) rest.remove_prefix(1);
  std::size_t last = rest.find_last_of("\\/");
  std::string_view name = last == std::string_view::npos ? rest : rest.substr(last + 1);
  if (name.empty() || name == "." || name == ".." || name.size() > NAME_MAX) {
    place = Failed(ENOENT);
    return false;
  }
  Walk walk(accounts_, who_);
  if (!walk.Start(from_)) return false;
  if (last != std::string_view::npos && !walk.EnterAll(rest.substr(0, last), true)) return false;
  struct stat st;
  if (!walk.Look(name, place.name, place.exists, st)) return false;
  place.who = walk.Who();
  place.dir = std::move(walk.Here().fd);
  return true;
}

}  // namespace cdcopy::posix
