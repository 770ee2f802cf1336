// A drive named by its device, as Windows names a drive by its letter: `/dev/sr0/` (or
// `/dev/cdrom/`) stands for wherever the disc in that drive is mounted at the moment, so that a
// desktop that mounts each disc at a folder named after its label is followed from disc to disc.
// cdcopy never mounts, unmounts or ejects anything itself.
#pragma once

#include <chrono>
#include <cstddef>

#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

// How long a call waits for a disc to be mounted after a box was answered.
inline constexpr std::chrono::milliseconds kMountWait{10000};

// Whether the next call may wait for a mount: set when a box is answered (the user may just have
// put a disc in), cleared when a wait ends with nothing mounted, so that the calls that follow
// for the same prompt fail at once instead of waiting again. Owned by the platform object.
struct DiscWait {
  bool allowed = true;
};

// The monotonic clock, in milliseconds: the one the platform's Sleep keeps to as well.
long long MonotonicMs();

// Where the path's drive root is a block device (the part before its last '/' ahead of the
// disc's own names), the folder at which the device's file system is mounted, O_PATH, with
// `isDevice` set; never a file system mounted over it. A disc not mounted yet is waited for, up to
// kMountWait after each answered box; a drive that reports an open tray or no disc fails at once.
// An invalid fd, with `isDevice` set, where nothing is mounted; `isDevice` false where the root is
// no device.
UniqueFd OpenMountedDevice(const char* path, std::size_t rootLength, bool* isDevice,
                           DiscWait& wait);

// The mount point of the root of the file system on device `major:minor` in a mount table in
// /proc/self/mountinfo's format, octal escapes undone, into `out`; the last one listed where
// there are several. Answers false where there is none. Bind mounts of a folder below the root
// do not count.
bool FindMountPoint(const char* mountinfo, unsigned major, unsigned minor, char* out,
                    std::size_t size);

}  // namespace cdcopy::posix
