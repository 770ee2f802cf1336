#include "app/run.h"

namespace cdcopy {

namespace {

int ShowPrompt(Platform& platform, const char* text) {
  return platform.MessageBoxA(text, DialogTitle, MB_OKCANCEL | MB_ICONINFORMATION);
}

void ShowNotice(Platform& platform, const char* text, unsigned icon) {
  platform.MessageBoxA(text, DialogTitle, MB_OK | icon);
}

bool GoesAhead(GoAhead rule, int answer) {
  return rule == GoAhead::UnlessCancel ? answer != IDCANCEL : answer == IDOK;
}

// Prompts for one disc and copies its items. Answers whether the run goes on.
bool RunStage(Platform& platform, const DiscStage& stage, DriveRoot driveRoot,
              InstallDir installDir, RunBuffers& buffers) {
  // A drive root too long for the buffer leaves the prompt cut short, never overrun.
  Compose(buffers.text, kTextBufferSize, stage.promptTemplate, driveRoot.path);
  if (!GoesAhead(stage.goAhead, ShowPrompt(platform, buffers.text))) {
    if (!stage.cancelNotice) return true;
    ShowNotice(platform, stage.cancelNotice, MB_ICONWARNING);
    return false;
  }
  for (const CopyItem& item : stage.items) {
    if (CopyOneItem(platform, item, driveRoot, installDir, buffers.paths)) continue;
    if (item.policy == FailurePolicy::Ignore) continue;
    ShowNotice(platform, item.failureNotice, MB_ICONERROR);
    return false;
  }
  return true;
}

}  // namespace

void RunExpansionStages(Platform& platform, DriveRoot driveRoot, InstallDir installDir,
                        RunBuffers& buffers) {
  for (const DiscStage& stage : kExpansionStages) {
    RunStage(platform, stage, driveRoot, installDir, buffers);
  }
}

int Run(Platform& platform, DriveRoot driveRoot, InstallDir installDir) {
  RunBuffers buffers;
  if (RunStage(platform, kBaseStage, driveRoot, installDir, buffers)) {
    RunExpansionStages(platform, driveRoot, installDir, buffers);
  }
  return 0;
}

}  // namespace cdcopy
