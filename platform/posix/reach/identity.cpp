#include "platform/posix/reach/identity.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>

#include "platform/posix/read_whole.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

namespace {

// The kernel's own id for a user it cannot name; no one logs in as it.
constexpr uid_t kUnprivilegedUid = 65534;
constexpr gid_t kUnprivilegedGid = 65534;

std::string_view Field(std::string_view line, int index) {
  for (; index > 0; --index) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {};
    line.remove_prefix(colon + 1);
  }
  return line.substr(0, line.find(':'));
}

bool Number(std::string_view text, unsigned& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Each piece of `text` between `separator`s.
template <typename Each>
void Split(std::string_view text, char separator, Each each) {
  while (!text.empty()) {
    std::size_t end = text.find(separator);
    each(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

template <typename Each>
void Lines(std::string_view text, Each each) {
  Split(text, '\n', [&](std::string_view line) {
    if (!line.empty() && line[0] != '#') each(line);
  });
}

bool ListsMember(std::string_view groupLine, std::string_view name) {
  bool listed = false;
  Split(Field(groupLine, 3), ',', [&](std::string_view member) { listed |= member == name; });
  return listed;
}

Identity Unprivileged(Identity::Kind kind, gid_t gid) {
  Identity who{kind, kUnprivilegedUid, gid, {}};
  if (kind == Identity::Kind::Group) who.groups = {gid};
  return who;
}

bool InGroup(const Identity& user, gid_t gid) {
  return user.gid == gid ||
         std::find(user.groups.begin(), user.groups.end(), gid) != user.groups.end();
}

std::vector<gid_t> ProcessGroups() {
  std::vector<gid_t> read(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
  if (getgroups(static_cast<int>(read.size()), read.data()) != static_cast<int>(read.size())) {
    read.clear();
  }
  return read;
}

}  // namespace

Identity Accounts::User(uid_t uid) const {
  Identity who = Unprivileged(Identity::Kind::User, kUnprivilegedGid);
  who.uid = uid;
  std::string_view name;
  Lines(passwd, [&](std::string_view line) {
    unsigned lineUid = 0, lineGid = 0;
    if (name.empty() && Number(Field(line, 2), lineUid) && lineUid == uid &&
        Number(Field(line, 3), lineGid)) {
      name = Field(line, 0);
      who.gid = lineGid;
      who.groups = {lineGid};
    }
  });
  // Not in the files (a directory service): the user's own id, with the unprivileged group and
  // no other.
  if (name.empty()) return who;
  Lines(group, [&](std::string_view line) {
    unsigned gid = 0;
    if (ListsMember(line, name) && Number(Field(line, 2), gid) && !InGroup(who, gid)) {
      who.groups.push_back(gid);
    }
  });
  return who;
}

bool Accounts::Names(uid_t uid) const {
  bool named = false;
  Lines(passwd, [&](std::string_view line) {
    unsigned lineUid = 0;
    named = named || (Number(Field(line, 2), lineUid) && lineUid == uid);
  });
  return named;
}

std::vector<uid_t> Accounts::Members(gid_t gid, bool& unknown) const {
  std::vector<uid_t> members;
  Lines(passwd, [&](std::string_view line) {
    unsigned uid = 0, lineGid = 0;
    if (Number(Field(line, 2), uid) && Number(Field(line, 3), lineGid) && lineGid == gid) {
      members.push_back(uid);
    }
  });
  Lines(group, [&](std::string_view line) {
    unsigned lineGid = 0;
    if (!Number(Field(line, 2), lineGid) || lineGid != gid) return;
    Split(Field(line, 3), ',', [&](std::string_view member) {
      bool named = false;
      Lines(passwd, [&](std::string_view user) {
        unsigned uid = 0;
        if (!named && Field(user, 0) == member && Number(Field(user, 2), uid)) {
          named = true;
          members.push_back(uid);
        }
      });
      unknown = unknown || !named;
    });
  });
  return members;
}

Identity Meet(const Identity& a, const Identity& b) {
  using Kind = Identity::Kind;
  if (a.kind == Kind::Caller) return b;
  if (b.kind == Kind::Caller || a == b) return a;
  if (a.kind == Kind::User && b.kind == Kind::Group && InGroup(a, b.gid)) return b;
  if (b.kind == Kind::User && a.kind == Kind::Group && InGroup(b, a.gid)) return a;
  return Nobody();
}

Identity WhoCanChange(const FolderView& folder, const struct stat* entry, const Accounts& accounts,
                      uid_t runUid) {
  // Without root's rights the run has only its own: nothing to set aside.
  if (runUid != 0) return {};
  // What cannot be told counts as open to everyone: an access list or a file system that cannot
  // be read, a FUSE mount's user that cannot be read, anyone but root where the account files
  // cannot say who they are.
  if (folder.unknown) return Nobody();
  // A user's FUSE daemon may report any owner and mode: its user is who changes everything
  // there. Root's reports what is so, and its entries go by the usual rules.
  if (folder.fuse && (!folder.mountUser || *folder.mountUser != 0)) {
    if (!folder.mountUser || !accounts.readable) return Nobody();
    return accounts.User(*folder.mountUser);
  }
  const struct stat& st = folder.st;
  std::vector<uid_t> users = {st.st_uid};
  std::vector<gid_t> groups;
  if (st.st_mode & S_ISVTX) {
    if (entry) users.push_back(entry->st_uid);
  } else if (st.st_mode & S_IWOTH) {
    return Nobody();
  } else {
    users.insert(users.end(), folder.listedUsers.begin(), folder.listedUsers.end());
    groups = folder.listedGroups;
    if (st.st_mode & S_IWGRP) groups.push_back(st.st_gid);
  }
  Identity who;
  for (gid_t gid : groups) {
    if (!accounts.readable) return Nobody();
    bool unknown = false;
    std::vector<uid_t> members = accounts.Members(gid, unknown);
    std::erase(members, 0);
    // A group of one (a user's own group) is that user; root's group with no other member is
    // root's. One with no member the files can name has members all the same (a directory
    // service, a setgid program): it is that group.
    if (!unknown && members.empty() && gid == 0) continue;
    if (unknown || members.size() != 1) {
      who = Meet(who, Unprivileged(Identity::Kind::Group, gid));
    } else {
      users.push_back(members[0]);
    }
  }
  std::erase(users, 0);
  if (!users.empty() && !accounts.readable) return Nobody();
  for (uid_t uid : users) who = Meet(who, accounts.User(uid));
  return who;
}

MayMake MayMakeIn(int dirFd) {
  // faccessat2 with AT_EACCESS judges by the file-system identity; the C library's own
  // faccessat would judge by the effective user, root, on kernels without it.
  if (syscall(__NR_faccessat2, dirFd, ".", W_OK | X_OK, AT_EACCESS) == 0) return MayMake::Yes;
  return errno == ENOSYS || errno == EPERM ? MayMake::CannotTell : MayMake::No;
}

bool BecomeWholly(const Identity& who) {
  return who.kind == Identity::Kind::Caller ||
         (setgroups(who.groups.size(), who.groups.data()) == 0 &&
          setresgid(who.gid, who.gid, who.gid) == 0 && setresuid(who.uid, who.uid, who.uid) == 0);
}

Identity Nobody() {
  return Unprivileged(Identity::Kind::Nobody, kUnprivilegedGid);
}

Credentials::Credentials() : uid_(geteuid()), gid_(getegid()), groups_(ProcessGroups()) {
  // Only a run with rights to set aside reads who the others are.
  if (uid_ != 0) return;
  UniqueFd passwd(open("/etc/passwd", O_RDONLY | O_CLOEXEC));
  UniqueFd group(open("/etc/group", O_RDONLY | O_CLOEXEC));
  passwd_ = ReadWhole(passwd.Get());
  group_ = ReadWhole(group.Get());
  accounts_ = {passwd_, group_, passwd && group};
}

Credentials::Credentials(uid_t uid, posix::Accounts accounts)
    : uid_(uid), gid_(getegid()), groups_(ProcessGroups()), accounts_(accounts) {}

// Takes `who` as the file-system identity: its groups, then its group and user, each checked by
// reading it back, since an invalid one changes nothing and says so only that way.
bool Credentials::Take(const Identity& who) {
  const bool caller = who.kind == Identity::Kind::Caller;
  const uid_t uid = caller ? uid_ : who.uid;
  const gid_t gid = caller ? gid_ : who.gid;
  const std::vector<gid_t>& groups = caller ? groups_ : who.groups;
  if (setgroups(groups.size(), groups.data()) != 0) return false;
  setfsgid(gid);
  setfsuid(uid);
  current_ = who;
  return setfsuid(static_cast<uid_t>(-1)) == static_cast<int>(uid) &&
         setfsgid(static_cast<gid_t>(-1)) == static_cast<int>(gid);
}

ActingAs::ActingAs(Credentials& credentials, const Identity& who)
    : credentials_(credentials), replaced_(credentials.current_) {
  // Once an identity could not be set aside, nothing more is done, not even as the caller.
  holds_ = credentials_.Intact();
  if (!holds_ || who == replaced_) return;
  switched_ = true;
  holds_ = credentials_.Take(who);
}

ActingAs::~ActingAs() {
  if (switched_ && !credentials_.Take(replaced_)) credentials_.restoreFailed_ = true;
}

bool HandOver::To(Credentials& credentials, int fd) const {
  if (!needed) return true;
  ActingAs own(credentials, Identity{});
  return own.Holds() && fchown(fd, uid, gid) == 0;
}

}  // namespace cdcopy::posix
