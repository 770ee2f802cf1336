// As whom a run acts. A run with more rights than the people who can change what it reaches
// (root, with sudo, into a user's games folder, from a user's folder named as the drive, onto a
// user's display) acts, from each entry down, with no more rights than theirs: a link or a folder
// they planted then leads nowhere they could not go, and what the run makes is handed to them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cdcopy::posix {

struct Identity {
  enum class Kind {
    Caller,  // the process's own rights: no one but root can change what was reached
    User,    // one user, with that user's own groups
    Group,   // the members of one group: an unprivileged user with that group alone
    Nobody,  // everyone, people with nothing in common, or what cannot be told: an unprivileged
             // user with no group of its own
  };
  Kind kind = Kind::Caller;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary

  bool operator==(const Identity&) const = default;
};

// A user's primary and supplementary groups, from account databases in /etc/passwd's and
// /etc/group's formats. The static build has no name service: these files are what it reads.
// Files that could not be read name no one, and every rule then fails closed.
struct Accounts {
  std::string_view passwd;
  std::string_view group;
  bool readable = true;
  Identity User(uid_t uid) const;
  bool Names(uid_t uid) const;
  // The users who have `gid` as a primary or supplementary group; `unknown` when the group
  // lists a member the files cannot name.
  std::vector<uid_t> Members(gid_t gid, bool& unknown) const;
};

// The identity with no more rights than either: the same one, the group where the user is in
// it, else nobody.
Identity Meet(const Identity& a, const Identity& b);

// A folder as the rules see it: its status, and what its mode does not show.
struct FolderView {
  struct stat st {};
  // What it says cannot be read (its access list, its file system): open to all.
  bool unknown = false;
  // Those its access list lets write besides its owner, its group and everyone.
  std::vector<uid_t> listedUsers;
  std::vector<gid_t> listedGroups;
  // On a FUSE file system, which reports whatever owners and modes its daemon likes: the mount's
  // own user, or none where that cannot be read.
  bool fuse = false;
  std::optional<uid_t> mountUser;
};

// Who can replace, rename or remove an entry of `folder`: those who may write the folder, and in
// a sticky folder only its owner and the entry's owner (`entry` null for a name not made yet).
// Caller where that is root alone, or where the run (`runUid`, its effective user) has no rights
// to set aside.
Identity WhoCanChange(const FolderView& folder, const struct stat* entry, const Accounts& accounts,
                      uid_t runUid);

// Whether the identity in force may make a name in the folder `dirFd`, asked of the kernel
// itself (access lists included); CannotTell where the kernel cannot be asked (before 5.8).
enum class MayMake { Yes, No, CannotTell };
MayMake MayMakeIn(int dirFd);

// Takes `who` wholly and for good, in a process of its own: groups, group and user.
bool BecomeWholly(const Identity& who);

// An unprivileged user with no group of its own: what someone unknown could do.
Identity Nobody();

// The run's own identity, read once where the run starts, and the one in force now: the only
// state the switches share, owned by the platform object.
class Credentials {
 public:
  // This process's, with the system's account files where the run has rights to set aside.
  Credentials();
  // As tests choose: a run as `uid`, with these account files.
  Credentials(uid_t uid, Accounts accounts);
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;

  uid_t RunUid() const { return uid_; }
  bool Privileged() const { return uid_ == 0; }
  const Accounts& AccountFiles() const { return accounts_; }
  // False once an identity could not be set aside again: then nothing more may be done.
  bool Intact() const { return !restoreFailed_; }
  // The identity in force now.
  const Identity& Current() const { return current_; }

 private:
  friend class ActingAs;
  bool Take(const Identity& who);

  uid_t uid_;
  gid_t gid_;
  std::vector<gid_t> groups_;
  std::string passwd_, group_;
  Accounts accounts_;
  Identity current_;  // Caller: the process's own
  bool restoreFailed_ = false;
};

// The file-system identity `who`, taken for as long as this lives; then exactly the one it
// replaced is back (Caller is the process's own, so a switch inside another one can act as root
// for a call through a descriptor).
class ActingAs {
 public:
  ActingAs(Credentials& credentials, const Identity& who);
  ~ActingAs();
  ActingAs(const ActingAs&) = delete;
  ActingAs& operator=(const ActingAs&) = delete;
  // False when the identity could not be taken, or an earlier one not set aside again: then
  // nothing may be done.
  bool Holds() const { return holds_; }

 private:
  Credentials& credentials_;
  Identity replaced_;
  bool switched_ = false;
  bool holds_ = true;
};

// Whom a new file or folder is handed to: the one its folder's owner would have made in their
// own run, theirs with the group the folder gives. Nothing to hand over where the run made it
// with its own rights, or had none to set aside.
struct HandOver {
  bool needed = false;
  uid_t uid = 0;
  gid_t gid = 0;
  // Gives the new object `fd` holds to its owner, through that descriptor alone, with the
  // process's own rights; true where nothing was needed.
  bool To(Credentials& credentials, int fd) const;
};

}  // namespace cdcopy::posix
