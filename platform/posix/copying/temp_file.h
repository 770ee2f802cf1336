// Temporary files: each copy is made in one beside its destination and takes the destination's
// name only once it is whole and on the disk. The contract, in the same words on both systems
// (platform/win32/temporary_file.h):
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

#include <sys/types.h>

#include "platform/posix/reach/identity.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

enum class TempFileKind {
  UnnamedWherePossible,
  Named,  // what a file system without O_TMPFILE gets; chosen by tests to reach that path
};

// Whether a new name in the folder could be renamed and removed again: not where its flags make
// it append-only or immutable. Folders whose file system has no such flags can.
bool TempFilesPossible(int dirFd);

// Each running copy holds a lock on its own file, so one that can be locked is nobody's.
void SweepLeftovers(int dirFd);

// Unnamed (O_TMPFILE) where the file system allows, so a killed process leaves nothing behind;
// it is named only to be renamed, at Commit. It is locked from the moment it exists until after
// its rename. The clean-up, run by the handler of a signal that ends the process
// (process/signals.h), removes the name; signals are held while a name is made and registered,
// so none comes between the two, and a name another process made is never registered.
class TemporaryFile {
 public:
  // Made as whom the run acts now; an unnamed one is given its name with the run's own rights
  // (`credentials`), since by then it may be handed over to someone else. A named one is made
  // with the run's own rights where `namedAsRun` (the identity was seen to be allowed to), so
  // that no one sharing that identity can open it before it is handed over.
  TemporaryFile(int dirFd, mode_t mode, TempFileKind kind, Credentials& credentials,
                bool namedAsRun = false);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  explicit operator bool() const { return static_cast<bool>(fd_); }
  int File() const { return fd_.Get(); }

  // The data reaches the disk (fdatasync) before the rename, and the rename (a sync of the
  // folder) before the copy is reported made, so a power cut leaves the earlier copy or this
  // one, whole.
  bool Commit(const char* finalName);

 private:
  bool Lock();
  bool LinkUnnamed();
  void NextName();
  bool Register();
  void Unregister();
  static void RemoveOnSignal(void* self);

  int dirFd_;
  Credentials& credentials_;
  UniqueFd fd_;
  int cleanup_ = -1;  // the slot of the clean-up while it has a name of its own
  unsigned counter_ = 0;
  char name_[64] = {};
};

}  // namespace cdcopy::posix
