// Temporary files: each copy is made in one beside its destination and takes the destination's
// name only once it is whole and on the disk. The contract, in the same words on both systems
// (platform/posix/copying/temp_file.h):
//   SweepLeftovers(folder)   removes what runs that were ended left in the folder, never the
//                            file of a run still at work, which holds its own until renamed.
//   TemporaryFile(folder..)  makes the file in the folder, held so that no sweep takes it, and
//                            registers the name it has made with the clean-up that runs when
//                            the process is ended; false when it could not be made.
//   File()                   the open file, where the copy is written.
//   Commit(finalName)        makes it durable, then renames it over `finalName` in that folder
//                            and unregisters it: the destination is the earlier copy or this
//                            one, whole.
//   ~TemporaryFile()         discards it unless it was committed, and unregisters it.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/unique_handle.h"

namespace cdcopy::win32 {

// Each running copy holds its own file open, unshared but for deleting, so one that opens
// without sharing is nobody's. `folder` as for TemporaryFile.
void SweepLeftovers(const std::wstring& folder);

// Hidden while it fills, and open, shared for deleting only, until it has been renamed: so the
// console handler can remove it, and it can be renamed while open. The clean-up, run by the
// console handler when the copy outlasts its wait (console_control.h), deletes the name; it is
// registered once the file is made, so a name another process made is never registered.
class TemporaryFile {
 public:
  // `folder` as the run gave it, ending in its separator ("C:" for drive C:'s current folder,
  // "" for the current one), not yet through FilePath: every name made from it goes through it.
  explicit TemporaryFile(const std::wstring& folder);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  explicit operator bool() const { return static_cast<bool>(handle_); }
  HANDLE File() const { return handle_.Get(); }

  // Flushed to the disk (FlushFileBuffers), made visible again so that the copy is never hidden,
  // then moved over the destination while still open, a held destination waited for as
  // Patiently() waits, and closed: a rename within one folder, which NTFS journals, not itself
  // flushed. Not once the run is being stopped: Ctrl-C during the flush keeps the earlier copy.
  bool Commit(const std::wstring& finalName);

 private:
  bool Register();
  void Unregister();
  static void RemoveOnStop(void* self);

  std::wstring folder_;
  std::wstring name_;  // in full, through FilePath
  UniqueHandle<> handle_;
  int cleanup_ = -1;  // the slot of the clean-up while it is made and not yet renamed
};

}  // namespace cdcopy::win32
