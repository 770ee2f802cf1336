// Started from a game launcher, a .desktop file or a file manager, cdcopy has no terminal; on a
// graphical session each box is then a dialog window of the desktop's own, through zenity or
// kdialog. They are started directly, never through a shell, with the text as an argument, so
// that nothing in a path can become a command or markup.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_platform.h"

namespace cdcopy::posix {

namespace {

std::string FindInPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(at, end - at) + "/" + name;
    if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

// The dialog's arguments: OK the default button; Escape or closing the window is Cancel.
std::vector<std::string> DialogArguments(const std::string& program, const char* text,
                                         const char* caption, unsigned type) {
  const bool cancel = HasCancel(type);
  const unsigned icon = type & MB_ICONMASK;
  if (program.ends_with("/kdialog")) {
    const char* kind = cancel                   ? "--yesno"
                       : icon == MB_ICONERROR   ? "--error"
                       : icon == MB_ICONWARNING ? "--sorry"
                                                : "--msgbox";
    std::vector<std::string> args = {program, "--title", caption, kind, text};
    if (cancel) args.insert(args.end(), {"--yes-label", "OK", "--no-label", "Cancel"});
    return args;
  }
  const char* kind = cancel                   ? "--question"
                     : icon == MB_ICONERROR   ? "--error"
                     : icon == MB_ICONWARNING ? "--warning"
                                              : "--info";
  std::vector<std::string> args = {program,
                                   kind,
                                   "--no-markup",
                                   std::string("--title=") + caption,
                                   std::string("--text=") + text,
                                   "--ok-label=OK"};
  if (cancel) args.push_back("--cancel-label=Cancel");
  return args;
}

}  // namespace

int DesktopDialog(const char* text, const char* caption, unsigned type) {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x11 = std::getenv("DISPLAY");
  if ((!wayland || !*wayland) && (!x11 || !*x11)) return kNoDialog;
  std::string program = FindInPath("zenity");
  if (program.empty()) program = FindInPath("kdialog");
  if (program.empty()) return kNoDialog;
  std::vector<std::string> args = DialogArguments(program, text, caption, type);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_t child = fork();
  if (child < 0) return kNoDialog;
  if (child == 0) {
    // The window goes with the run, however the run ends.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return kNoDialog;
  }
  if (!WIFEXITED(status)) return kNoDialog;
  // 0: OK. 1: Cancel, Escape or the window closed (an OK-only box has nothing else to answer).
  switch (WEXITSTATUS(status)) {
    case 0:
      return IDOK;
    case 1:
      return HasCancel(type) ? IDCANCEL : IDOK;
    default:
      return kNoDialog;  // it could not show the window: as if there were no desktop
  }
}

}  // namespace cdcopy::posix
