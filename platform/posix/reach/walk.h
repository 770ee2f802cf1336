// The one way a run with more rights than others reaches anything: the installation, the disc
// below a drive folder, the desktop's authority file. A path is walked by hand from a folder held
// open, one component at a time, each found without regard to case; at each entry the walk
// lowers the identity it acts as to the people who can change that entry (identity.h), and what
// is judged is what is then used: each step goes on from the descriptor it just opened and
// judged, never from a name looked up again.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/reach/case_blind_path.h"
#include "platform/posix/reach/identity.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

// A folder a walk holds open, with what the rules see of it.
struct HeldFolder {
  UniqueFd fd;
  FolderView view;
};

// What the rules see of the folder `fd` holds: its status, and for a privileged run its file
// system's own owner where that is FUSE, or whether it has an access list. Read with the
// process's own rights, through the descriptor; whatever cannot be read counts as open to all.
bool ViewFolder(int fd, FolderView& view, bool privileged);

// A path from "/": a relative one from the current folder's full path; "" where that is gone.
std::string FromRoot(const std::string& path);

class Walk {
 public:
  struct Rules {
    bool followLinks = true;  // else a link is as good as nothing (a disc's)
    bool onDisc = false;      // names may carry an ISO 9660 version; no other file system
    bool caseBlind = false;   // names below a root as the run composes them, not the root itself
  };
  Walk(Credentials& credentials, Identity who, Rules rules);

  // Starts at "/", or from copies of folders held open, the last one the current.
  bool StartAtRoot();
  bool Start(const std::vector<HeldFolder>& from);
  // Starts at a folder reached otherwise (a disc's mount point), as whom the walk acts now.
  bool StartAt(UniqueFd folder);

  // Enters every folder that `path` names, '/' separating, and '\' too where asked; a path
  // from "/" starts there.
  bool EnterAll(std::string_view path, bool backslashSeparates);
  // Enters the folders that `path` names, from here, before its last name, and answers that name
  // ("" where it names none): names below a root, never from "/".
  bool EnterAllButLast(std::string_view path, bool backslashSeparates, std::string_view& last);
  bool Enter(std::string_view component);
  // Reaches the entry `path` names, whatever it is, following a link at its end too: its
  // descriptor (O_PATH) and status, with the identity lowered along the way.
  bool Reach(std::string_view path, UniqueFd& entry, struct stat& st);
  // Finds `component` in the current folder, as whom the walk acts: its entry name, whether it
  // exists and its status, with the identity lowered to who can change it.
  bool Look(std::string_view component, EntryName& name, bool& exists, struct stat& st);

  // From here down only the disc's own entries: no link followed, no other file system entered.
  void OnDisc() { rules_ = {false, true, true}; }

  HeldFolder& Here() { return stack_.back(); }
  std::vector<HeldFolder>& Stack() { return stack_; }
  const Identity& Who() const { return who_; }
  Credentials& Run() { return credentials_; }

 private:
  bool Push(UniqueFd fd);
  // Finds and opens `component` here, as the walk acts, judging what was opened.
  bool Open(std::string_view component, UniqueFd& entry, struct stat& st);
  // The target of the link held open, counted against the walk's links.
  bool ReadLink(int link, std::string& target);

  Credentials& credentials_;
  Identity who_;
  Rules rules_;
  std::vector<HeldFolder> stack_;
  int linksLeft_;
};

}  // namespace cdcopy::posix
