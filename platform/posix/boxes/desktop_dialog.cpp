// Dialog windows through zenity or kdialog. They are started directly, never through a shell,
// with the text as an argument, so that nothing in a path can become a command or markup.
#include "platform/posix/boxes/desktop_dialog.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/boxes/box_layout.h"
#include "platform/posix/boxes/display.h"

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

DesktopUser::DesktopUser(Credentials& credentials, std::optional<uid_t> installationOwner)
    : credentials_(credentials) {
  if (!credentials.Privileged()) return;
  std::optional<uid_t> user;
  for (const char* variable : {"SUDO_UID", "PKEXEC_UID"}) {
    const char* value = std::getenv(variable);
    char* end = nullptr;
    const unsigned long uid = value && *value ? std::strtoul(value, &end, 10) : 0;
    if (!user && end && !*end && uid < static_cast<uid_t>(-1) &&
        credentials.AccountFiles().Names(static_cast<uid_t>(uid))) {
      user = static_cast<uid_t>(uid);
    }
  }
  if (!user) user = installationOwner;
  known_ = user.has_value();
  if (user && *user != credentials.RunUid()) who_ = credentials.AccountFiles().User(*user);
}

namespace {

std::string ProgramInPath() {
  std::string program = FindInPath("zenity");
  return program.empty() ? FindInPath("kdialog") : program;
}

}  // namespace

std::string DialogProgram(const DesktopUser& user) {
  return DisplayAccepts(user) ? ProgramInPath() : "";
}

pid_t StartDialog(std::vector<std::string>& args, const DesktopUser& user, int input, int output) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_t child = fork();
  if (child != 0) return child;
  if (!BecomeWholly(user.Who())) _exit(127);
  // The window goes with the run, however the run ends; set after the change of user, which
  // clears it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  dup2(input >= 0 ? input : null, STDIN_FILENO);
  dup2(output >= 0 ? output : null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  execv(argv[0], argv.data());
  _exit(127);
}

int DesktopDialog(const char* text, const char* caption, unsigned type, const DesktopUser& user) {
  if (!DisplayAccepts(user)) return kNoDisplay;
  std::string program = ProgramInPath();
  if (program.empty()) return kNoDialog;
  std::vector<std::string> args = DialogArguments(program, text, caption, type);
  const pid_t child = StartDialog(args, user);
  if (child < 0) return kNoDialog;
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
