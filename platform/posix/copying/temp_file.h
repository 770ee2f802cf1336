// Temporary files: each copy is made in one beside its destination and takes the destination's
// name only once it is whole and on the disk. Everything about them is here: making one, its
// lock, its sync and rename, its removal, the sweep of those a run that was ended left behind,
// and the one list a signal handler reads to remove a pending one.
#pragma once

#include <sys/types.h>

#include "platform/posix/reach/identity.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

enum class TempFileKind {
  UnnamedWherePossible,
  Named,  // what a file system without O_TMPFILE gets; chosen by tests to reach that path
};

// A file in the folder `dirFd` that only a successful Commit makes visible under its final name.
// Unnamed (O_TMPFILE) where the file system allows, so a killed process leaves nothing behind.
// It is locked from the moment it exists until after its rename, so that another run's sweep
// never takes it.
class TempFile {
 public:
  // Made as whom the run acts now; an unnamed one is given its name with the run's own rights
  // (`credentials`), since by then it may be handed over to someone else. A named one is made
  // with the run's own rights where `namedAsRun` (the identity was seen to be allowed to), so
  // that no one sharing that identity can open it before it is handed over.
  TempFile(int dirFd, mode_t mode, TempFileKind kind, Credentials& credentials,
           bool namedAsRun = false);
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  int Fd() const { return fd_.Get(); }
  explicit operator bool() const { return static_cast<bool>(fd_); }

  // Durable before it is visible: the data reaches the disk before the rename, and the rename
  // before the copy is reported made, so a power cut leaves the earlier copy or this one, whole.
  bool Commit(const char* finalName);

 private:
  bool Lock();
  bool LinkUnnamed();
  void NextName();

  int dirFd_;
  Credentials& credentials_;
  UniqueFd fd_;
  bool named_ = false;
  unsigned counter_ = 0;
  char name_[64] = {};
};

// Whether a new name in the folder could be renamed and removed again: not where its flags make
// it append-only or immutable. Folders whose file system has no such flags can.
bool TempFilesPossible(int dirFd);

// Removes the temporary files that runs which were ended left in the folder: each running copy
// holds a lock on its own, so one that can be locked is nobody's.
void SweepLeftovers(int dirFd);

// For the signal handler alone: removes the named temporary file this run made and has not yet
// renamed, if there is one. Async-signal-safe.
void RemovePendingTempFiles();

}  // namespace cdcopy::posix
