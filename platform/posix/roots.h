// The two roots of a run, as the user gave them, and what the platform may do below each: read
// the disc below the drive root, and below the installation no more than its owner could.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/posix/case_blind_path.h"
#include "platform/posix/drive_device.h"

namespace cdcopy::posix {

struct Roots {
  std::string drive;    // "" when not told: guessed from each path on the disc
  std::string install;  // "" when not told: the caller's own rights everywhere
  DiscWait wait;        // for a drive named by its device
};

// The folder on the disc that holds the path's last name, as OpenParentBelow on a disc: below
// the drive root, which is matched as a prefix of the path, never guessed from it. A drive root
// naming a block device (/dev/sr0/) stands for the file system on that device wherever it is
// mounted.
UniqueFd OpenOnDisc(Roots& roots, const char* path, EntryName& name, bool* exists);

// The file-system identity of the installation's owner, taken by a process with more rights
// (root, run with sudo into a user's games folder) for as long as this lives: links and hard
// links the owner planted then lead nowhere the owner could not go, files made belong to the
// owner, and root's power over other users' files is set aside.
class ActingAsOwner {
 public:
  ActingAsOwner(uid_t uid, gid_t gid);
  ~ActingAsOwner();
  ActingAsOwner(const ActingAsOwner&) = delete;
  ActingAsOwner& operator=(const ActingAsOwner&) = delete;
  // False when a privileged caller could not set its rights aside: then nothing may be done.
  bool Holds() const { return holds_; }
  bool Switched() const { return switched_; }
  // For a step on a file the process made itself and holds open (giving it an owner).
  void Suspend();
  void Resume();

 private:
  uid_t uid_;
  gid_t gid_;
  bool holds_ = true;
  bool switched_ = false;
};

// The folder in the installation that holds the path's last name, links followed. Below the
// installation folder, named by the user and opened with the caller's rights, everything is
// done as its owner: `owner` then holds that identity, and the caller keeps it while it works
// on what it found.
UniqueFd OpenInInstallation(const Roots& roots, const char* path, EntryName& name, bool* exists,
                            std::optional<ActingAsOwner>& owner);

}  // namespace cdcopy::posix
