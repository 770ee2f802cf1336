#pragma once

#include "copy/compose.h"
#include "platform/platform.h"

namespace cdcopy {

enum class FailurePolicy {
  RetryThenAbort,  // pause, try once more; a second failure ends the run
  Abort,           // one attempt; a failure ends the run
  Ignore,          // one attempt; a failure is carried on past
};

inline constexpr std::uint32_t kRetryPauseMs = 5000;

// The two arguments, used as given. Distinct types, so that they cannot change places.
struct DriveRoot {
  const char* path;  // the CD-ROM's root, its trailing separator included
};
struct InstallDir {
  const char* path;  // the game's installation, without a trailing separator
};

struct CopyItem {
  const char* progressLine;
  const char* directoryTemplate;  // nullptr: the item has no directory of its own
  const char* sourceTemplate;     // "%s" takes the drive root
  const char* destinationTemplate;
  FailurePolicy policy;
  const char* failureNotice;  // nullptr for items whose failure is ignored
};

// The run's two path buffers, reused by every item. The destination buffer holds the
// directory path first.
struct PathBuffers {
  char source[kPathBufferSize];
  char destination[kPathBufferSize];
};

// Announces the item, makes its directory, copies it whole, makes the copy writable and,
// where the policy says so, pauses and tries once more. Allocates nothing.
bool CopyOneItem(Platform& platform, const CopyItem& item, DriveRoot driveRoot,
                 InstallDir installDir, PathBuffers& paths);

// The item's progress line, standing on the screen before anything else happens.
void AnnounceItem(Platform& platform, const CopyItem& item);

}  // namespace cdcopy
