// A drive named by its device, as Windows names a drive by its letter: `/dev/sr0/` (or
// `/dev/cdrom/`) stands for wherever the disc in that drive is mounted at the moment, so that a
// desktop that mounts each disc at a folder named after its label is followed from disc to disc.
// cdcopy never mounts, unmounts or ejects anything itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

// How long a call waits for a disc to be mounted after a box was answered.
inline constexpr std::chrono::milliseconds kMountWait{10000};

// Whether the next call may wait for a mount: set when a prompt is answered and its disc's items
// follow (the user may just have put a disc in), cleared when a wait ends with nothing mounted,
// so that the calls that follow for the same prompt fail at once instead of waiting again. Owned
// by the disc (disc.h).
struct DiscWait {
  bool allowed = true;
  std::chrono::milliseconds bound = kMountWait;
  std::function<void(bool waiting)> told;  // as a wait begins and ends, for whoever shows it
};

// The folder at which the file system on block device `rdev` (the drive `device`) is mounted,
// O_PATH; never a file system mounted over it. A disc not mounted yet is waited for, up to the
// wait's bound after each prompt answered; a drive that reports an open tray or no disc fails at
// once.
// An invalid fd where nothing is mounted.
UniqueFd OpenMountedDevice(const char* device, dev_t rdev, DiscWait& wait);

// The mount points of the root of the file system on device `major:minor` in a mount table in
// /proc/self/mountinfo's format, octal escapes undone, in the table's order (the newest last).
// Bind mounts of a folder below the root do not count.
std::vector<std::string> FindMountPoints(const char* mountinfo, unsigned major, unsigned minor);

// The user who mounted the FUSE file system on device `major:minor` (its `user_id=` option), from
// a mount table in /proc/self/mountinfo's format; none where the table does not tell.
std::optional<uid_t> FuseMountUser(const char* mountinfo, unsigned major, unsigned minor);

}  // namespace cdcopy::posix
