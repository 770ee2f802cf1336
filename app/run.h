#pragma once

#include "app/disc_stage.h"
#include "platform/platform.h"

namespace cdcopy {

// The whole run: the base disc, then the two expansion discs. Always answers 0, the exit
// status; what went wrong has been told in a notice.
int Run(Platform& platform, DriveRoot driveRoot, InstallDir installDir);

}  // namespace cdcopy
