#include "app/run.h"

namespace cdcopy {

namespace {

// Everything the run keeps, fixed in size, for the whole run.
struct RunBuffers {
  PathBuffers paths;
  char text[kTextBufferSize];
};

int ShowPrompt(Platform& platform, const char* text) {
  return platform.MessageBoxA(text, DialogTitle, MB_OKCANCEL | MB_ICONINFORMATION);
}

void ShowNotice(Platform& platform, const char* text, unsigned icon) {
  platform.MessageBoxA(text, DialogTitle, MB_OK | icon);
}

bool GoesAhead(GoAhead rule, int answer) {
  return rule == GoAhead::UnlessCancel ? answer != IDCANCEL : answer == IDOK;
}

bool IsFolder(Platform& platform, const char* folderTemplate, DriveRoot driveRoot, char* path) {
  // A path cut short would name some other folder: one that does not fit is not there.
  if (ComposedLength(folderTemplate, driveRoot.path) >= kPathBufferSize) return false;
  std::uint32_t attributes =
      platform.GetFileAttributesA(ComposePath<DiscPath>(path, folderTemplate, driveRoot.path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Only a disc positively known to be another expansion's is refused; a disc that shows neither
// folder is copied from as usual.
bool HoldsTheOtherDisc(Platform& platform, const DiscStage& stage, DriveRoot driveRoot,
                       char* path) {
  if (!stage.discFolderTemplate) return false;
  return !IsFolder(platform, stage.discFolderTemplate, driveRoot, path) &&
         IsFolder(platform, stage.otherDiscFolderTemplate, driveRoot, path);
}

// Prompts for one disc and copies its items. Answers whether the run goes on.
bool RunStage(Platform& platform, const DiscStage& stage, DriveRoot driveRoot,
              InstallDir installDir, RunBuffers& buffers) {
  // A drive root too long for the buffer leaves the prompt cut short, never overrun.
  Compose(buffers.text, kTextBufferSize, stage.promptTemplate, driveRoot.path);
  const bool goingAhead = GoesAhead(stage.goAhead, ShowPrompt(platform, buffers.text));
  platform.PromptAnswered(goingAhead);
  if (!goingAhead) {
    if (!stage.cancelNotice) return true;
    ShowNotice(platform, stage.cancelNotice, MB_ICONWARNING);
    return false;
  }
  if (HoldsTheOtherDisc(platform, stage, driveRoot, buffers.paths.source)) {
    // As for any failure in these stages, the user sees the progress lines and nothing else.
    for (const CopyItem& item : stage.items) AnnounceItem(platform, item);
    return true;
  }
  for (const CopyItem& item : stage.items) {
    if (CopyOneItem(platform, item, driveRoot, installDir, buffers.paths)) continue;
    if (item.policy == FailurePolicy::Ignore) continue;
    ShowNotice(platform, item.failureNotice, MB_ICONERROR);
    return false;
  }
  return true;
}

// The two optional discs, after the base disc has been copied.
void RunExpansionStages(Platform& platform, DriveRoot driveRoot, InstallDir installDir,
                        RunBuffers& buffers) {
  for (const DiscStage& stage : kExpansionStages) {
    RunStage(platform, stage, driveRoot, installDir, buffers);
  }
}

}  // namespace

int Run(Platform& platform, DriveRoot driveRoot, InstallDir installDir) {
  RunBuffers buffers;
  if (RunStage(platform, kBaseStage, driveRoot, installDir, buffers)) {
    RunExpansionStages(platform, driveRoot, installDir, buffers);
  }
  return 0;
}

}  // namespace cdcopy
