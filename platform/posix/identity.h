// As whom the run acts in the installation. A run with more rights than the people who can
// change what it walks through (root, with sudo, into a user's games folder) acts, from each
// entry down, with no more rights than theirs: a link or a folder they planted then leads
// nowhere they could not go, and what the run makes there is theirs to change.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string_view>
#include <vector>

namespace cdcopy::posix {

struct Identity {
  enum class Kind {
    Caller,  // the process's own rights: no one but root can change what was walked
    User,    // one user, with that user's own groups
    Group,   // the members of one group: an unprivileged user with that group alone
    Nobody,  // everyone, people with nothing in common, or an access list: an unprivileged user
             // with no group of its own
  };
  Kind kind = Kind::Caller;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary

  bool operator==(const Identity&) const = default;
};

// A user's primary and supplementary groups, from account databases in /etc/passwd's and
// /etc/group's formats. The static build has no name service: these files are what it reads.
struct Accounts {
  std::string_view passwd;
  std::string_view group;
  Identity User(uid_t uid) const;
  // The users who have `gid` as a primary or supplementary group; `unknown` when the group
  // lists a member the files cannot name.
  std::vector<uid_t> Members(gid_t gid, bool& unknown) const;
};

// The identity with no more rights than either: the same one, the group where the user is in
// it, else nobody.
Identity Meet(const Identity& a, const Identity& b);

// Who can replace, rename or remove an entry of `folder`: those who may write the folder, and in
// a sticky folder only its owner and the entry's owner (`entry` null for a name not made yet).
// Caller where that is root alone, or where the process has no rights to set aside.
Identity WhoCanChange(const struct stat& folder, const struct stat* entry,
                      const Accounts& accounts);

// An unprivileged user with no group of its own: what everyone could do.
Identity Nobody();

// This system's own account files, read once.
const Accounts& SystemAccounts();

// The file-system identity `who`, taken for as long as this lives (Caller changes nothing).
class ActingAs {
 public:
  explicit ActingAs(const Identity& who);
  ~ActingAs();
  ActingAs(const ActingAs&) = delete;
  ActingAs& operator=(const ActingAs&) = delete;
  // False when the identity could not be taken, or an earlier one not set aside again: then
  // nothing may be done.
  bool Holds() const { return holds_; }

 private:
  bool switched_ = false;
  bool holds_ = true;
};

}  // namespace cdcopy::posix
