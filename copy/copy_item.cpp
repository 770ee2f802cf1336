#include "copy/copy_item.h"

namespace cdcopy {

namespace {

// Within the limit the platform counts (the template's "%s" is not in the path), and within
// the buffer.
bool Fits(Platform& platform, const char* tmpl, const char* arg) {
  return platform.PathLength(tmpl) + platform.PathLength(arg) <= kPathCharacters + 2 &&
         ComposedLength(tmpl, arg) < kPathBufferSize;
}

// A path cut short would name some other file, so an item whose paths do not all fit is
// refused before anything is touched.
bool PathsFit(Platform& platform, const CopyItem& item, DriveRoot driveRoot,
              InstallDir installDir) {
  return (!item.directoryTemplate || Fits(platform, item.directoryTemplate, installDir.path)) &&
         Fits(platform, item.sourceTemplate, driveRoot.path) &&
         Fits(platform, item.destinationTemplate, installDir.path);
}

}  // namespace

void AnnounceItem(Platform& platform, const CopyItem& item) {
  platform.WriteStdout(item.progressLine);
  if (platform.IsStdoutTerminal()) platform.FlushStdout();
}

bool CopyOneItem(Platform& platform, const CopyItem& item, DriveRoot driveRoot,
                 InstallDir installDir, PathBuffers& paths) {
  AnnounceItem(platform, item);
  platform.ItemStarting(item.progressLine);

  if (!PathsFit(platform, item, driveRoot, installDir)) return false;

  if (item.directoryTemplate) {
    platform.CreateDirectoryA(
        ComposePath<InstallPath>(paths.destination, item.directoryTemplate, installDir.path));
  }
  const auto source = ComposePath<DiscPath>(paths.source, item.sourceTemplate, driveRoot.path);
  const auto destination =
      ComposePath<InstallPath>(paths.destination, item.destinationTemplate, installDir.path);

  bool copied = platform.CopyFileA(source, destination, false);
  // Also after a failure: a read-only earlier copy becomes replaceable.
  platform.SetFileAttributesA(destination, FILE_ATTRIBUTE_ARCHIVE);
  if (copied) return true;
  if (item.policy != FailurePolicy::RetryThenAbort) return false;

  platform.Sleep(kRetryPauseMs);
  if (!platform.CopyFileA(source, destination, false)) return false;
  platform.SetFileAttributesA(destination, FILE_ATTRIBUTE_ARCHIVE);
  return true;
}

}  // namespace cdcopy
