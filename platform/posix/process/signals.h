// The one owner of the process's signals. One that ends cdcopy, sent from outside or raised by a
// fault, first puts the terminal back if a box is up and runs the clean-ups registered here (a
// named temporary file removed, say), then ends the process as the signal would have; a stop
// gives the terminal back first, and a continue or a resize has the box drawn again. Only what a
// handler may touch is shared with it: flags, descriptors and fixed buffers.
#pragma once

#include <signal.h>
#include <termios.h>

namespace cdcopy::posix {

// Once, where the process starts: fills closed standard descriptors, ignores SIGPIPE (a closed
// pipe on standard output must not end the run) and SIGXFSZ (a size limit fails the write
// instead, as a full disk does), and takes over every signal that would end the process,
// leaving alone those that whoever started it chose to ignore.
void StartProcess();

// The terminal a box has put into key-at-a-time mode, with the settings to put back. While it
// is set, a stop from outside puts the settings back before stopping, and a continue puts the
// box's mode back and asks for the box to be drawn again, as a resized terminal does.
void SetBoxTerminal(int fd, const termios& saved, const termios& raw);
void ClearBoxTerminal();
// Readable when the box must be drawn again (-1 before StartProcess); TakeRedraw answers whether
// it was asked since the last call.
int RedrawFd();
bool TakeRedraw();

// A clean-up the handler of a signal that ends the process runs before it ends it, given its
// context: async-signal-safe, touching only flags, descriptors and fixed buffers. It stays
// registered while it has something to do, in one of a few fixed slots, filled in full before
// it is marked in use; nothing is allocated, in the handler or here. RegisterCleanup answers
// the slot taken, or -1 when all are in use.
using Cleanup = void (*)(void* context);
int RegisterCleanup(Cleanup cleanup, void* context);
void UnregisterCleanup(int slot);

// Every signal held back while it lives, so that a handler never comes between two steps, such
// as making a name and registering its clean-up.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace cdcopy::posix
