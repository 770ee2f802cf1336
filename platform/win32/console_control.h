// Ctrl-C, Ctrl-Break and a closed console. Windows runs the handler on a thread of its own; it
// raises the stop flag, gives the copy in progress a few seconds to remove its temporary file,
// else runs the clean-ups registered here, then lets the process end as the default handler
// does.
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

// A clean-up the handler runs, on its own thread, when the copy in progress outlasts its wait
// (a read stuck on a scratched disc), before the process ends: the same idea as the list that
// the signal handler runs on Linux. It stays registered while it has something to do, in one of
// a few fixed slots; RegisterCleanup answers the slot taken, or -1 when all are in use.
// UnregisterCleanup waits for a clean-up the handler is running, so that what it reads stays
// valid until it is done.
using Cleanup = void (*)(void* context);
int RegisterCleanup(Cleanup cleanup, void* context);
void UnregisterCleanup(int slot);

}  // namespace cdcopy::win32
