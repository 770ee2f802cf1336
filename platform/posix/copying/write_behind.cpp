#include "platform/posix/copying/write_behind.h"

#include <fcntl.h>
#include <unistd.h>

namespace cdcopy::posix {

namespace {

// Whatever is read but not yet written is left for the disk once the disc is done, and where the
// disc reads in the reader's own call the drive then stands still, as it does whenever the run
// waits for the disk. So the disc is asked for one window ahead only, and the run waits only
// once this much waits to be written: 0.4 s of a disk that writes 10 MB/s, more than its
// bursts, so a disk faster than the drive never stops it, and a slower one, then the limit,
// always has work queued.
constexpr off_t kReadAhead = WriteBehind::kWindow;
constexpr off_t kUnwritten = 4 * WriteBehind::kWindow;

}  // namespace

void WriteBehind::Start() {
  if (!started_) posix_fadvise(from_, 0, kReadAhead, POSIX_FADV_WILLNEED);
  started_ = true;
}

// Each finished window is handed to the disk at once: the kernel would hold it until the sync
// before the rename, and the copy would take the time to read plus the time to write.
void WriteBehind::Copied() {
  const off_t done = lseek(to_, 0, SEEK_CUR);
  for (; done - handed_ >= kWindow; handed_ += kWindow) {
    sync_file_range(to_, handed_, kWindow, SYNC_FILE_RANGE_WRITE);
    if (handed_ >= kUnwritten) {
      sync_file_range(
          to_, handed_ - kUnwritten, kWindow,
          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    }
    posix_fadvise(from_, handed_ + kReadAhead, kWindow, POSIX_FADV_WILLNEED);
  }
}

}  // namespace cdcopy::posix
