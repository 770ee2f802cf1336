// Ctrl-C, Ctrl-Break and a closed console. Windows runs the handler on a thread of its own; it
// raises the stop flag, gives the copy in progress a few seconds to remove its temporary file,
// then lets the process end as the default handler does.
#pragma once

#include <windows.h>

namespace cdcopy::win32 {

// Installs the handler; once, as the process starts.
void HandleConsoleControl();

// Raises the stop flag and ends every pause, as Ctrl-C does before anything else.
void Stop();

// Whether the run is being stopped.
bool Stopping();

// Once the run is being stopped, the thread that would go on with it waits here until the
// handler ends the process: nothing more is printed or shown.
void HaltIfStopped();

// Waits up to `milliseconds`, less when the run is being stopped: whether the wait ran out.
bool PauseUnlessStopped(DWORD milliseconds);

// Marks a copy as in progress while it lives. The "no copy in progress" event is reset before
// the stop flag is read (Stopping(), by whoever holds this), so no copy starts unseen: a
// handler that raises the flag afterwards waits for the copy.
class CopyInProgress {
 public:
  CopyInProgress();
  ~CopyInProgress();
  CopyInProgress(const CopyInProgress&) = delete;
  CopyInProgress& operator=(const CopyInProgress&) = delete;
};

// The temporary file of the copy in progress ("" for none), which the handler deletes when the
// copy outlasts its wait (a read stuck on a scratched disc). The file is open with
// FILE_SHARE_DELETE, so it goes as the process ends and closes it.
void SetPendingTemporary(const wchar_t* path);

}  // namespace cdcopy::win32
