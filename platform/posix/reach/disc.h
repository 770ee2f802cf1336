// The disc in the drive, below the drive root exactly as the user gave it. A drive root names a
// folder, with its slash or without (there is no current folder of a drive here), or a block
// device (/dev/sr0/ or /dev/sr0), which stands for the file system on that device wherever it is
// mounted at the moment. The names below the root are the run's. Only the disc's own
// files are read: no link is followed below the root, no other mount is entered, nothing but a
// regular file is opened, and each file opened must be on the disc's file system. A drive folder
// that others can change is read with no more rights than theirs (walk.h).
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/posix/reach/case_blind_path.h"
#include "platform/posix/reach/drive_device.h"
#include "platform/posix/reach/identity.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

class Disc {
 public:
  Disc(std::string driveRoot, Credentials& credentials,
       std::chrono::milliseconds mountWait = kMountWait);

  // A prompt was answered: a disc may just have gone in, worth waiting for while it is mounted,
  // where the disc's items follow.
  void PromptAnswered(bool goingAhead) { wait_.allowed = goingAhead; }
  // Told as a wait for the disc begins and ends (nullptr: no one).
  void WhileWaiting(std::function<void(bool waiting)> told) { wait_.told = std::move(told); }

  // The regular file at a composed path on the disc, open for reading, with its status.
  UniqueFd OpenFile(DiscPath path, struct stat& st);

  // FILE_ATTRIBUTE_DIRECTORY, _READONLY or _ARCHIVE for what the path names on the disc, or
  // INVALID_FILE_ATTRIBUTES.
  std::uint32_t Attributes(DiscPath path);

 private:
  // The folder on the disc that holds the path's last name, where the name is there on the disc
  // itself, with that name as found, the entry's status, and as whom to read it.
  UniqueFd Look(DiscPath path, EntryName& name, struct stat& st, Identity& who);

  std::string root_;
  Credentials& credentials_;
  DiscWait wait_;
};

}  // namespace cdcopy::posix
