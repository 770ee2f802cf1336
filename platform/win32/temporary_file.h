// The life of the temporary file that a copy is made in: beside its destination, so that
// taking the destination's name is a rename within one folder, hidden while it fills, and open
// from its creation until it has that name or is deleted, so that no other run's sweep can
// take it meanwhile.
#pragma once

#include <windows.h>

#include <string>

namespace cdcopy::win32 {

class TemporaryFile {
 public:
  // Removes the leftovers of killed runs in the destination's folder, then creates the file.
  // `destination` as the run gave it, not yet through FilePath: every name made from it goes
  // through it.
  explicit TemporaryFile(const std::wstring& destination);
  // Deleted unless it took the destination's name.
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Open for writing, or INVALID_HANDLE_VALUE when it could not be made.
  HANDLE Handle() const { return handle_; }

  // Visible again, so that the copy is never hidden, then moved over the destination while
  // still open: a held destination is waited for as Patiently() waits. Then closed. Not once the
  // run is being stopped: Ctrl-C during the flush keeps the earlier copy.
  bool Replace();

 private:
  std::wstring destination_, path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace cdcopy::win32
