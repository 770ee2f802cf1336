#include "platform/posix/process/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

namespace cdcopy::posix {

namespace {

struct Shared {
  volatile sig_atomic_t ttyFd = -1;
  termios saved{};
  termios raw{};
  // A byte written here asks the box to draw itself again: a box waiting for a key waits on it
  // too, so no request is missed between a check and the wait.
  int redraw[2] = {-1, -1};
};
Shared shared;

struct CleanupSlot {
  volatile sig_atomic_t active = 0;
  Cleanup cleanup = nullptr;
  void* context = nullptr;
};
CleanupSlot cleanups[4];  // a run has one temporary file at a time

void RunCleanups() {
  for (CleanupSlot& slot : cleanups) {
    if (!slot.active) continue;
    std::atomic_signal_fence(std::memory_order_acquire);
    slot.cleanup(slot.context);
  }
}

// Every signal whose default action ends the process, whether another process sends it or a
// fault raises it; the handler ends the process with the same signal, core dump included.
constexpr int kEndingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,   SIGALRM,
                                  SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,   SIGPWR,  SIGSTKFLT, SIGABRT,
                                  SIGSEGV,   SIGBUS,  SIGFPE,  SIGILL,  SIGTRAP, SIGSYS};

void Unblock(int signal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

bool TerminalIsOurs(int fd) {
  return tcgetpgrp(fd) == getpgrp();
}

void EndAsTheSignalWould(int signal) {
  int tty = shared.ttyFd;
  if (tty >= 0) {
    tcsetattr(tty, TCSANOW, &shared.saved);
    ssize_t ignored = write(tty, "\n", 1);
    (void)ignored;
  }
  RunCleanups();
  ::signal(signal, SIG_DFL);
  Unblock(signal);
  raise(signal);
  _exit(128 + signal);
}

void AskRedraw() {
  if (shared.redraw[1] < 0) return;
  ssize_t ignored = write(shared.redraw[1], "r", 1);
  (void)ignored;
}

void Continued(int) {
  int savedErrno = errno;
  int tty = shared.ttyFd;
  // In the background the shell owns the terminal; the box comes back when brought forward.
  if (tty >= 0 && TerminalIsOurs(tty)) {
    tcsetattr(tty, TCSANOW, &shared.raw);
    AskRedraw();
  }
  errno = savedErrno;
}

// A resized terminal: the box is drawn again at the new width.
void Resized(int) {
  int savedErrno = errno;
  if (shared.ttyFd >= 0) AskRedraw();
  errno = savedErrno;
}

void StopAsAsked(int) {
  int savedErrno = errno;
  int tty = shared.ttyFd;
  if (tty >= 0) tcsetattr(tty, TCSANOW, &shared.saved);
  ::signal(SIGTSTP, SIG_DFL);
  Unblock(SIGTSTP);
  raise(SIGTSTP);
  // Continued, or never stopped: a process group without a shell to continue it ignores the
  // stop. Either way the box takes its keys again and is drawn anew.
  Continued(SIGCONT);
  struct sigaction action {};
  action.sa_handler = StopAsAsked;
  sigfillset(&action.sa_mask);
  sigaction(SIGTSTP, &action, nullptr);
  errno = savedErrno;
}

// No SA_RESTART: a box waiting for a key must see the interruption to draw itself again. Every
// other call that can block (the pause, the copy, the display's answer) retries by itself.
void Install(int signal, void (*handler)(int)) {
  struct sigaction previous;
  if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = handler;
  sigfillset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

}  // namespace

void StartProcess() {
  // A standard descriptor left closed by whoever started us would be handed to the next file
  // opened, where a flush of standard output could land: fill the gap with /dev/null.
  while (fcntl(STDERR_FILENO, F_GETFD) < 0 || fcntl(STDOUT_FILENO, F_GETFD) < 0 ||
         fcntl(STDIN_FILENO, F_GETFD) < 0) {
    if (open("/dev/null", O_RDWR) < 0) break;
  }
  if (pipe2(shared.redraw, O_NONBLOCK | O_CLOEXEC) != 0) shared.redraw[0] = shared.redraw[1] = -1;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (int signal : kEndingSignals) Install(signal, EndAsTheSignalWould);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) Install(signal, EndAsTheSignalWould);
  Install(SIGTSTP, StopAsAsked);
  Install(SIGCONT, Continued);
  Install(SIGWINCH, Resized);
}

void SetBoxTerminal(int fd, const termios& saved, const termios& raw) {
  shared.ttyFd = -1;
  shared.saved = saved;
  shared.raw = raw;
  TakeRedraw();
  shared.ttyFd = fd;
}

void ClearBoxTerminal() {
  shared.ttyFd = -1;
}

int RedrawFd() {
  return shared.redraw[0];
}

bool TakeRedraw() {
  bool asked = false;
  char bytes[16];
  while (shared.redraw[0] >= 0 && read(shared.redraw[0], bytes, sizeof bytes) > 0) asked = true;
  return asked;
}

int RegisterCleanup(Cleanup cleanup, void* context) {
  for (int i = 0; i < static_cast<int>(std::size(cleanups)); ++i) {
    CleanupSlot& slot = cleanups[i];
    if (slot.active) continue;
    slot.cleanup = cleanup;
    slot.context = context;
    std::atomic_signal_fence(std::memory_order_release);
    slot.active = 1;
    return i;
  }
  return -1;
}

void UnregisterCleanup(int slot) {
  if (slot >= 0) cleanups[slot].active = 0;
}

SignalsHeld::SignalsHeld() {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &saved_);
}

SignalsHeld::~SignalsHeld() {
  sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace cdcopy::posix
