#pragma once

#include "app/disc_stage.h"
#include "platform/platform.h"

namespace cdcopy {

// The whole run: the base disc, then the two expansion discs. Always answers 0, the exit
// status; what went wrong has been told in a notice.
int Run(Platform& platform, DriveRoot driveRoot, InstallDir installDir);

// Prompts for one disc and copies its items. Answers whether the run goes on.
bool RunStage(Platform& platform, const DiscStage& stage, DriveRoot driveRoot,
              InstallDir installDir, RunBuffers& buffers);

void RunExpansionStages(Platform& platform, DriveRoot driveRoot, InstallDir installDir,
                        RunBuffers& buffers);

}  // namespace cdcopy
